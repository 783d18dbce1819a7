#include "text_forms.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_streams.h"

namespace {

struct IncludeCase {
    const char* line;
    bool is_include;
    const char* file;
};

}  // namespace

TEST(TxtInclude, RecognisesBothWaysAndNothingElse) {
    const IncludeCase cases[] = {
        {"@include \"more.txt\"\n", true, "more.txt"},
        {"@include\"more.txt\"", true, "more.txt"},             // white space is optional
        {"@include \t \"more.txt\" trailing words\n", true, "more.txt"},
        {"@include \"abc\n", true, "abc\n"},                   // no closing quote: newline in name
        {"@include \"0123456789012345678901234567890123456789\"\n", true,
         "01234567890123456789012345678901"},                 // cut at 32
        {"@include\n", true, ""},                              // ends before the quote
        {"@include   ", true, ""},
        {"@inc", true, ""},                                    // last line, no newline
        {"@", true, ""},
        {"@include \"\"\n", false, ""},                        // empty name
        {"@inc\n", false, ""},
        {"@includes \"a\"\n", false, ""},
        {" @include \"a\"\n", false, ""},
        {"@INCLUDE \"a\"\n", false, ""},
        {"\"name\" tex 1 2 3 4 0x0\n", false, ""},
    };
    for (const IncludeCase& c : cases) {
        char file[SPRITE_NAME_SIZE + 1];
        EXPECT_EQ(scan_txt_include(c.line, file), c.is_include) << c.line;
        if (c.is_include) {
            EXPECT_STREQ(file, c.file) << c.line;
        }
    }
}

TEST(TxtRow, ScansAllSevenFields) {
    SpriteEntry e;
    ASSERT_TRUE(scan_txt_row("\"hero idle\" hero 1 -2 +3 70000 0xDeadBeef tail\n", &e));
    EXPECT_EQ(e, sprite("hero idle", "hero", 1, 65534, 3, 4464, 0xDEADBEEF));
    ASSERT_TRUE(scan_txt_row("\"x\"\ttex\t\t0\t0\t0\t0\t0x1", &e));  // tabs, no newline
    EXPECT_EQ(e, sprite("x", "tex", 0, 0, 0, 0, 1));
    ASSERT_TRUE(scan_txt_row("\"01234567890123456789012345678901\" texture8 1 2 3 4 0x0\n", &e));
    EXPECT_EQ(e, sprite("01234567890123456789012345678901", "texture8", 1, 2, 3, 4, 0));
}

TEST(TxtRow, LongTextureRunsOnIntoTheNextField) {
    // The texture takes 8 characters and scanning goes on right after them.
    SpriteEntry e;
    ASSERT_TRUE(scan_txt_row("\"n\" abcdefgh1 2 3 4 0x5\n", &e));
    EXPECT_EQ(e, sprite("n", "abcdefgh", 1, 2, 3, 4, 5));
    EXPECT_FALSE(scan_txt_row("\"n\" abcdefghij 1 2 3 4 0x5\n", &e));
}

TEST(TxtRow, FlagsTakeAtMostEightHexDigits) {
    SpriteEntry e;
    ASSERT_TRUE(scan_txt_row("\"n\" t 1 2 3 4 0x123456789\n", &e));
    EXPECT_EQ(e.flags, 0x12345678u);
    ASSERT_TRUE(scan_txt_row("\"n\" t 1 2 3 4 0xffffffff\n", &e));
    EXPECT_EQ(e.flags, 0xFFFFFFFFu);
}

TEST(TxtRow, RejectsMalformedRows) {
    const char* rows[] = {
        " \"n\" t 1 2 3 4 0x0\n",                                   // blank before the quote
        "\"n\" t 1 2 3 4 0X0\n",                                    // upper-case X
        "\"012345678901234567890123456789012\" t 1 2 3 4 0x0\n",   // 33 characters
        "\"\" t 1 2 3 4 0x0\n",                                     // empty name
        "\"n\" t 1 2 3 0x0\n",                                      // a number missing
        "\"n\" t 1 2 3 4 5\n",                                      // no 0x
        "\"n\" t 1 2 3 4 0xg\n",                                    // no hex digit
        "\"n\" t 1 2 x 4 0x0\n",
        "\"n\"\n",
        "\"n t 1 2 3 4 0x0\n",                                      // no closing quote
        "n t 1 2 3 4 0x0\n",
    };
    for (const char* row : rows) {
        SpriteEntry e;
        EXPECT_FALSE(scan_txt_row(row, &e)) << row;
    }
}

TEST(TxtReader, SkipsCommentsAndBadRowsAndKeepsOrder) {
    std::string text =
        "# heading\n"
        "\"first\" t1 1 2 3 4 0x1\n"
        "  # not a comment, not a row\n"
        "garbage\n"
        "\n"
        "\"second\" t2 5 6 7 8 0x2\r\n"  // CR LF reads like LF
        "\"third\" t3 9 10 11 12 0x3";   // last line without newline
    std::string expected = stb_of({sprite("first", "t1", 1, 2, 3, 4, 1),
                                   sprite("second", "t2", 5, 6, 7, 8, 2),
                                   sprite("third", "t3", 9, 10, 11, 12, 3)});
    EXPECT_EQ(read_form(read_txt, text), expected);
}

