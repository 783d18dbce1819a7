// The pattern matcher and the time stamp through the library; the commands by
// running the built program in scratch directories on archives laid out by hand.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "gather.h"
#include "qar_bytes.h"
#include "test_support.h"
#include "wildcard.h"

namespace {

// Literals, '?', '*', sets, escapes, and the leading dot that only a literal dot,
// a set or an escape matches. Each pattern is copied into a buffer of its exact
// size, so a read past its end shows under the sanitizer: a set left open matches nothing.
TEST(Wildcard, EveryRule) {
    struct { const char* pattern; std::vector<const char*> match, miss; } cases[] = {
        {"*.txt", {"a.txt", "x.y.txt"}, {"a.tx", "a.TXT"}}, {"", {""}, {"a"}},
        {"?", {"a"}, {"", "ab"}}, {"*b*c", {"abcbc"}, {"abcbd"}},
        {"*", {"", "abc"}, {".a"}}, {"?abc", {"xabc"}, {".abc"}},
        {"[.]abc", {".abc"}, {}}, {"\\.abc", {".abc"}, {}},
        {"a*", {"a", "ab"}, {"ba"}}, {"a**", {"ab"}, {"a"}},
        {"[a-c]x", {"bx"}, {"dx", "b"}}, {"[!a-c]x", {"dx"}, {"bx"}}, {"[ac]", {"c"}, {"b"}},
        {"[-a]", {}, {"a", "-"}}, {"[]x", {}, {"ax", "]x"}}, {"[!]x", {"]x"}, {"x"}},
        {"[a-]x]", {"a", "x"}, {"]"}}, {"[", {}, {"", "["}}, {"[!", {}, {"a"}},
        {"[a", {}, {"a"}}, {"[a-", {}, {"a", "-"}}, {"*[ab", {}, {"xa", "a"}},
        {"\\*", {"*"}, {"a"}}, {"a\\", {}, {"a\\", "a"}}, {"a\\\\", {"a\\"}, {}},
    };
    for (const auto& c : cases) {
        std::vector<char> pattern(c.pattern, c.pattern + strlen(c.pattern) + 1);
        for (int want : {1, 0})
            for (const char* name : want ? c.match : c.miss)
                EXPECT_EQ(want, wildcard_match(name, pattern.data())) << name << " ~ " << c.pattern;
    }
}

// A date is stored as the instant one month later; the listing shows how it reads back.
TEST(TimeStamp, StoredAsTheInstantOneMonthLater) {
    EXPECT_EQ(1408098600u, encode_time_stamp({2014, 7, 15, 10, 30, 0}));
    EXPECT_EQ(1393848000u, encode_time_stamp({2014, 1, 31, 12, 0, 0}));   // 2014-03-03 12:00
    EXPECT_EQ(1422086400u, encode_time_stamp({2014, 12, 24, 8, 0, 0}));   // 2015-01-24 08:00
    EXPECT_EQ(0xFFFFFFFFu, encode_time_stamp({1969, 11, 30, 23, 59, 59}));  // before 1970
}

// Runs the built program in cwd; compares its status and both outputs whole.
void expect_qartool(const std::string& cwd, std::vector<std::string> args, int status,
                    const std::string& out, const std::string& err,
                    const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), QARTOOL_PATH);
    ProcessResult r = run_process(args, cwd, "", env);
    EXPECT_EQ(status, r.status);
    EXPECT_EQ(out, r.out);
    EXPECT_EQ(err, r.err);
}

const std::string USAGE = std::string("Korvath qartool utility (Jul 15 2014)\n\nUsage: ") +
    QARTOOL_PATH + " <options> <command> <qar_name> [<file_names>...]\n\n"
    "Options\n  -p <password>: encrypt using a password\n\n"
    "Commands\n  a: Add files to qar\n  d: Delete files from qar\n  x: Extract files from qar\n"
    "  l: List contents of qar\n  u: Update files in qar\n\n"
    "Delete and Update commands currently leave the original file data in the qar,\n"
    "wasting space.  The only way to compact a qar is to extract all files into a\n"
    "temporary directory and build a new qar from them.  Sorry!\n";

