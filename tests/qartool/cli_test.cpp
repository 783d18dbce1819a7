// The built program end to end, in scratch directories, against archive
// bytes laid out by hand.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "qar_bytes.h"
#include "test_support.h"

namespace {

ProcessResult qartool(const std::string& cwd, std::vector<std::string> args) {
    args.insert(args.begin(), QARTOOL_PATH);
    return run_process(args, cwd);
}

void expect_run(const ProcessResult& r, int status, const std::string& out, const std::string& err) {
    EXPECT_EQ(status, r.status);
    EXPECT_EQ(out, r.out);
    EXPECT_EQ(err, r.err);
}

// Modification times in seconds, one a line.
std::string mtimes(const std::string& cwd, std::vector<std::string> names) {
    names.insert(names.begin(), {"/usr/bin/stat", "-c", "%Y"});
    return run_process(names, cwd).out;
}

const std::string HEAD =
    "Num   Name             Size      Compr.    Date       Time     Compression\n"
    "----- ---------------- --------- --------- ---------- -------- -----------\n";
const std::string RULE =
    "----- ---------------- --------- --------- ---------- -------- -----------\n";

TEST(QartoolCli, UsageAndCommandLineErrors) {
    TempDir dir;
    std::string usage = std::string("Korvath qartool utility (Jul 15 2014)\n\nUsage: ") +
        QARTOOL_PATH + " <options> <command> <qar_name> [<file_names>...]\n\nOptions\n"
        "  -p <password>: encrypt using a password\n\nCommands\n  a: Add files to qar\n"
        "  d: Delete files from qar\n  x: Extract files from qar\n  l: List contents of qar\n"
        "  u: Update files in qar\n\nDelete and Update commands currently leave the original "
        "file data in the qar,\nwasting space.  The only way to compact a qar is to extract all "
        "files into a\ntemporary directory and build a new qar from them.  Sorry!\n";
    expect_run(qartool(dir.path, {}), 0, usage, "");
    expect_run(qartool(dir.path, {"l"}), 0, usage, "");
    std::string open = raw_archive(0, {}, "");
    write_file(dir.file("open.qar"), open);
    write_file(dir.file("locked.qar"), raw_archive(password_key("secret"), {}, ""));
    const std::string mismatch = "ERROR: key does not match the qar file\n";
    struct { std::vector<std::string> args; std::string err; } cases[] = {
        {{"-p", "secret"}, "ERROR: no command specified\n"},
        {{"-k", "5", "l"}, "ERROR: no qar file specified\n"},
        {{"Q", "game.qar", "x"}, "ERROR: unknown command \"Q\"\n"},
        {{"-z", "l", "game.qar"}, "ERROR: unknown option \"-z\"\n"},
        {{"a", "game.qar"}, "ERROR: no files specified to add\n"},
        {{"d", "game.qar"}, "ERROR: no files specified to delete\n"},
        {{"u", "game.qar"}, "ERROR: no files specified to update\n"},
        {{"d", "game.qar", "*"}, "ERROR: could not open qar \"game.qar\" for write\n"},
        {{"u", "game.qar", "*"}, "ERROR: could not open qar \"game.qar\" for write\n"},
        {{"l", "locked.qar"}, mismatch}, {{"-p", "wrong", "x", "locked.qar"}, mismatch},
        {{"-p", "secret", "l", "open.qar"}, mismatch}, {{"-k", "1", "d", "open.qar", "*"}, mismatch},
    };
    for (const auto& c : cases) {
        expect_run(qartool(dir.path, c.args), 1, "", c.err);
        EXPECT_FALSE(file_exists(dir.file("game.qar"))) << c.err;
    }
    EXPECT_EQ(open, read_file(dir.file("open.qar")));
    expect_run(qartool(dir.path, {"l", "open.qar"}), 0,
               HEAD + RULE + "    0 records                  0         0\n", "");
}

// -k is read like strtoul and clamped to 32 bits; an empty file where the
// archive should be (left by an interrupted add) becomes the archive.
TEST(QartoolCli, KeyNumbersAndAnEmptyArchiveFile) {
    TempDir dir;
    write_file(dir.file("a.txt"), "abc");
    write_file(dir.file("empty.qar"), "");
    struct { const char* key; const char* archive; uint32_t stored; } cases[] = {
        {"99999999999", "big.qar", 0xFFFFFFFFu}, {"-1", "neg.qar", 0xFFFFFFFFu},
        {"5", "empty.qar", 5}};
    for (const auto& c : cases) {
        expect_run(qartool(dir.path, {"-k", c.key, "a", c.archive, "a.txt"}), 0, "file: a.txt\n", "");
        std::string b = read_file(dir.file(c.archive));
        EXPECT_EQ(c.stored, le32(b, 20)) << c.key;
        EXPECT_EQ(1u, le32(b, 16)) << c.key;
    }
}

TEST(QartoolCli, ListingRowsAndTotals) {
    TempDir dir;
    write_file(dir.file("game.qar"),
               raw_archive(0, {{"big.bin", 3632, 0, 5000, 1422086400u, (9000000u << 8) | 4},
                               {"gone.txt", 3632, 1, 4, 1408098600u, 1},
                               {"odd.dat", 3632, 2, 10, 0xFFFFFFFFu, 6},
                               {"readme.txt", 3632, 3, 431, 1408098600u, (1200u << 8) | 2},
                               {"esc\x1b[2J", 3632, 4, 7, 0, 0}},
                           std::string(5000, 'x')));
    expect_run(qartool(dir.path, {"l", "game.qar"}), 0, HEAD +
        "    0          big.bin   9000000      5000 2014-12-24 08:00:00 LZO1Y \n"
        "    4          esc?[2J         7         7 1969-12-01 00:00:00 None \n"
        "    2          odd.dat        10        10 ?\?\?\?-?\?-?\? ?\?:?\?:?\? Unknown \n"
        "    3       readme.txt      1200       431 2014-07-15 10:30:00 LZO1X \n" + RULE +
        "    4 records            9001217      5448\n", "");
}

TEST(QartoolCli, AddTreeWithPasswordThenExtract) {
    TempDir dir, out;
    std::string text;
    for (int i = 0; i < 300; ++i) text += "line " + std::to_string(i) + " of the sample\n";
    mkdir(dir.file("data").c_str(), 0755);
    mkdir(dir.file("data/sub").c_str(), 0755);
    write_file(dir.file("a.txt"), text);
    write_file(dir.file("empty.txt"), "");
    write_file(dir.file("data/sub/Noise.BIN"), "0123456789");
    ASSERT_EQ(0, symlink("..", dir.file("data/sub/up").c_str()));  // a loop
    run_process({"/usr/bin/touch", "-d", "@1405420200", "a.txt"}, dir.path);  // 2014-07-15 10:30
    run_process({"/usr/bin/touch", "-d", "@1419408000", "data/sub/Noise.BIN"}, dir.path);  // 12-24
    expect_run(qartool(dir.path, {"-p", "secret", "a", "game.qar", "a.txt", "a.txt", "empty.txt",
                                  "game.qar", "data"}), 0,
               "file: a.txt\nfile: a.txt\nfile: empty.txt\nfile: game.qar\ndir: data\ndir: sub\n"
               "file: Noise.BIN\n",
               "\"a.txt\" already exists\n\"empty.txt\": empty file, not stored\n"
               "\"game.qar\": the qar file itself is not stored\n"
               "\"up\": directory already walked (a link loop?), skipped\n");
    std::string b = read_file(dir.file("game.qar"));
    EXPECT_EQ(password_key("secret"), le32(b, 20));
    std::vector<RawEntry> e = raw_entries(b);
    ASSERT_EQ(2u, e.size());
    EXPECT_EQ("a.txt/1408098600 noise.bin/1422086400", e[0].name + "/" + std::to_string(e[0].time) +
              " " + e[1].name + "/" + std::to_string(e[1].time));
    EXPECT_NE("0123", b.substr(e[1].data_offset, 4));  // masked by the key
    expect_run(qartool(out.path, {"-p", "secret", "x", dir.file("game.qar")}), 0,
               "a.txt\nnoise.bin\n", "");
    EXPECT_EQ(text, read_file(out.file("a.txt")));
    EXPECT_EQ("0123456789", read_file(out.file("noise.bin")));
    EXPECT_EQ("1405420200\n1419408000\n", mtimes(out.path, {"a.txt", "noise.bin"}));
}

TEST(QartoolCli, UpdateStoresUncompressedAndDeleteMarksInNameOrder) {
    TempDir dir;
    std::string text;
    for (int i = 0; i < 300; ++i) text += "line " + std::to_string(i) + " of the sample\n";
    write_file(dir.file("a.txt"), text);
    ASSERT_EQ(0, qartool(dir.path, {"-k", "77", "a", "game.qar", "a.txt"}).status);
    size_t before = read_file(dir.file("game.qar")).size();
    write_file(dir.file("a.txt"), text.substr(0, 1500));
    write_file(dir.file("new.txt"), "x");
    expect_run(qartool(dir.path, {"-k", "77", "u", "game.qar", "a.txt", "new.txt"}), 0,
               "file: a.txt\nfile: new.txt\n",
               "\"new.txt\": Could not find old record \"new.txt\" in file \"game.qar\"\n");
    std::string b = read_file(dir.file("game.qar"));
    EXPECT_EQ(before + 1500, b.size());
    std::vector<RawEntry> e = raw_entries(b);
    ASSERT_EQ(1u, e.size());
    EXPECT_EQ(0u, e[0].flags);
    EXPECT_EQ(1500u, e[0].stored_size);
    ASSERT_EQ(0, unlink(dir.file("a.txt").c_str()));
    expect_run(qartool(dir.path, {"-k", "77", "x", "game.qar"}), 0, "a.txt\n", "");
    EXPECT_EQ(text.substr(0, 1500), read_file(dir.file("a.txt")));
    // Two records may share a name in old archives: each is deleted.
    std::string raw = raw_archive(0, {{"c.txt", 3632, 0, 1, 0, 0}, {"a.txt", 3632, 1, 1, 0, 0},
                                      {"b.dat", 3632, 2, 1, 0, 0}, {"a.txt", 3632, 3, 1, 0, 0}}, "x");
    write_file(dir.file("old.qar"), raw);
    expect_run(qartool(dir.path, {"d", "old.qar", "*.txt", "nothing"}), 0, "a.txt\na.txt\nc.txt\n", "");
    b = read_file(dir.file("old.qar"));
    EXPECT_EQ(raw.size(), b.size());
    for (const RawEntry& r : raw_entries(b)) EXPECT_EQ(r.name == "b.dat" ? 0u : 1u, r.flags) << r.index;
}

// Only plain names are written, into the current directory, never through a
// link, never over the archive being read; a record that fails to decode
// leaves the file that was there.
TEST(QartoolCli, ExtractWritesOnlyPlainNamesHere) {
    TempDir root;
    std::string work = root.file("work"), qar = work + "/game.qar";
    mkdir(work.c_str(), 0755);
    write_file(root.file("victim"), "keep me");
    write_file(work + "/broken", "previous");
    ASSERT_EQ(0, symlink("../victim", (work + "/out.txt").c_str()));
    std::string archive = raw_archive(0, {{"../evil", 3632, 0, 3, 0, 0}, {"./x", 3632, 1, 3, 0, 0},
                                          {"broken", 3632, 2, 3, 0, (100u << 8) | 2},
                                          {"game.qar", 3632, 3, 3, 0, 0},
                                          {"out.txt", 3632, 4, 3, 0, 0}}, "NEW");
    write_file(qar, archive);
    expect_run(qartool(work, {"x", qar}), 0, "out.txt\n",
               "ERROR: not extracting \"../evil\": not a plain file name\n"
               "ERROR: not extracting \"./x\": not a plain file name\n"
               "ERROR: could not read \"broken\" from qar \"" + qar + "\"\n"
               "ERROR: not extracting \"game.qar\" over the qar file being read\n");
    EXPECT_EQ(archive, read_file(qar));
    EXPECT_EQ("keep me", read_file(root.file("victim")));
    EXPECT_EQ("previous", read_file(work + "/broken"));
    EXPECT_EQ("NEW", read_file(work + "/out.txt"));
    EXPECT_EQ("victim\nwork\n", run_process({"/bin/ls", "-A"}, root.path).out);
    EXPECT_EQ("broken\ngame.qar\nout.txt\n", run_process({"/bin/ls", "-A"}, work).out);
}

}  // namespace
