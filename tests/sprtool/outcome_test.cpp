// What a run of the built sprtool reports: the table kept when a source cannot be read,
// warnings by file and line with status 2, and refusals that say why.
#include <gtest/gtest.h>

#include "sprtool_run.h"

static const std::string kOld = rec("old", "t", 7);
static const char kNotWritten[] = "sprtool: 1 file could not be read, \"k.stb\" not written\n";

// Runs `args` over a k.stb holding kOld: status 1, the messages, and kOld byte for byte.
static void expect_old_table_kept(const TempDir& d, const Args& args, const std::string& err) {
    write_file(d.file("k.stb"), kOld);
    EXPECT_EQ(run(d, args), "1 " + err + kNotWritten + "|");
    EXPECT_EQ(read_file(d.file("k.stb")), kOld) << "the old table was touched";
}

TEST(Outcome, AMissingIncludeLeavesTheOldTable) {
    TempDir d;
    write_file(d.file("inc.txt"), row("g", 1) + "@include \"gone.txt\"\n");
    expect_old_table_kept(d, {"wt", "k.stb", "inc.txt"},
                          "ERROR: \"inc.txt\" line 2: could not open file \"gone.txt\" for read: "
                          "No such file or directory\n");
}

TEST(Outcome, BrokenXmlLeavesTheOldTable) {
    TempDir d;
    write_file(d.file("good.xml"), "<spritetable><sprite name=\"g\" texture=\"t\"/></spritetable>");
    write_file(d.file("broken.xml"), "<spritetable>\n<sprite name=\"g\"\n");
    expect_old_table_kept(
        d, {"wx", "k.stb", "good.xml", "broken.xml"},
        "ERROR: \"broken.xml\" line 2: not valid XML (XML_ERROR_PARSING_ELEMENT)\n");
}

TEST(Outcome, AnEmptyXmlFileIsReportedOnItsFirstLine) {
    TempDir d;
    write_file(d.file("empty.xml"), "");
    expect_old_table_kept(d, {"wx", "k.stb", "empty.xml"},
                          "ERROR: \"empty.xml\" line 1: not valid XML (XML_ERROR_EMPTY_DOCUMENT)\n");
}

// Reading this file fails with an I/O error after it opened; where it does not exist, the
// case cannot be made.
TEST(Outcome, AReadErrorIsReportedOnceAsOneUnreadFile) {
    const std::string unreadable = "/proc/self/mem";
    if (!file_exists(unreadable)) GTEST_SKIP() << "no file here fails on read";
    for (const char* command : {"wj", "wx", "wt"}) {
        SCOPED_TRACE(command);
        TempDir d;
        expect_old_table_kept(d, {command, "k.stb", unreadable},
                              "ERROR: could not read file \"" + unreadable + "\"\n");
    }
}

TEST(Outcome, XmlWithoutASpriteTableLeavesTheOldTable) {
    TempDir d;
    write_file(d.file("other.xml"), "<sprites/>");
    expect_old_table_kept(d, {"wx", "k.stb", "other.xml"},
                          "ERROR: \"other.xml\": no spritetable element at the top\n");
}

TEST(Outcome, MissingInputsCreateNoTableAndAreEachNamed) {
    TempDir d;
    EXPECT_EQ(run(d, {"wc", "new.stb", "typo.csv", "gone.csv"}),
              "1 ERROR: could not open file \"typo.csv\" for read: No such file or directory\n"
              "ERROR: could not open file \"gone.csv\" for read: No such file or directory\n"
              "sprtool: 2 files could not be read, \"new.stb\" not written\n|");
    EXPECT_FALSE(file_exists(d.file("new.stb"))) << "a table was made from missing sources";
}

// Rows that give no sprite are named by their own file and line; the rest is written.
TEST(Outcome, TxtRowsThatGiveNoSpriteAreNamedByFileAndLine) {
    TempDir d;
    write_file(d.file("a.txt"), row("a", 1) + "\r\n# note\r\n@include \"i.txt\"\r\n" +
                                    "\"c\" t 1 2 abc 4 0x0\r\n" + row("d", 4));
    write_file(d.file("i.txt"), "\n" + row("i", 3) + "\"i2\" t 1 2 3\n");
    EXPECT_EQ(run(d, {"wt", "k.stb", "a.txt"}),
              "2 WARNING: \"i.txt\" line 3: height is missing, row skipped\n"
              "WARNING: \"a.txt\" line 5: width \"abc\" is not a number, row skipped\n"
              "sprtool: 2 rows skipped\n|");
    EXPECT_EQ(read_file(d.file("k.stb")), rec("a", "t", 1) + rec("i", "t", 3) + rec("d", "t", 4));
}