TEST(TxtReader, LongLineIsReadAsSeveralLines) {
    // 1023 characters of junk, then a row: the row arrives as a piece of its own.
    std::string text = std::string(1023, 'z') + "\"b\" t 1 2 3 4 0x0\n";
    EXPECT_EQ(read_form(read_txt, text), stb_of({sprite("b", "t", 1, 2, 3, 4, 0)}));
    EXPECT_EQ(read_form(read_txt, std::string(1022, 'z') + "\"b\" t 1 2 3 4 0x0\n"), "");
}

TEST(TxtWriter, WritesHeadingAndAlignedRows) {
    std::string text = write_form(write_txt, sample_table());
    EXPECT_EQ(text,
              "# NAME............................ TEXTURE. U.... V.... W.... H.... FLAGS.....\n"
              "\"hero_walk_right_frame_0123456789\" chars_01     0     0    32    48 0x00000001\n"
              "\"a\"                                t        65535 65535 65535 65535 0xffffffff\n"
              "\"ui/button.pressed\"                ui         128   256    64    16 0x0000ab12\n");
}

TEST(TxtForm, RoundTripsWhatItPromises) {
    std::vector<SpriteEntry> table = sample_table();
    EXPECT_EQ(read_form(read_txt, write_form(write_txt, table)), stb_of(table));
    // Empty names and textures, blanks in textures and quotes in names are lost.
    std::vector<SpriteEntry> lossy = {sprite("", "t", 1, 1, 1, 1, 1), sprite("n", "", 1, 1, 1, 1, 1),
                                      sprite("n", "a b", 1, 1, 1, 1, 1),
                                      sprite("a\"b", "t", 1, 1, 1, 1, 1)};
    EXPECT_EQ(read_form(read_txt, write_form(write_txt, lossy)), "");
}

TEST(CsvRow, SplitsAtRunsOfSeparators) {
    SpriteEntry e;
    ASSERT_TRUE(scan_csv_row("a;b;010;0x10;-1\n", &e));
    EXPECT_EQ(e, sprite("a", "b", 8, 16, 65535, 0, 0));
    ASSERT_TRUE(scan_csv_row("a,,b,1", &e));
    EXPECT_EQ(e, sprite("a", "b", 1, 0, 0, 0, 0));
    ASSERT_TRUE(scan_csv_row(",;\ta\t;b;1;2;3;4;0x80000000;junk\n", &e));
    EXPECT_EQ(e, sprite("a", "b", 1, 2, 3, 4, 0x80000000));
    ASSERT_TRUE(scan_csv_row(" a , b \n", &e));  // spaces belong to the field
    EXPECT_EQ(e, sprite(" a ", " b \n", 0, 0, 0, 0, 0));
}

TEST(CsvRow, NewlineStaysInTheLastField) {
    SpriteEntry e;
    ASSERT_TRUE(scan_csv_row("a,b\n", &e));
    EXPECT_EQ(e, sprite("a", "b\n", 0, 0, 0, 0, 0));
    ASSERT_TRUE(scan_csv_row("a,b,1,2,3,4,0x10\n", &e));
    EXPECT_EQ(e.flags, 0x10u);
}

TEST(CsvRow, NumbersUseTheThirtyTwoBitConversion) {
    SpriteEntry e;
    ASSERT_TRUE(scan_csv_row("a,b,-2,70000,99999999999,x,99999999999\n", &e));
    EXPECT_EQ(e, sprite("a", "b", 65534, 4464, 65535, 0, 0xFFFFFFFF));
    ASSERT_TRUE(scan_csv_row("a,b,1,2,3,4,-1\n", &e));
    EXPECT_EQ(e.flags, 0xFFFFFFFFu);
}

TEST(CsvRow, NeedsTwoFieldsAndCutsLongText) {
    SpriteEntry e;
    for (const char* line : {"", "\n", ",,;;\t\n", "only\n", ",only\n"}) {
        EXPECT_FALSE(scan_csv_row(line, &e)) << line;
    }
    ASSERT_TRUE(scan_csv_row("0123456789012345678901234567890123456789,texture_long,1", &e));
    EXPECT_EQ(e, sprite("01234567890123456789012345678901", "texture_", 1, 0, 0, 0, 0));
}

TEST(CsvForm, WritesAndRoundTrips) {
    std::vector<SpriteEntry> table = sample_table();
    std::string text = write_form(write_csv, table);
    EXPECT_EQ(text,
              "hero_walk_right_frame_0123456789,chars_01,0,0,32,48,0x00000001\n"
              "a,t,65535,65535,65535,65535,0xffffffff\n"
              "ui/button.pressed,ui,128,256,64,16,0x0000ab12\n");
    EXPECT_EQ(read_form(read_csv, text), stb_of(table));
    // An empty name shifts the fields to the left.
    std::string shifted = read_form(read_csv, write_form(write_csv, {sprite("", "t", 1, 2, 3, 4, 5)}));
    EXPECT_EQ(shifted, stb_of({sprite("t", "1", 2, 3, 4, 5, 0)}));
}
