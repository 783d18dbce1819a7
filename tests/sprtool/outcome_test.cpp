// What a run of the built sprtool reports: refusals that cost nothing, the old table kept when a
// source cannot be read, and warnings by file and line with status 2.
#include <gtest/gtest.h>

#include <filesystem>

#include "sprtool_run.h"

static const std::string kGame = rec("hero_idle_0", "chars_01", 0, 0, 32, 48, 1);
static const char kSprites[] = "\"hero_idle_0\" chars_01 0 0 32 48 0x00000001\n";

// The folder a user slips in: tables, a hand-written TXT source, a CSV sheet, a listing.
static void lay_out_folder(const TempDir& d) {
    for (const char* table : {"game.stb", "game.bin"}) write_file(d.file(table), kGame);
    write_file(d.file("b.stb"), rec("b", "t", 2));
    write_file(d.file("c.stb"), rec("c", "t", 3));
    write_file(d.file("sprites.txt"), kSprites);
    write_file(d.file("sheet.csv"), "\"hero_idle_1\";\"chars_01\";32;0;32;48;0x1\n");
    write_file(d.file("list.txt"), "the listing of last week\n");
}

TEST(Outcome, SlipsAreRefusedAndLeaveEveryFileAsItWas) {
    const std::pair<Args, const char*> slips[] = {
        {{"l", "game.stb", "b.stb", "c.stb"}, "ERROR: l reads one STB file and writes at most one output file, but 3 file names were given"},
        {{"l", "game.stb", "b.stb"}, "ERROR: not writing to \"b.stb\": the output of l is text, and the name is that of an STB file"},
        {{"Rtxt", "game.stb", "B.STB"}, "ERROR: not writing to \"B.STB\": the output of rt is text, and the name is that of an STB file"},
        {{"v", "game.stb", "b.stb"}, "ERROR: not writing to \"b.stb\": the output of v is a web page, and the name is that of an STB file"},
        {{"wt", "sprites.txt", "game.stb"}, "ERROR: not writing a table over \"sprites.txt\": an STB file name does not end in .txt (the STB file comes first)"},
        {{"wc", "SHEET.CSV", "game.stb"}, "ERROR: not writing a table over \"SHEET.CSV\": an STB file name does not end in .csv (the STB file comes first)"},
        {{"wt", "game.stb", "sheet.csv"}, "WARNING: \"sheet.csv\" line 1: texture \";\"chars_01\";32;0;32;48;0x1\" is longer than 8 characters, row skipped\n"
                                          "sprtool: 1 row skipped, no sprite was read, \"game.stb\" not written"},
        {{"wc", "game.stb", "sprites.txt"}, "WARNING: \"sprites.txt\" line 1: no texture after the name, row skipped\n"
                                            "sprtool: 1 row skipped, no sprite was read, \"game.stb\" not written"},
        {{"rt", "game.bin", "game.bin"}, "ERROR: could not open file \"game.bin\" for write: it is the STB file being read"},
        {{"wt", "game.stb", "game.stb"}, "ERROR: could not open file \"game.stb\" for write: it is also an input"},
        {{"w", "game.stb", "x"}, "ERROR: unknown command \"w\""},
        {{"WX", "game.stb"}, "ERROR: no input file given: XML is read from files only"},
        {{"l", "gone.stb"}, "ERROR: could not open file \"gone.stb\" for read: No such file or directory"},
        {{"k", "gone.stb"}, "ERROR: could not open file \"gone.stb\" for read: No such file or directory"},
        {{"v", "gone.stb", "list.txt"}, "ERROR: could not open file \"gone.stb\" for read: No such file or directory"},
        {{"wc", "new.stb", "typo.csv", "gone.csv"}, "ERROR: could not open file \"typo.csv\" for read: No such file or directory\n"
                                                    "ERROR: could not open file \"gone.csv\" for read: No such file or directory\n"
                                                    "sprtool: 2 files could not be read, \"new.stb\" not written"},
        {{"k", "game.stb", "nofolder"}, "ERROR: could not read folder \"nofolder\": No such file or directory"},
        {{"k", "game.stb", "a", "b"}, "ERROR: too many arguments\nusage: sprtool k <stb_file> [<texture folder>]"},
    };
    for (const auto& [args, err] : slips) {
        TempDir d;
        lay_out_folder(d);
        const auto before = directory_snapshot(d.path);
        EXPECT_EQ(run(d, args, kSprites), "1 " + std::string(err) + "\n|");
        EXPECT_TRUE(directory_snapshot(d.path) == before)
            << args[0] << " " << args[1] << ": a file was changed, added or removed";
    }
}