TEST(Outcome, ANumberOutOfRangeIsStoredAsBeforeWithAWarning) {
    TempDir d;
    EXPECT_EQ(run(d, {"wt", "k.stb"}, "\"b\" t 70000 0 0 0 0x1\n"),
              "2 WARNING: standard input line 1: u \"70000\" is out of range 0-65535, "
              "stored as 4464\nsprtool: 1 number not stored as written\n|");
    EXPECT_EQ(read_file(d.file("k.stb")), rec("b", "t", 4464, 0, 0, 0, 1));
}

TEST(Outcome, EveryPieceOfALongLineCarriesItsLineNumber) {
    TempDir d;
    EXPECT_EQ(run(d, {"wt", "k.stb"}, row("a", 1) + std::string(1030, 'x') + "\n"),
              "2 WARNING: standard input line 2: no quoted name at the start of the line, "
              "row skipped\n"
              "WARNING: standard input line 2: no quoted name at the start of the line, "
              "row skipped\nsprtool: 2 rows skipped\n|");
}

TEST(Outcome, AByteOrderMarkIsNoPartOfTheFirstName) {
    TempDir d;
    EXPECT_EQ(run(d, {"wt", "k.stb"}, "\xEF\xBB\xBF" + row("a", 1)), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), rec("a", "t", 1));
}

TEST(Outcome, CsvWarnsOfAFieldThatIsNoNumberAndOfARowWithoutTexture) {
    TempDir d;
    EXPECT_EQ(run(d, {"wc", "k.stb"}, "a,t,1,x,0,0,0\n\nonly\n"),
              "2 WARNING: standard input line 1: v \"x\" is not a number, stored as 0\n"
              "WARNING: standard input line 3: no texture after the name, row skipped\n"
              "sprtool: 1 row skipped, 1 number not stored as written\n|");
    EXPECT_EQ(read_file(d.file("k.stb")), rec("a", "t", 1));
}

TEST(Outcome, CsvRowsOfSeparatorsAloneAreBlank) {
    TempDir d;
    EXPECT_EQ(run(d, {"wc", "k.stb"}, "a,t,0,0,0,0,0\n,,;\t,\n"), "0 |");
}

TEST(Outcome, TrailingBytesOfATableAreReported) {
    TempDir d;
    write_file(d.file("game.stb"), kOld + "x");
    EXPECT_EQ(run(d, {"rc", "game.stb"}),
              "2 WARNING: \"game.stb\": 1 trailing byte ignored (the size is no multiple of 52)\n"
              "sprtool: 1 trailing byte ignored\n|old,t,7,0,0,0,0x00000000\n");
}

TEST(Outcome, OutputOverTheTableBeingReadSaysWhy) {
    TempDir d;
    write_file(d.file("game.bin"), kOld);
    EXPECT_EQ(run(d, {"rt", "game.bin", "game.bin"}),
              "1 ERROR: could not open file \"game.bin\" for write: "
              "it is the STB file being read\n|");
}

TEST(Outcome, ATableOverItsOwnSourceIsRefused) {
    TempDir d;
    write_file(d.file("a.src"), row("a", 1));
    EXPECT_EQ(run(d, {"wt", "a.src", "a.src"}),
              "1 ERROR: could not open file \"a.src\" for write: it is also an input\n|");
    EXPECT_EQ(read_file(d.file("a.src")), row("a", 1)) << "the source was replaced";
}

