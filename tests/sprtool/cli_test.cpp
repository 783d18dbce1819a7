// The built sprtool run in a scratch directory, its outcome compared byte for byte.
#include <gtest/gtest.h>

#include <filesystem>

#include "sprtool_run.h"

static const std::string kTable =  // a 32-character name, an 8-character texture, 65535
    rec("hero_walk_right_frame_0123456789", "chars_01", 65535, 1, 32, 48, 0xAB12);
static const char kList[] =
    "NAME                             TEXTURE  U     V     W     H     FLAGS     \n"
    "-------------------------------- -------- ----- ----- ----- ----- ----------\n"
    "hero_walk_right_frame_0123456789 chars_01 65535     1    32    48 0x0000ab12\n";
static const char kTxt[] =
    "# NAME............................ TEXTURE. U.... V.... W.... H.... FLAGS.....\n"
    "\"hero_walk_right_frame_0123456789\" chars_01 65535     1    32    48 0x0000ab12\n";
static const char kCsv[] = "hero_walk_right_frame_0123456789,chars_01,65535,1,32,48,0x0000ab12\n";
static const char kXml[] =
    "<?xml version=\"1.0\" standalone=\"no\"?>\n<spritetable>\n"
    "\t<sprite name=\"hero_walk_right_frame_0123456789\" texture=\"chars_01\" u=\"65535\" v=\"1\""
    " width=\"32\" height=\"48\" flags=\"0x0000ab12\"/>\n</spritetable>\n";
static const char kJson[] =
    "[\n\t{\n\t\t\"name\": \"hero_walk_right_frame_0123456789\",\n\t\t\"texture\": \"chars_01\",\n"
    "\t\t\"u\": 65535,\n\t\t\"v\": 1,\n\t\t\"width\": 32,\n\t\t\"height\": 48,\n"
    "\t\t\"flags\": \"0x0000ab12\"\n\t}\n]\n";
static const char kUsage[] =
    "Korvath sprtool utility (Sep  7 2013)\n\n"
    "Usage: " SPRTOOL_PATH " <command> <stb_file> [<file_name>...]\n\nCommands:\n"
    "  l: list sprite table entries\n  rt: read STB and output TXT\n  rc: read STB and output CSV\n"
    "  rx: read STB and output XML\n  rj: read STB and output JSON\n  wt: input TXT and write STB\n"
    "  wc: input CSV and write STB\n  wx: input XML and write STB\n"
    "  wj: input JSON and write STB\n"
    "  v: draw the table as a web page: v <stb_file> <out.html> [<texture folder>]\n"
    "  k: check the table and list what is wrong: k <stb_file> [<texture folder>]\n"
    "\nExit status: 0 done, 1 could not run (nothing changed),\n"
    "             2 done in part (each part not done is reported)\n";

// Each output form of one table exactly, to standard output.
struct Form {
    const char* command;
    const char* text;
};

void PrintTo(const Form& form, std::ostream* out) { *out << form.command; }

class OutputForm : public testing::TestWithParam<Form> {};