TEST(Outcome, AWriteFromATerminalWithoutAnInputFileIsRefused) {
    if (const char* why = terminal_input_missing()) GTEST_SKIP() << why;
    for (const char* command : {"wt", "wc", "wj"}) {
        TempDir d;
        write_file(d.file("game.stb"), kGame);
        const ProcessResult r = run_with_terminal_input({SPRTOOL_PATH, command, "game.stb"}, d.path);
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.err, "ERROR: no input file given, and standard input is a terminal\n");
        EXPECT_EQ(read_file(d.file("game.stb")), kGame) << command << " changed the table";
    }
}

TEST(Outcome, AWriteThroughASymbolicLinkReplacesItsTarget) {
    TempDir d;
    write_file(d.file("real.stb"), kGame);
    if (!make_symlink("real.stb", d.file("link.stb"))) GTEST_SKIP() << "no symbolic links here";
    ASSERT_EQ(run(d, {"wt", "link.stb"}, row("b", 2)), "0 |");
    EXPECT_EQ(read_file(d.file("real.stb")), rec("b", "t", 2)) << "the target was not written";
    EXPECT_TRUE(std::filesystem::is_symlink(d.file("link.stb"))) << "the link was replaced";
}

// More than 64 KiB of table and of text onto a disk too small for it.
TEST(Outcome, AFullDiskLeavesTheOldOutputAndNoTemporaryFile) {
    SmallDisk disk(64 * 1024);
    if (disk.path.empty()) GTEST_SKIP() << disk.missing;
    TempDir d;
    std::string big;
    for (int i = 0; i < 2000; ++i) big += rec("sprite_" + std::to_string(i), "chars_01", i);
    write_file(d.file("big.stb"), big);
    ASSERT_EQ(run(d, {"rt", "big.stb", "big.txt"}), "0 |");
    write_file(disk.file("game.txt"), kSprites);
    write_file(disk.file("game.stb"), kGame);
    const auto before = directory_snapshot(disk.path);
    for (const Args& args : {Args{"rt", "big.stb", disk.file("game.txt")},
                             Args{"l", "big.stb", disk.file("game.txt")},
                             Args{"wt", disk.file("game.stb"), "big.txt"}}) {
        const std::string outcome = run(d, args);
        const std::string target = args[0] == "wt" ? args[1] : args[2];
        EXPECT_EQ(outcome.find("1 ERROR: could not write file \"" + target + "\": "), 0u)
            << args[0] << " did not fail naming the file it could not write: " << outcome;
        EXPECT_TRUE(directory_snapshot(disk.path) == before)
            << args[0] << " changed the old file or left a temporary file";
    }
}

// `command` reading `file` (written with `bytes` unless absolute) into k.stb fails with `err`
// and leaves the old table.
static void expect_unread(const char* command, const std::string& file, const std::string& bytes,
                          const std::string& err) {
    const std::string old = rec("old", "t", 7);
    TempDir d;
    write_file(d.file("k.stb"), old);
    if (file[0] != '/') write_file(d.file(file), bytes);
    EXPECT_EQ(run(d, {command, "k.stb", file}),
              "1 ERROR: " + err + "\nsprtool: 1 file could not be read, \"k.stb\" not written\n|");
    EXPECT_EQ(read_file(d.file("k.stb")), old) << err << ": the old table was touched";
}