TEST(QartoolCli, UsageOptionsAndCommandLineErrors) {
    TempDir dir;
    expect_qartool(dir.path, {}, 0, USAGE, "");
    expect_qartool(dir.path, {"l"}, 0, USAGE, "");
    std::string open = raw_archive(0, {}, "");
    write_file(dir.file("open.qar"), open);
    std::string locked = raw_archive(password_key("secret"), {}, "");
    write_file(dir.file("locked.qar"), locked);
    const char* bad_key = "key does not match the qar file";
    const char* no_write = "could not open qar \"q\" for write";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-p", "secret"}, "no command specified"}, {{"-k", "5", "l"}, "no qar file specified"},
        {{"Q", "q", "x"}, "unknown command \"Q\""}, {{"-z", "l", "q"}, "unknown option \"-z\""},
        {{"a", "q"}, "no files specified to add"}, {{"d", "q"}, "no files specified to delete"},
        {{"u", "q"}, "no files specified to update"}, {{"u", "q", "*"}, no_write},
        {{"d", "q", "*"}, no_write}, {{"a", "locked.qar", "f"}, bad_key},
        {{"-p", "wrong", "x", "locked.qar"}, bad_key}, {{"-k", "1", "d", "open.qar", "*"}, bad_key},
    };
    for (const auto& [args, err] : cases) {
        expect_qartool(dir.path, args, 1, "", "ERROR: " + err + "\n");
        EXPECT_FALSE(file_exists(dir.file("q"))) << err;
    }
    EXPECT_EQ(open + locked, read_file(dir.file("open.qar")) + read_file(dir.file("locked.qar")));
    // -k is read like strtoul and clamped to 32 bits; an empty file where the
    // archive should be (left by an interrupted add) becomes the archive.
    write_file(dir.file("f"), "abc");
    write_file(dir.file("5.qar"), "");
    const std::pair<std::string, uint32_t> keys[] = {
        {"99999999999", 0xFFFFFFFFu}, {"-1", 0xFFFFFFFFu}, {"5", 5}};
    for (const auto& [key, stored] : keys) {
        expect_qartool(dir.path, {"-k", key, "a", key + ".qar", "f"}, 0, "file: f\n", "");
        EXPECT_EQ(raw_header(1, stored), read_file(dir.file(key + ".qar")).substr(0, 28));
    }
}

// Rows in name order, deleted records left out, control characters shown as '?'.
TEST(QartoolCli, ListingRowsAndTotals) {
    TempDir dir;
    write_file(dir.file("game.qar"),
               raw_archive(0, {{"big.bin", 3632, 0, 5000, 1422086400u, (9000000u << 8) | 4},
                               {"gone.txt", 3632, 1, 4, 1408098600u, 1},
                               {"odd\x1b[2J", 3632, 2, 10, 0xFFFFFFFFu, 6},
                               {"readme.txt", 3632, 3, 431, 1408098600u, (1200u << 8) | 2}},
                           std::string(5000, 'x')));
    const std::string rule =
        "----- ---------------- --------- --------- ---------- -------- -----------\n";
    expect_qartool(dir.path, {"l", "game.qar"}, 0,
        "Num   Name             Size      Compr.    Date       Time     Compression\n" + rule +
        "    0          big.bin   9000000      5000 2014-12-24 08:00:00 LZO1Y \n"
        "    2          odd?[2J        10        10 ?\?\?\?-?\?-?\? ?\?:?\?:?\? Unknown \n"
        "    3       readme.txt      1200       431 2014-07-15 10:30:00 LZO1X \n" + rule +
        "    3 records            9001210      5441\n", "");
}

// Run nine hours east of UTC: records and extracted files keep UTC times.
TEST(QartoolCli, AddTreeWithPasswordThenExtract) {
    TempDir dir, out;
    run_process({"/bin/mkdir", "-p", "data/sub"}, dir.path);
    write_file(dir.file("a.txt"), std::string(3000, 't'));
    write_file(dir.file("empty.txt"), "");
    write_file(dir.file("data/sub/Noise.BIN"), "0123456789");
    ASSERT_EQ(0, symlink("..", dir.file("data/sub/up").c_str()));  // a loop
    // 2014-12-24 08:00 UTC, stored as 2015-01-24 08:00
    run_process({"/usr/bin/touch", "-d", "@1419408000", "a.txt", "data/sub/Noise.BIN"}, dir.path);
    expect_qartool(dir.path, {"-p", "secret", "a", "game.qar", "a.txt", "a.txt", "empty.txt",
                              "game.qar", "data\\"}, 0,
        "file: a.txt\nfile: a.txt\nfile: empty.txt\nfile: game.qar\ndir: data\ndir: sub\n"
        "file: Noise.BIN\n",
        "\"a.txt\" already exists\n\"empty.txt\": empty file, not stored\n"
        "\"game.qar\": the qar file itself is not stored\n"
        "\"up\": directory already walked (a link loop?), skipped\n", {"TZ=XST-9"});
    std::string b = read_file(dir.file("game.qar"));
    EXPECT_EQ(raw_header(2, password_key("secret")), b.substr(0, 28));
    for (const RawEntry& r : raw_entries(b))
        EXPECT_EQ(1422086400u, r.time) << r.name;
    expect_qartool(out.path, {"-p", "secret", "x", dir.file("game.qar")}, 0,
                   "a.txt\nnoise.bin\n", "", {"TZ=XST-9"});
    EXPECT_EQ(read_file(dir.file("a.txt")), read_file(out.file("a.txt")));
    EXPECT_EQ("0123456789", read_file(out.file("noise.bin")));
    EXPECT_EQ("1419408000\n1419408000\n",
              run_process({"/usr/bin/stat", "-c", "%Y", "a.txt", "noise.bin"}, out.path).out);
}

