// The per-line and per-element readers of the TXT, CSV and XML forms.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <string>

#include "sprite_fixtures.h"
#include "text_forms.h"
#include "xml_json_forms.h"

bool operator==(const SpriteEntry& a, const SpriteEntry& b) {
    return stb_of({a}) == stb_of({b});
}

TEST(TxtInclude, RecognisesBothWaysAndNothingElse) {
    const struct { const char* line; bool include; const char* file; } cases[] = {
        {"@include \"more.txt\"\n", true, "more.txt"},
        {"@include\"more.txt\"", true, "more.txt"},
        {"@include \t \"more.txt\" words\n", true, "more.txt"},
        {"@include \"abc\n", true, "abc\n"},  // no closing quote: the newline is in the name
        {"@include \"0123456789012345678901234567890123456789\"\n", true,
         "01234567890123456789012345678901"},
        // the line ends before the opening quote: an include with an empty name
        {"@include\n", true, ""}, {"@include   ", true, ""}, {"@inc", true, ""}, {"@", true, ""},
        {"@include \"", true, ""},  // no character after the quote before the end: as above
        {"@include \"\"\n", false, ""}, {"@inc\n", false, ""}, {"@includes \"a\"\n", false, ""},
        {" @include \"a\"\n", false, ""}, {"@INCLUDE \"a\"\n", false, ""},
    };
    for (const auto& c : cases) {
        char file[SPRITE_NAME_SIZE + 1];
        EXPECT_EQ(scan_txt_include(c.line, file), c.include) << c.line;
        EXPECT_STREQ(file, c.include ? c.file : "") << c.line;
    }
}

TEST(TxtRow, AcceptsSevenFieldsWithTheirScanRules) {
    const struct { const char* line; SpriteEntry entry; } cases[] = {
        {"\"hero idle\" hero 1 -2 +3 70000 0xDeadBeef tail\n", sprite("hero idle", "hero", 1, 65534, 3, 4464, 0xDEADBEEF)},
        {"\"x\"\ttex\t\t0\t0\t0\t0\t0x1", sprite("x", "tex", 0, 0, 0, 0, 1)},
        {"\"01234567890123456789012345678901\" texture8 1 2 3 4 0x0\n",
         sprite("01234567890123456789012345678901", "texture8", 1, 2, 3, 4, 0)},
        // the texture takes 8 characters and the scan goes on right behind them
        {"\"n\" abcdefgh1 2 3 4 0x5\n", sprite("n", "abcdefgh", 1, 2, 3, 4, 5)},
        {"\"n\" t 1 2 3 4 0x123456789\n", sprite("n", "t", 1, 2, 3, 4, 0x12345678)},
    };
    for (const auto& c : cases) {
        SpriteEntry e = sprite("junk", "junk", 99);
        EXPECT_TRUE(scan_txt_row(c.line, &e)) << c.line;
        EXPECT_EQ(e, c.entry) << c.line;
    }
    for (const char* bad : {" \"n\" t 1 2 3 4 0x0", "\"n\" t 1 2 3 4 0X0",
                            "\"012345678901234567890123456789012\" t 1 2 3 4 0x0", "\"\" t 1 2 3 4 0x0",
                            "\"n\" t 1 2 3 0x0", "\"n\" t 1 2 3 4 5", "\"n\" t 1 2 3 4 0xg",
                            "\"n\" abcdefghij 1 2 3 4 0x5", "\"n t 1 2 3 4 0x0", "\"n\"\n"}) {
        SpriteEntry e;
        EXPECT_FALSE(scan_txt_row(bad, &e)) << bad;
    }
}

TEST(TxtReader, SkipsCommentsAndOtherLinesAndSplitsLongOnes) {
    std::string text = "# NAME...\n\"a\" t1 1 2 3 4 0x1\n  # no comment, no row\n\n" +
                       std::string(1023, 'z') + "\"b\" t2 5 6 7 8 0x2\r\n" +  // a piece of its own
                       std::string(1022, 'z') + "\"c\" t3 0 0 0 0 0x0\n" + "\"d\" t4 9 9 9 9 0x9";
    EXPECT_EQ(read_form(read_txt, text), stb_of({sprite("a", "t1", 1, 2, 3, 4, 1),
                                                  sprite("b", "t2", 5, 6, 7, 8, 2),
                                                  sprite("d", "t4", 9, 9, 9, 9, 9)}));
}