TEST(Outcome, ASourceThatCannotBeReadLeavesTheOldTable) {
    const char* const cases[][4] = {
        {"wt", "inc.txt", "\"g\" t 1 0 0 0 0x0\n@include \"gone.txt\"\n", " line 2: could not open file \"gone.txt\" for read: No such file or directory"},
        {"wx", "broken.xml", "<spritetable>\n<sprite name=\"g\"\n", " line 2: not valid XML (XML_ERROR_PARSING_ELEMENT)"},
        {"wx", "empty.xml", "", " line 1: not valid XML (XML_ERROR_EMPTY_DOCUMENT)"},
        {"wx", "other.xml", "<sprites/>", ": no spritetable element at the top"},
        {"wj", "a.json", "", " line 1, column 1: the document is empty"},
        {"wj", "a.json", "\n  {\"name\": \"a\"}", " line 2, column 3: the top level is not an array"},
        {"wj", "a.json", "[\n  {\"name\": \"caf\xE9\"}]", " line 2, column 16: invalid encoding in string"},
        {"wj", "a.json", "[{\"note\": \"\xFF\"}]", " line 1, column 12: invalid encoding in string"},
        {"wj", "a.json", "[\"caf\xC3", " line 1, column 6: invalid encoding in string"},
        {"wj", "a.json", "[\n\xE9]", " line 2, column 1: invalid value"},
        {"wj", "a.json", "[] []", " line 1, column 4: the document root must not be followed by other values"},
    };
    for (const auto& c : cases)
        expect_unread(c[0], c[1], c[2], '"' + std::string(c[1]) + '"' + c[3]);
    expect_unread("wc", "sheet.csv", std::string("\xFF\xFE" "a\0,\0t\0\n\0", 10),
                  "\"sheet.csv\" is UTF-16 little-endian text; only ASCII and UTF-8 are read");
    // The file is checked for UTF-8 in blocks of 64 KiB; this sequence starts in the first.
    expect_unread("wj", "a.json", "[" + std::string(65524, ' ') + "{\"name\": \"\xC3x\"}]",
                  "\"a.json\" line 1, column 65536: invalid encoding in string");
    // Reading fails with an I/O error after the file opened (where such a file exists).
    if (!file_exists("/proc/self/mem")) return;
    for (const char* command : {"wj", "wx", "wt"})
        expect_unread(command, "/proc/self/mem", "", "could not read file \"/proc/self/mem\"");
}

// Every row a form skips or stores other than written is named by file and line (JSON: sprite),
// as golden/<form>_warnings.txt; the rest is written as golden/<form>_table.csv lists it.
TEST(Outcome, EachFormNamesEveryRowItSkipsOrChanges) {
    for (const std::string form : {"txt", "xml", "csv", "json"}) {
        TempDir d;
        for (const std::string& name : {"every." + form, std::string("every_inc.txt")})
            write_file(d.file(name), golden(name));
        EXPECT_EQ(run(d, {"w" + form.substr(0, 1), "k.stb", "every." + form}),
                  "2 " + golden(form + "_warnings.txt") + "|");
        EXPECT_EQ(run(d, {"rc", "k.stb"}), "0 |" + golden(form + "_table.csv"))
            << form << ": the rows were not stored as before";
    }
}

TEST(Outcome, TrailingBytesOfATableAreReported) {
    TempDir d;
    write_file(d.file("game.stb"), rec("old", "t", 7) + "x");
    EXPECT_EQ(run(d, {"rc", "game.stb"}),
              "2 WARNING: \"game.stb\": 1 trailing byte ignored (the size is no multiple of 52)\n"
              "sprtool: 1 trailing byte ignored\n|old,t,7,0,0,0,0x00000000\n");
}
