// The page of sprtool v as an XML parser reads it: well-formed whatever the
// names hold, self-contained, and holding every finding of k.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <filesystem>
#include <functional>

#include "png_image.h"
#include "sprite_check.h"
#include "sprtool_run.h"

using tinyxml2::XMLElement;

static void each_element(XMLElement* e, const std::function<void(XMLElement*)>& visit) {
    for (; e; e = e->NextSiblingElement()) {
        visit(e);
        each_element(e->FirstChildElement(), visit);
    }
}

static std::string base64_decoded(const std::string& text) {
    static const std::string digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const size_t d = digits.find(c);
        if (d == std::string::npos) break;  // the padding
        bits = bits << 6 | uint32_t(d);
        if ((count += 6) >= 8) out += char(bits >> (count -= 8));
    }
    return out;
}

// Writes the page of `table` (with a texture folder when `png` is given for
// texture "t") and parses it.
static void view_page(const TempDir& d, const std::string& table, tinyxml2::XMLDocument* doc,
                      const std::string& png = "") {
    write_file(d.file("t.stb"), table);
    Args args = {"v", "t.stb", "page.html"};
    if (!png.empty()) {
        std::filesystem::create_directory(d.file("tex"));
        write_file(d.file("tex/t.png"), png);
        args.push_back("tex");
    }
    ASSERT_EQ(run(d, args), "0 |");
    const std::string page = read_file(d.file("page.html"));
    ASSERT_EQ(doc->Parse(page.data(), page.size()), tinyxml2::XML_SUCCESS)
        << "the page is no well-formed XML: " << doc->ErrorStr();
}

TEST(View, HostileNamesLeaveThePageWellFormedAndShowAsPrintableText) {
    const std::string names[] = {"<b>&amp;</b>",     "\"'quoted'\"", "]]><!-- x",
                                 "\xFF\xFE\x80 bad", "caf\xC3\xA9",  "\x1B[31m\x01"};
    std::string table;
    for (const std::string& name : names) table += rec(name, "<t>&\xFF", 0, 0, 4, 4);
    TempDir d;
    tinyxml2::XMLDocument doc;
    view_page(d, table, &doc);
    size_t seen = 0;
    each_element(doc.RootElement(), [&](XMLElement* e) {
        const char* id = e->Attribute("id");
        if (std::string(e->Name()) != "g" || !id) return;
        const std::string& name = names[std::stoul(id + 1)];
        EXPECT_STREQ(e->LastChildElement("text")->GetText(),
                     printable_text(name.data(), name.size()).c_str());
        EXPECT_STREQ(e->Parent()->ToElement()->Attribute("data-t"), "<t>&\\xff");
        ++seen;
    });
    EXPECT_EQ(seen, std::size(names)) << "every sprite is drawn once";
}

TEST(View, ThePageNamesNothingOutsideItselfAndEmbedsTheImageFile) {
    const std::string png = png_file_bytes(solid_pixels(16, 16, {0, 0, 255}));
    TempDir d;
    tinyxml2::XMLDocument doc;
    view_page(d, rec("a", "t", 0, 0, 4, 4), &doc, png);
    const std::string data = "data:image/png;base64,";
    size_t images = 0;
    each_element(doc.RootElement(), [&](XMLElement* e) {
        for (const char* key : {"src", "xlink:href"}) EXPECT_FALSE(e->Attribute(key)) << key;
        const char* href = e->Attribute("href");
        if (!href || href[0] == '#') return;
        ASSERT_EQ(std::string(href).substr(0, data.size()), data) << "a link out: " << href;
        EXPECT_EQ(base64_decoded(href + data.size()), png) << "the image is the file itself";
        ++images;
    });
    EXPECT_EQ(images, 1u);
}

TEST(View, TheFindingsTableHoldsEveryFindingOfK) {
    TempDir d;
    tinyxml2::XMLDocument doc;
    view_page(d, findings_table(), &doc);
    std::vector<std::string> rows;
    each_element(doc.RootElement(), [&](XMLElement* e) {
        if (std::string(e->Attribute("id") ? e->Attribute("id") : "") != "findings") return;
        for (XMLElement* tr = e->FirstChildElement("tr"); tr; tr = tr->NextSiblingElement("tr")) {
            XMLElement* cell = tr->FirstChildElement("td");
            if (!cell) continue;  // the heading
            std::string text = cell->FirstChildElement("a")->GetText();
            for (cell = cell->NextSiblingElement(); cell; cell = cell->NextSiblingElement())
                text += std::string(" | ") + cell->GetText();
            rows.push_back(text);
        }
    });
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0], "0 | hero | overlaps 1 \"hero_b\"");
    EXPECT_EQ(rows[7],
              "6 | two\\x0alines | name cannot go through CSV and back: it holds a line break");
}