TEST(CsvRow, SplitsAtRunsOfSeparatorsAndConvertsNumbers) {
    const struct { const char* line; SpriteEntry entry; } cases[] = {
        {"a;b;010;0x10;-1\n", sprite("a", "b", 8, 16, 65535, 0, 0)},
        {"a,,b,1", sprite("a", "b", 1)},
        {",;\ta\t;b;1;2;3;4;0x80000000;junk\n", sprite("a", "b", 1, 2, 3, 4, 0x80000000)},
        {" a , b \n", sprite(" a ", " b \n", 0)},  // spaces and the newline stay in fields
        {"a,b,-2,70000,99999999999,x,99999999999\n", sprite("a", "b", 65534, 4464, 65535, 0, 0xFFFFFFFF)},
        {"a,b,1,2,3,4,-1\n", sprite("a", "b", 1, 2, 3, 4, 0xFFFFFFFF)},
        {"0123456789012345678901234567890123456789,texture_long\n",
         sprite("01234567890123456789012345678901", "texture_", 0)},
    };
    for (const auto& c : cases) {
        SpriteEntry e = sprite("junk", "junk", 99);
        EXPECT_TRUE(scan_csv_row(c.line, &e)) << c.line;
        EXPECT_EQ(e, c.entry) << c.line;
    }
    for (const char* bad : {"", "\n", ",,;;\t\n", "only\n", ",only\n"}) {
        SpriteEntry e;
        EXPECT_FALSE(scan_csv_row(bad, &e)) << bad;
    }
}

TEST(XmlSprite, ConvertsAttributesAndNeedsNameAndTexture) {
    const struct { const char* xml; bool ok; SpriteEntry entry; } cases[] = {
        {"<sprite name=\"n\" texture=\"t\" u=\"0x10\" v=\"-1\" width=\"abc\"/>", true,
         sprite("n", "t", 16, 65535, 0, 0, 0)},
        {"<sprite flags=\"4294967296\" height=\" 010\" texture=\"texture_long\" extra=\"1\" "
         "name=\"0123456789012345678901234567890123\" u=\"70000\"/>", true,
         sprite("01234567890123456789012345678901", "texture_", 4464, 0, 0, 8, 0xFFFFFFFF)},
        {"<sprite name=\"\" texture=\"\"/>", true, empty_sprite()},
        {"<sprite name=\"a&amp;b&#x41;&#x0A;\" texture=\"&lt;\"/>", true, sprite("a&bA\n", "<", 0)},
        {"<sprite texture=\"t\" u=\"1\"/>", false, {}},
        {"<sprite name=\"n\" u=\"1\"/>", false, {}},
    };
    for (const auto& c : cases) {
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.Parse(c.xml), tinyxml2::XML_SUCCESS) << c.xml;
        SpriteEntry e;
        EXPECT_EQ(sprite_from_xml(*doc.RootElement(), &e), c.ok) << c.xml;
        if (c.ok) {
            EXPECT_EQ(e, c.entry) << c.xml;
        }
    }
}

TEST(XmlReader, TakesOnlySpriteChildrenOfTheRoot) {
    std::string xml =
        "<?xml version=\"1.0\"?>\n<!-- c -->\n<other><sprite name=\"no\" texture=\"t\"/></other>\n"
        "<spritetable>\n text\n"
        "  <sprite name=\"one\" texture=\"t\" u=\"1\"><sprite name=\"inner\" texture=\"t\"/></sprite>\n"
        "  <Sprite name=\"case\" texture=\"t\"/><include/>\n"
        "  <group><sprite name=\"deep\" texture=\"t\"/></group>\n"
        "  <sprite name=\"two\" texture=\"t\" flags=\"0x80\"/>\n"
        "</spritetable>\n";
    EXPECT_EQ(read_form(read_xml, xml), stb_of({sprite("one", "t", 1), sprite("two", "t", 0, 0, 0, 0, 0x80)}));
}
