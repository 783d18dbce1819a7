// Checking a table: the findings of sprtool k, the overlap sweep against
// comparing every pair, and names made printable.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
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

TEST(Check, KListsEveryKindOfFindingAndSumsThemUp) {
    TempDir d;
    write_file(d.file("t.stb"), findings_table());
    EXPECT_EQ(run(d, {"k", "t.stb"}), "2 |" + golden("findings.txt"));
}

TEST(Check, KChecksSpritesAgainstTheSizeOfImagesFoundInEitherCase) {
    TempDir d;
    lay_out(d, findings_table(), "CHARS.PNG", 32, 32);
    const std::string out = run(d, {"k", "t.stb", "tex"});
    EXPECT_NE(out.find("3 \"flat\": zero width\n"
                       "4 \"hero\": past its texture's size 32 x 32 (reaches 36, 36)\n"
                       "4 \"hero\": same name as 0\n"),
              std::string::npos)
        << "sprite 4 reaches past the 32 x 32 image, in this order among its findings:\n"
        << out;
    EXPECT_NE(out.find("1 image found: 9 findings (2 overlap, 1 zero size, 1 past the texture"),
              std::string::npos)
        << out;
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
            bool any = false;
            for (size_t j = 0; j < table.size(); ++j) any = any || overlap(i, j);
            ASSERT_EQ(partner[i] != table.size(), any)
                << "round " << round << ": sprite " << i << " overlaps another: " << any;
            ASSERT_TRUE(!any || overlap(i, partner[i]))
                << "round " << round << ": sprite " << i << " is said to overlap " << partner[i]
                << ", which it does not";
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