TEST_P(OutputForm, IsExact) {
    TempDir d;
    write_file(d.file("game.stb"), kTable);
    EXPECT_EQ(run(d, {GetParam().command, "game.stb"}), "0 |" + std::string(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(Cli, OutputForm,
                         testing::Values(Form{"l", kList}, Form{"rt", kTxt}, Form{"rc", kCsv},
                                         Form{"rx", kXml}, Form{"rj", kJson}),
                         [](const auto& info) { return std::string(info.param.command); });

// Writes the table in a text form with r, reads it back with w; the new STB file.
static std::string round_trip(const TempDir& d, const std::string& letter,
                              const std::string& table) {
    write_file(d.file("in.stb"), table);
    EXPECT_EQ(run(d, {"r" + letter, "in.stb", "text"}), "0 |");
    EXPECT_EQ(run(d, {"w" + letter, "new.stb", "text"}), "0 |");
    return read_file(d.file("new.stb"));
}

TEST(Cli, TxtReadsBackToTheSameTable) {
    TempDir d;
    EXPECT_EQ(round_trip(d, "t", kTable), kTable);
}

TEST(Cli, CsvReadsBackToTheSameTable) {
    TempDir d;
    EXPECT_EQ(round_trip(d, "c", kTable), kTable);
}

// Spreadsheets quote cells that hold separators or quotes, and empty ones.
static const std::string kAwkwardNames =
    rec("a,b", "x;y", 1) + rec("semi;colon", "t", 2) + rec("tab\there", "t", 3) +
    rec("say \"hi\"", "t", 4) + rec("\"quoted\"", "\"", 5) + rec("", "", 6) +
    rec("hero_walk_right_frame_0123456789", "chars_01", 7);

TEST(Cli, CsvReadsBackNamesHoldingSeparatorsAndQuotes) {
    TempDir d;
    EXPECT_EQ(round_trip(d, "c", kAwkwardNames), kAwkwardNames);
}

TEST(Cli, CsvQuotesOnlyTheCellsThatWouldNotReadBackOtherwise) {
    TempDir d;
    write_file(d.file("a.stb"),
               rec("plain", "t", 1) + rec("say \"hi\"", "a,b", 2) + rec("", "t", 3));
    EXPECT_EQ(run(d, {"rc", "a.stb"}),
              "0 |plain,t,1,0,0,0,0x00000000\n"
              "\"say \"\"hi\"\"\",\"a,b\",2,0,0,0,0x00000000\n"
              "\"\",t,3,0,0,0,0x00000000\n");
}

TEST(Cli, CsvReadsCellsQuotedTheWaySpreadsheetsWriteThem) {
    TempDir d;
    EXPECT_EQ(run(d, {"wc", "k.stb"}, "\"hero_idle_1\";\"chars_01\";32;0;\"32\";48;0x1\n"), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), rec("hero_idle_1", "chars_01", 32, 0, 32, 48, 1));
}

// XML also keeps an empty name and markup, control and high bytes.
TEST(Cli, XmlKeepsEveryNameAndReadsBack) {
    TempDir d;
    const std::string odd = kTable + rec("", "", 1, 2, 3, 4, 5) + rec("a&<>\"\x01\xE9", "x", 0);
    EXPECT_EQ(round_trip(d, "x", odd), odd);
    const char kXmlName[] = "name=\"a&amp;&lt;&gt;&quot;&#x01;\xE9\"";
    EXPECT_NE(read_file(d.file("text")).find(kXmlName), std::string::npos) << "escaped name";
}

TEST(Cli, JsonEscapesQuotesControlAndHighBytes) {
    TempDir d;
    write_file(d.file("in.stb"), kTable + rec("a&<>\"\x01\xE9", "x", 0));
    const char kJsonName[] = "\n\t},\n\t{\n\t\t\"name\": \"a&<>\\\"\\u0001\\u00E9\",\n";
    EXPECT_NE(run(d, {"rj", "in.stb"}).find(kJsonName), std::string::npos);
}

// Inputs in order, each include in place; CR LF reads as LF.
TEST(Cli, WriteCommandsReadInputsAndIncludesInPlace) {
    TempDir d;
    auto t = [](const char* name, int u) { return rec(name, "t", u); };
    write_file(d.file("a.txt"), row("a", 1) + "# comment\r\n@include \"i.txt\"\r\n" + row("a2", 4));
    write_file(d.file("i.txt"), row("i", 2) + "@include \"c.txt\"\n" + row("i2", 3));
    write_file(d.file("c.txt"), row("c", 5));
    EXPECT_EQ(run(d, {"wt", "x.stb", "a.txt", "c.txt"}), "0 |");
    const std::string in_place = t("a", 1) + t("i", 2) + t("c", 5) + t("i2", 3) + t("a2", 4);
    EXPECT_EQ(read_file(d.file("x.stb")), in_place + t("c", 5));
}

TEST(Cli, CsvKeepsTheNewlineOfAFieldAtALoneCr) {
    TempDir d;
    EXPECT_EQ(run(d, {"wc", "y.stb"}, "a;t\r\n"),
              "2 WARNING: standard input line 1: u, v, width, height and flags are missing, "
              "stored as 0\nsprtool: 1 row with missing fields\n|");
    EXPECT_EQ(read_file(d.file("y.stb")), rec("a", "t\n", 0));
}

// A source tree whose includes name files beside the including file, read from above it.
static void write_tree(const TempDir& d) {
    std::filesystem::create_directories(d.file("src/parts"));
    write_file(d.file("src/main.txt"), row("main", 1) + "@include \"parts/a.txt\"\n");
    write_file(d.file("src/parts/a.txt"), row("a", 2) + "@include \"b.txt\"\n");
    write_file(d.file("src/parts/b.txt"), row("b", 3));
}

// The table wt builds from the tree, run from above it.
static std::string build_tree(const TempDir& d) {
    EXPECT_EQ(run(d, {"wt", "k.stb", "src/main.txt"}), "0 |");
    return read_file(d.file("k.stb"));
}

static const std::string kMainAndA = rec("main", "t", 1) + rec("a", "t", 2);

TEST(Cli, TxtIncludeIsFoundBesideTheFileThatNamesIt) {
    TempDir d;
    write_tree(d);
    EXPECT_EQ(build_tree(d), kMainAndA + rec("b", "t", 3))
        << "includes were not found beside the including files";
}

TEST(Cli, XmlIncludeIsFoundBesideTheFileThatNamesIt) {
    TempDir d;
    std::filesystem::create_directories(d.file("src/parts"));
    write_file(d.file("src/main.xml"),
               "<spritetable><include file=\"parts/c.xml\"/></spritetable>");
    write_file(d.file("src/parts/c.xml"),
               "<spritetable><sprite name=\"c\" texture=\"t\" u=\"4\"/></spritetable>");
    EXPECT_EQ(run(d, {"wx", "k.stb", "src/main.xml"}), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), rec("c", "t", 4));
}

TEST(Cli, IncludeInTheCurrentDirectoryComesFirst) {
    TempDir d;
    write_tree(d);
    write_file(d.file("b.txt"), row("here", 9));
    EXPECT_EQ(build_tree(d), kMainAndA + rec("here", "t", 9))
        << "the current directory was not looked at first";
}

TEST(Cli, TooFewArgumentsPrintTheUsage) {
    TempDir d;
    EXPECT_EQ(run(d, {"wt"}), "0 |" + std::string(kUsage));
}

// A command that cannot run: its status and message, and the table as it was.
static void expect_refused(const Args& args, const std::string& outcome) {
    TempDir d;
    write_file(d.file("a.stb"), "old");
    EXPECT_EQ(run(d, args, row("a", 1)), outcome);
    EXPECT_EQ(read_file(d.file("a.stb")), "old") << "the table was changed";
}

TEST(Cli, AMistypedWriteCommandTouchesNothing) {
    expect_refused({"w", "a.stb", "x"}, "1 ERROR: unknown command \"w\"\n|");
}

TEST(Cli, XmlIsNeverReadFromStandardInputInEitherCase) {
    expect_refused({"WX", "a.stb"}, "1 ERROR: no input file given: XML is read from files only\n|");
}

TEST(Cli, ListAndReadCommandsNeverWriteOverTheirInput) {
    for (const char* command : {"l", "rt", "rj"}) {
        TempDir d;
        write_file(d.file("a.stb"), kTable);
        EXPECT_EQ(run(d, {command, "a.stb", "a.stb"}).substr(0, 2), "1 ") << command;
        EXPECT_EQ(read_file(d.file("a.stb")), kTable) << command << " changed its own input";
    }
}

// The size limit fails the write; the outcome goes out through a pipe, which it spares.
TEST(Cli, AFailedWriteLeavesTheOldTableAndNoTemporaryFile) {
    if (const char* why = file_size_limit_missing()) GTEST_SKIP() << why;
    TempDir d;
    write_file(d.file("a.stb"), "old");
    const char kFull[] = "echo $(trap '' XFSZ; ulimit -f 0; \"$0\" wt a.stb 2>&1; echo $?); ls";
    EXPECT_EQ(run_process({"/bin/sh", "-c", kFull, SPRTOOL_PATH}, d.path, row("a", 1)).out,
              "ERROR: could not write file \"a.stb\": write failed: File too large 1\na.stb\n");
    EXPECT_EQ(read_file(d.file("a.stb")), "old");
}