// Every value XML stores other than written, or passes over, is named with its line.
TEST(Outcome, XmlNamesEveryValueItChangesOrPassesOver) {
    TempDir d;
    write_file(d.file("every.xml"),
               "<?xml version=\"1.0\"?>\n<spritetable>\n"
               "\t<sprite name=\"a\" texture=\"t\" u=\"x1\" v=\"70000\" widht=\"3\" "
               "flags=\"0x1FFFFFFFF\"/>\n"
               "\t<Sprite name=\"b\" texture=\"t\"/>\n\t<include/>\n"
               "\t<sprite name=\"hero_walk_right_frame_0123456789x\" texture=\"chars_012\"/>\n"
               "\t<sprite texture=\"t\"/>\n</spritetable>\n");
    EXPECT_EQ(run(d, {"wx", "k.stb", "every.xml"}),
              "2 WARNING: \"every.xml\" line 3: attribute \"widht\" is none of name, texture, u, "
              "v, width, height and flags, ignored\n"
              "WARNING: \"every.xml\" line 3: u \"x1\" is not a number, stored as 0\n"
              "WARNING: \"every.xml\" line 3: v \"70000\" is out of range 0-65535, stored as 4464\n"
              "WARNING: \"every.xml\" line 3: flags \"0x1FFFFFFFF\" is out of range 0-0xffffffff, "
              "stored as 0xffffffff\n"
              "WARNING: \"every.xml\" line 4: element <Sprite> is neither sprite nor include, "
              "skipped\n"
              "WARNING: \"every.xml\" line 5: element <include> has no file attribute, skipped\n"
              "WARNING: \"every.xml\" line 6: name \"hero_walk_right_frame_0123456789...\" is "
              "longer than 32 characters, stored as its first 32\n"
              "WARNING: \"every.xml\" line 6: texture \"chars_012\" is longer than 8 characters, "
              "stored as its first 8\n"
              "WARNING: \"every.xml\" line 7: sprite without name or texture, sprite skipped\n"
              "sprtool: 1 sprite skipped, 3 numbers not stored as written, 2 names or textures "
              "cut, 2 elements skipped, 1 attribute ignored\n|");
    EXPECT_EQ(read_file(d.file("k.stb")),
              rec("a", "t", 0, 4464, 0, 0, 0xFFFFFFFF) +
                  rec("hero_walk_right_frame_0123456789", "chars_01", 0))
        << "the values were not stored as before";
}

TEST(Outcome, CsvNamesEveryValueItChangesOrPassesOver) {
    TempDir d;
    write_file(d.file("every.csv"),
               "a,t,x1,70000,3,4,0x1FFFFFFFF\n"
               "\"hero_walk_right_frame_0123456789x\";chars_012;1;2;3;4;0x0\nb;t;5\nonly\n");
    EXPECT_EQ(run(d, {"wc", "k.stb", "every.csv"}),
              "2 WARNING: \"every.csv\" line 1: u \"x1\" is not a number, stored as 0\n"
              "WARNING: \"every.csv\" line 1: v \"70000\" is out of range 0-65535, stored as 4464\n"
              "WARNING: \"every.csv\" line 1: flags \"0x1FFFFFFFF\" is out of range 0-0xffffffff, "
              "stored as 0xffffffff\n"
              "WARNING: \"every.csv\" line 2: name \"hero_walk_right_frame_0123456789...\" is "
              "longer than 32 characters, stored as its first 32\n"
              "WARNING: \"every.csv\" line 2: texture \"chars_012\" is longer than 8 characters, "
              "stored as its first 8\n"
              "WARNING: \"every.csv\" line 3: v, width, height and flags are missing, stored as 0\n"
              "WARNING: \"every.csv\" line 4: no texture after the name, row skipped\n"
              "sprtool: 1 row skipped, 3 numbers not stored as written, 2 names or textures cut, "
              "1 row with missing fields\n|");
    EXPECT_EQ(read_file(d.file("k.stb")),
              rec("a", "t", 0, 4464, 3, 4, 0xFFFFFFFF) +
                  rec("hero_walk_right_frame_0123456789", "chars_01", 1, 2, 3, 4) +
                  rec("b", "t", 5))
        << "the values were not stored as before";
}

TEST(Outcome, AUtf16SheetIsRefusedByItsEncoding) {
    TempDir d;
    write_file(d.file("sheet.csv"), std::string("\xFF\xFE" "a\0,\0t\0\n\0", 10));
    expect_old_table_kept(d, {"wc", "k.stb", "sheet.csv"},
                          "ERROR: \"sheet.csv\" is UTF-16 little-endian text; only ASCII and "
                          "UTF-8 are read\n");
}

TEST(Outcome, ATableThatCannotBeOpenedIsNamedWithTheReason) {
    TempDir d;
    EXPECT_EQ(run(d, {"l", "gone.stb"}),
              "1 ERROR: could not open file \"gone.stb\" for read: No such file or directory\n|");
}
