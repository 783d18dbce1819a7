// Slips of the keyboard that must cost the user nothing: each run is refused
// with status 1 and a message, and every file of the folder stays byte for byte.
#include <gtest/gtest.h>

#include "sprtool_run.h"

namespace {

const std::string kGame = rec("hero_idle_0", "chars_01", 0, 0, 32, 48, 1);
const char kSprites[] = "\"hero_idle_0\" chars_01 0 0 32 48 0x00000001\n";
const char kSheet[] = "\"hero_idle_1\";\"chars_01\";32;0;32;48;0x1\n";

// The folder a user slips in: tables, a hand-written TXT source, a CSV sheet, a listing.
void lay_out_folder(const TempDir& d) {
    write_file(d.file("game.stb"), kGame);
    write_file(d.file("b.stb"), rec("b", "t", 2));
    write_file(d.file("c.stb"), rec("c", "t", 3));
    write_file(d.file("sprites.txt"), kSprites);
    write_file(d.file("sheet.csv"), kSheet);
    write_file(d.file("list.txt"), "the listing of last week\n");
}

// Runs `slip` in the folder: its outcome, and every file as it was.
template <typename Run>
void expect_costs_nothing(Run slip, const std::string& outcome) {
    TempDir d;
    lay_out_folder(d);
    const auto before = directory_snapshot(d.path);
    EXPECT_EQ(slip(d), outcome);
    EXPECT_TRUE(directory_snapshot(d.path) == before) << "a file was changed, added or removed";
}

struct Slip {
    const char* label;
    Args args;
    const char* err;
};

void PrintTo(const Slip& slip, std::ostream* out) { *out << slip.label; }

class Slips : public testing::TestWithParam<Slip> {};

TEST_P(Slips, AreRefusedAndLeaveEveryFileAsItWas) {
    expect_costs_nothing([](const TempDir& d) { return run(d, GetParam().args); },
                         "1 " + std::string(GetParam().err) + "|");
}

INSTANTIATE_TEST_SUITE_P(
    Sprtool, Slips,
    testing::Values(
        Slip{"ListOfAWildcardOfThreeTables",
             {"l", "game.stb", "b.stb", "c.stb"},
             "ERROR: l reads one STB file and writes at most one output file, but 3 file names "
             "were given\n"},
        Slip{"ListOfAWildcardOfTwoTables",
             {"l", "game.stb", "b.stb"},
             "ERROR: not writing to \"b.stb\": the output of l is text, and the name is that of "
             "an STB file\n"},
        Slip{"TextOutputNamedLikeATableInCapitals",
             {"Rtxt", "game.stb", "B.STB"},
             "ERROR: not writing to \"B.STB\": the output of rt is text, and the name is that of "
             "an STB file\n"},
        Slip{"SwappedNames",
             {"wt", "sprites.txt", "game.stb"},
             "ERROR: not writing a table over \"sprites.txt\": an STB file name does not end in "
             ".txt (the STB file comes first)\n"},
        Slip{"SwappedNamesInCapitals",
             {"wc", "SHEET.CSV", "game.stb"},
             "ERROR: not writing a table over \"SHEET.CSV\": an STB file name does not end in "
             ".csv (the STB file comes first)\n"},
        Slip{"TxtLetterForACsvSheet",
             {"wt", "game.stb", "sheet.csv"},
             "WARNING: \"sheet.csv\" line 1: texture \";\"chars_01\";32;0;32;48;0x1\" is longer "
             "than 8 characters, row skipped\n"
             "sprtool: 1 row skipped, no sprite was read, \"game.stb\" not written\n"},
        Slip{"CsvLetterForATxtSource",
             {"wc", "game.stb", "sprites.txt"},
             "WARNING: \"sprites.txt\" line 1: no texture after the name, row skipped\n"
             "sprtool: 1 row skipped, no sprite was read, \"game.stb\" not written\n"}),
    [](const auto& info) { return std::string(info.param.label); });

// Rows that all give nothing mean the wrong form; a source without any row is an empty table.
TEST(Sprtool, ASourceWithoutRowsStillGivesAnEmptyTable) {
    TempDir d;
    write_file(d.file("game.stb"), kGame);
    write_file(d.file("empty.txt"), "# nothing here yet\n\n");
    EXPECT_EQ(run(d, {"wt", "game.stb", "empty.txt"}), "0 |");
    EXPECT_EQ(read_file(d.file("game.stb")), "") << "the table was not emptied";
}

TEST(Sprtool, AWriteFromATerminalWithoutAnInputFileIsRefused) {
    if (const char* why = terminal_input_missing()) GTEST_SKIP() << why;
    for (const char* command : {"wt", "wc", "wj"}) {
        SCOPED_TRACE(command);
        expect_costs_nothing(
            [command](const TempDir& d) {
                const ProcessResult r =
                    run_with_terminal_input({SPRTOOL_PATH, command, "game.stb"}, d.path);
                return std::to_string(r.status) + " " + r.err + "|" + r.out;
            },
            "1 ERROR: no input file given, and standard input is a terminal\n|");
    }
}

// More than 64 KiB as a table and as text.
std::string big_table() {
    std::string table;
    for (int i = 0; i < 2000; ++i) table += rec("sprite_" + std::to_string(i), "chars_01", i);
    return table;
}

TEST(Sprtool, AFullDiskLeavesTheOldOutputAndNoTemporaryFile) {
    SmallDisk disk(64 * 1024);
    if (disk.path.empty()) GTEST_SKIP() << disk.missing;
    TempDir d;
    write_file(d.file("big.stb"), big_table());
    ASSERT_EQ(run(d, {"rt", "big.stb", "big.txt"}), "0 |");
    write_file(disk.file("game.txt"), kSprites);
    write_file(disk.file("game.stb"), kGame);
    const auto before = directory_snapshot(disk.path);
    const struct {
        Args args;
        std::string target;
    } runs[] = {{{"rt", "big.stb", disk.file("game.txt")}, disk.file("game.txt")},
                {{"l", "big.stb", disk.file("game.txt")}, disk.file("game.txt")},
                {{"wt", disk.file("game.stb"), "big.txt"}, disk.file("game.stb")}};
    for (const auto& r : runs) {
        const std::string outcome = run(d, r.args);
        EXPECT_EQ(outcome.substr(0, 2), "1 ") << r.args[0] << " reported success: " << outcome;
        EXPECT_NE(outcome.find("ERROR: could not write file \"" + r.target + "\": "),
                  std::string::npos)
            << r.args[0] << " did not name the file it could not write: " << outcome;
        EXPECT_TRUE(directory_snapshot(disk.path) == before)
            << r.args[0] << " changed the old file or left a temporary file";
    }
}

}  // namespace