TEST(QartoolCli, UpdateStoresUncompressedAndDeleteMarksInNameOrder) {
    TempDir dir, out;
    const std::string text(1500, 'u');  // compresses well
    write_file(dir.file("game.qar"),
               raw_archive(77, {{"a.txt", 3632, 0, 3, 0, (9u << 8) | 2}}, "old"));
    write_file(dir.file("a.txt"), text);
    write_file(dir.file("new.txt"), "x");
    expect_qartool(dir.path, {"-k", "77", "u", "game.qar", "a.txt", "new.txt"}, 0,
                   "file: a.txt\nfile: new.txt\n",
                   "\"new.txt\": Could not find old record \"new.txt\" in file \"game.qar\"\n");
    std::vector<RawEntry> e = raw_entries(read_file(dir.file("game.qar")));
    ASSERT_EQ(1u, e.size());
    EXPECT_EQ(0u, e[0].flags);  // stored as it is
    EXPECT_EQ(1500u, e[0].stored_size);
    expect_qartool(out.path, {"-k", "77", "x", dir.file("game.qar")}, 0, "a.txt\n", "");
    EXPECT_EQ(text, read_file(out.file("a.txt")));
    // Each pattern in turn, its matches in name order; records sharing a name are each marked.
    write_file(dir.file("d.qar"), raw_archive(0, {{"c.t", 3632, 0, 1, 0, 0},
        {"a.t", 3632, 1, 1, 0, 0}, {"b.d", 3632, 2, 1, 0, 0}, {"a.t", 3632, 3, 1, 0, 0}}, "x"));
    expect_qartool(dir.path, {"d", "d.qar", "c*", "*.t"}, 0, "c.t\na.t\na.t\nc.t\n", "");
    for (const RawEntry& r : raw_entries(read_file(dir.file("d.qar"))))
        EXPECT_EQ(r.name == "b.d" ? 0u : 1u, r.flags) << r.index;
}

// Only plain names are written, here, never through a link nor over the archive
// being read; a record that fails to decode leaves the file that was there.
TEST(QartoolCli, ExtractWritesOnlyPlainNamesHere) {
    TempDir root;
    std::string work = root.file("work"), qar = work + "/game.qar";
    run_process({"/bin/mkdir", "work"}, root.path);
    write_file(root.file("victim"), "keep me");
    write_file(work + "/broken", "previous");
    ASSERT_EQ(0, symlink("../victim", (work + "/out.txt").c_str()));
    std::string archive = raw_archive(0, {{"../evil", 3632, 0, 3, 0, 0},
        {"broken", 3632, 1, 3, 0, (100u << 8) | 2}, {"game.qar", 3632, 2, 3, 0, 0},
        {"out.txt", 3632, 3, 3, 0, 0}}, "NEW");
    write_file(qar, archive);
    expect_qartool(work, {"x", qar}, 0, "out.txt\n",
                   "ERROR: not extracting \"../evil\": not a plain file name\n"
                   "ERROR: could not read \"broken\" from qar \"" + qar + "\"\n"
                   "ERROR: not extracting \"game.qar\" over the qar file being read\n");
    EXPECT_EQ(archive, read_file(qar));
    EXPECT_EQ("keep me", read_file(root.file("victim")));
    EXPECT_EQ("previous NEW", read_file(work + "/broken") + " " + read_file(work + "/out.txt"));
    EXPECT_EQ("victim\nwork\n", run_process({"/bin/ls", "-A"}, root.path).out);
    EXPECT_EQ("broken\ngame.qar\nout.txt\n", run_process({"/bin/ls", "-A"}, work).out);
}

}  // namespace
