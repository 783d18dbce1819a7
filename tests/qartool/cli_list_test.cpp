// End-to-end: usage text, command-line errors, the key check and the
// listing, against archives whose bytes the tests write themselves.
#include <gtest/gtest.h>

#include "cli_support.h"

namespace {

const char* const SEPARATOR =
    "----- ---------------- --------- --------- ---------- -------- -----------\n";
const char* const HEADING =
    "Num   Name             Size      Compr.    Date       Time     Compression\n";

std::string usage_text() {
    return std::string("Korvath qartool utility (Jul 15 2014)\n") +
           "\nUsage: " + QARTOOL_PATH + " <options> <command> <qar_name> [<file_names>...]\n" +
           "\nOptions\n" + "  -p <password>: encrypt using a password\n" + "\nCommands\n" +
           "  a: Add files to qar\n" + "  d: Delete files from qar\n" +
           "  x: Extract files from qar\n" + "  l: List contents of qar\n" +
           "  u: Update files in qar\n" +
           "\nDelete and Update commands currently leave the original file data in the qar,\n"
           "wasting space.  The only way to compact a qar is to extract all files into a\n"
           "temporary directory and build a new qar from them.  Sorry!\n";
}

void expect_run(const ProcessResult& r, int status, const std::string& out,
                const std::string& err) {
    EXPECT_EQ(status, r.status);
    EXPECT_EQ(out, r.out);
    EXPECT_EQ(err, r.err);
}

TEST(QartoolCli, UsageWithAtMostOneArgument) {
    TempDir dir;
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {}, {"l"}, {"-p"}, {"anything at all"}})
        expect_run(qartool(dir.path, args), 0, usage_text(), "");
}

TEST(QartoolCli, CommandLineErrorsTouchNothing) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-p", "secret"}, "ERROR: no command specified\n"},
        {{"-k", "5", "-p"}, "ERROR: no command specified\n"},
        {{"-k", "5", "l"}, "ERROR: no qar file specified\n"},
        {{"q", "game.qar"}, "ERROR: unknown command \"q\"\n"},
        {{"Q", "game.qar", "x"}, "ERROR: unknown command \"Q\"\n"},
        {{"", "game.qar"}, "ERROR: unknown command \"?\"\n"},
        {{"-z", "l", "game.qar"}, "ERROR: unknown option \"-z\"\n"},
        {{"-", "l", "game.qar"}, "ERROR: unknown option \"-\"\n"},
        {{"/x\x1b", "l", "game.qar"}, "ERROR: unknown option \"/x?\"\n"},
        {{"a", "game.qar"}, "ERROR: no files specified to add\n"},
        {{"Add", "game.qar"}, "ERROR: no files specified to add\n"},
        {{"d", "game.qar"}, "ERROR: no files specified to delete\n"},
        {{"u", "game.qar"}, "ERROR: no files specified to update\n"},
        {{"l", "game.qar"}, "ERROR: could not open qar \"game.qar\" for read\n"},
        {{"x-anything", "game.qar"}, "ERROR: could not open qar \"game.qar\" for read\n"},
        {{"d", "game.qar", "*"}, "ERROR: could not open qar \"game.qar\" for write\n"},
        {{"-p", "pw", "u", "game.qar", "*"}, "ERROR: could not open qar \"game.qar\" for write\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        expect_run(qartool(dir.path, c.args), 1, "", c.err);
        EXPECT_FALSE(file_exists(dir.file("game.qar")));
    }
}

// The archive used for the listing: deleted, compressed, odd and hostile
// entries side by side.
std::string listing_archive(uint32_t key) {
    return craft_archive(key,
                         {
                             {"big.bin", 3632, 0, 5000, 1422086400u, (9000000u << 8) | 4},
                             {"gone.txt", 3632, 1, 4, 1408098600u, 1},
                             {"odd.dat", 3632, 2, 10, 0xFFFFFFFFu, 6},
                             {"readme.txt", 3632, 3, 431, 1408098600u, (1200u << 8) | 2},
                             {"esc\x1b[2J", 3632, 4, 7, 0, 0},
                         },
                         std::string(5000, 'x'));
}

TEST(QartoolCli, ListingRowsAndTotals) {
    TempDir dir;
    write_file(dir.file("game.qar"), listing_archive(0));
    std::string rows =
        // 9,000,000 bytes set bit 31 of the flags word and still list as positive.
        "    0          big.bin   9000000      5000 2014-12-24 08:00:00 LZO1Y \n"
        // Stored time 0 decodes to month field 0: December of the year before.
        "    4          esc?[2J         7         7 1969-12-01 00:00:00 None \n"
        "    2          odd.dat        10        10 ?\?\?\?-?\?-?\? ?\?:?\?:?\? Unknown \n"
        "    3       readme.txt      1200       431 2014-07-15 10:30:00 LZO1X \n";
    expect_run(qartool(dir.path, {"l", "game.qar"}), 0,
               std::string(HEADING) + SEPARATOR + rows + SEPARATOR +
                   "    4 records            9001217      5448\n",
               "");
    // Patterns select rows; options after the command are patterns too.
    expect_run(qartool(dir.path, {"LIST", "game.qar", "*.txt", "b*"}), 0,
               std::string(HEADING) + SEPARATOR +
                   "    0          big.bin   9000000      5000 2014-12-24 08:00:00 LZO1Y \n"
                   "    3       readme.txt      1200       431 2014-07-15 10:30:00 LZO1X \n" +
                   SEPARATOR + "    2 records            9001200      5431\n",
               "");
    std::string empty = std::string(HEADING) + SEPARATOR + SEPARATOR +
                        "    0 records                  0         0\n";
    expect_run(qartool(dir.path, {"l", "game.qar", "-p"}), 0, empty, "");
    expect_run(qartool(dir.path, {"l", "game.qar", "*.TXT"}), 0, empty, "");
}

TEST(QartoolCli, KeyMustMatchTheArchive) {
    TempDir dir;
    uint32_t key = password_key("secret");
    write_file(dir.file("locked.qar"), listing_archive(key));
    write_file(dir.file("open.qar"), listing_archive(0));
    const std::string mismatch = "ERROR: key does not match the qar file\n";
    expect_run(qartool(dir.path, {"l", "locked.qar"}), 1, "", mismatch);
    expect_run(qartool(dir.path, {"-p", "wrong", "l", "locked.qar"}), 1, "", mismatch);
    expect_run(qartool(dir.path, {"-p", "secret", "l", "open.qar"}), 1, "", mismatch);
    expect_run(qartool(dir.path, {"-p", "secret", "x", "open.qar"}), 1, "", mismatch);
    expect_run(qartool(dir.path, {"-k", "1", "d", "open.qar", "*"}), 1, "", mismatch);
    expect_run(qartool(dir.path, {"-k", "1", "u", "open.qar", "*"}), 1, "", mismatch);
    EXPECT_EQ(listing_archive(0), read_file(dir.file("open.qar")));
    // The same key as a number, and other spellings of the options.
    for (std::string key_option : {"-key", "/K"}) {
        ProcessResult r = qartool(dir.path, {"/P", "wrong", key_option, std::to_string(key), "l",
                                             "locked.qar", "readme.txt"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.out.find("readme.txt")) << r.out;
    }
    // "-1" is the largest key, as the system's strtoul gives it.
    write_file(dir.file("max.qar"), listing_archive(0xFFFFFFFFu));
    EXPECT_EQ(0, qartool(dir.path, {"-k", "-1", "l", "max.qar"}).status);
    EXPECT_EQ(0, qartool(dir.path, {"-k", "99999999999", "l", "max.qar"}).status);
}

}  // namespace
