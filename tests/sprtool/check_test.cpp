// The findings of sprtool k, the overlap sweep against comparing every pair, names made
// printable, and the page of sprtool v as an XML parser reads it.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "png_image.h"
#include "sprite_check.h"
#include "sprtool_run.h"

// The findings table in t.stb and a folder "tex" holding one image of `width` x `height`.
static void lay_out(const TempDir& d, const std::string& table, const std::string& image,
                    int width, int height) {
    write_file(d.file("t.stb"), table);
    std::filesystem::create_directory(d.file("tex"));
    write_file(d.file("tex/" + image),
               png_file_bytes(solid_pixels(width, height, {10, 200, 10})));
}

// With the image folder (a name in either case), sprites past an image's size too.
TEST(Check, KListsEveryKindOfFindingAndSumsThemUp) {
    TempDir d;
    lay_out(d, findings_table(), "CHARS.PNG", 32, 32);
    EXPECT_EQ(run(d, {"k", "t.stb"}), "2 |" + golden("findings.txt")) << "without images";
    EXPECT_EQ(run(d, {"k", "t.stb", "tex"}), "2 |" + golden("findings_in_32x32.txt"));
}

TEST(Check, KFindsNothingInATidyTableAndSaysSo) {
    TempDir d;
    lay_out(d, rec("a", "t", 0, 0, 8, 8) + rec("b", "t", 8, 0, 8, 8), "t.png", 16, 8);
    EXPECT_EQ(run(d, {"k", "t.stb", "tex"}),
              "0 |2 sprites on 1 texture, 1 image found: nothing found\n");
}

TEST(Check, KNamesAnImageThatIsNoPngAndChecksTheRest) {
    TempDir d;
    lay_out(d, rec("a", "t", 0, 0, 8, 8), "t.png", 1, 1);
    write_file(d.file("tex/t.png"), "GIF89a not a png at all");
    EXPECT_EQ(run(d, {"k", "t.stb", "tex"}),
              "2 WARNING: could not use image \"tex/t.png\": it is no PNG image, or its header is "
              "damaged; its sprites are not checked against its size\n"
              "sprtool: 1 image not used\n"
              "|1 sprite on 1 texture, 0 images found: nothing found\n");
}

// The sweep names one partner per sprite; comparing every pair is the oracle.
TEST(Check, OverlapSweepAgreesWithComparingEveryPair) {
    std::mt19937 random(23);
    for (int round = 0; round < 40; ++round) {
        std::vector<SpriteEntry> table(size_t(2 + random() % 60));
        for (SpriteEntry& e : table) {
            e = empty_sprite();
            set_sprite_text(e.texture, SPRITE_TEXTURE_SIZE, random() % 3 ? "a" : "b");
            e.u = uint16_t(random() % 40);
            e.v = uint16_t(random() % 40);
            e.width = uint16_t(random() % 12);
            e.height = uint16_t(random() % 12);
        }
        auto overlap = [&](size_t i, size_t j) {
            const SpriteEntry &a = table[i], &b = table[j];
            return i != j && std::memcmp(a.texture, b.texture, SPRITE_TEXTURE_SIZE) == 0 &&
                   a.width && a.height && b.width && b.height && a.u < b.u + b.width &&
                   b.u < a.u + a.width && a.v < b.v + b.height && b.v < a.v + a.height;
        };
        std::vector<TextureGroup> groups = group_textures(table);
        std::vector<size_t> partner(table.size(), table.size());
        for (const Finding& f : check_sprites(table, &groups).findings) {
            if (f.kind == FINDING_OVERLAP) partner[f.sprite] = f.other;
        }
        for (size_t i = 0; i < table.size(); ++i) {
            size_t j = 0;
            while (j < table.size() && !overlap(i, j)) ++j;
            ASSERT_EQ(partner[i] != table.size(), j != table.size())
                << "round " << round << ": sprite " << i << " named with " << partner[i]
                << ", first overlapping " << j << " (" << table.size() << ": none)";
            ASSERT_TRUE(j == table.size() || overlap(i, partner[i]))
                << "round " << round << ": sprite " << i << " is said to overlap " << partner[i];
        }
    }
}

TEST(Check, PrintableTextKeepsUtf8AndEscapesEveryOtherByte) {
    const std::pair<std::string, std::string> cases[] = {
        {"caf\xC3\xA9 \xE2\x9C\x93", "caf\xC3\xA9 \xE2\x9C\x93"},  // valid UTF-8 stays
        {"\x1B[31mred", "\\x1b[31mred"},                           // no terminal control
        {"a\"b\\c", "a\\\"b\\\\c"},                                // quoting stays clear
        {"\xFF\xC3", "\\xff\\xc3"},                                // invalid, cut short
        {"\xC2\x9B", "\\xc2\\x9b"},                                // C1 control character
        {"\xC0\xAF", "\\xc0\\xaf"},                                // overlong '/'
        {"\xED\xA0\x80", "\\xed\\xa0\\x80"},                       // surrogate half
        {"\xEF\xBF\xBE", "\\xef\\xbf\\xbe"},                       // non-character
        {"\x7F", "\\x7f"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(printable_text(c.first.data(), c.first.size()), c.second) << c.second;
    }
}

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

struct View : testing::Test {
    TempDir d;
    tinyxml2::XMLDocument doc;

    void view_page(const std::string& table) {
        lay_out(d, table, "t.png", 16, 16);
        ASSERT_EQ(run(d, {"v", "t.stb", "page.html", "tex"}), "0 |");
        const std::string page = read_file(d.file("page.html"));
        ASSERT_EQ(doc.Parse(page.data(), page.size()), tinyxml2::XML_SUCCESS)
            << "the page is no well-formed XML: " << doc.ErrorStr();
    }
};

TEST_F(View, HostileNamesLeaveThePageWellFormedAndShowAsPrintableText) {
    const std::string names[] = {"<b>&amp;</b>",     "\"'quoted'\"", "]]><!-- x",
                                 "\xFF\xFE\x80 bad", "caf\xC3\xA9",  "\x1B[31m\x01"};
    std::string table;
    for (const std::string& name : names) table += rec(name, "<t>&\xFF", 0, 0, 4, 4);
    view_page(table);
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

TEST_F(View, ThePageNamesNothingOutsideItselfAndEmbedsTheImageFile) {
    view_page(rec("a", "t", 0, 0, 4, 4));
    const std::string png = read_file(d.file("tex/t.png"));
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

TEST_F(View, TheFindingsTableHoldsEveryFindingOfK) {
    view_page(findings_table());
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
