// The pattern matcher and the time stamp through the library; everything else
// runs the built program in scratch directories against archive bytes laid
// out by hand.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "gather.h"
#include "qar_bytes.h"
#include "test_support.h"
#include "wildcard.h"

namespace {

TEST(Wildcard, EveryRule) {
    struct {
        const char* pattern;
        std::vector<const char*> match, miss;
    } cases[] = {
        {"*.txt", {"a.txt", "x.y.txt"}, {"a.tx", ".txt", "a.TXT"}}, {"?*", {"a"}, {"", ".a"}},
        {"*", {"", "abc"}, {".a"}},  // a leading dot needs a literal dot
        {"[.]abc", {".abc"}, {}}, {"\\.abc", {".abc"}, {}}, {"?abc", {"xabc"}, {".abc"}},
        {"a*", {"a", "ab"}, {"ba"}}, {"a**", {"ab"}, {"a"}}, {"*b*c", {"abcbc"}, {"abcbd"}},
        {"", {""}, {"a"}}, {"?", {"a"}, {"", "ab"}}, {"README", {"README"}, {"readme"}},
        {"[a-c]x", {"bx"}, {"dx", "b"}}, {"[!a-c]x", {"dx"}, {"bx"}}, {"[ac]", {"c"}, {"b"}},
        {"[-a]", {}, {"a", "-"}}, {"[!-a]", {"a"}, {}}, {"[]x", {}, {"ax", "]x"}},
        {"[!]x", {"]x"}, {"x"}}, {"[a-]x]", {"a", "x"}, {"]"}},  // 'a', empty range a..], 'x'
        {"\\*", {"*"}, {"a"}}, {"a\\", {}, {"a\\", "a"}}, {"a\\\\", {"a\\"}, {}},
    };
    for (const auto& c : cases)
        for (int want : {1, 0})
            for (const char* name : want ? c.match : c.miss)
                EXPECT_EQ(want, wildcard_match(name, c.pattern)) << name << " ~ " << c.pattern;
    // A set left open at the end matches nothing and is not read past: each
    // pattern sits in a buffer of its exact size, so the sanitizer sees an over-read.
    for (const char* open : {"[", "[a", "[!", "[a-", "*[ab"}) {
        std::vector<char> p(open, open + strlen(open) + 1);
        for (const char* n : {"", "a", "["}) EXPECT_EQ(0, wildcard_match(n, p.data())) << open;
    }
    std::string stars;  // backtracking over many stars stays cheap
    for (int i = 0; i < 200; ++i) stars += "*a";
    EXPECT_EQ(0, wildcard_match(std::string(2000, 'a').c_str(), (stars + "b").c_str()));
}

// The stored value is the instant one month after the file's time.
TEST(TimeStamp, EncodeAndDecode) {
    EXPECT_EQ(1408098600u, encode_time_stamp({2014, 7, 15, 10, 30, 0}));
    EXPECT_EQ(1393848000u, encode_time_stamp({2014, 1, 31, 12, 0, 0}));   // 2014-03-03 12:00
    EXPECT_EQ(1422086400u, encode_time_stamp({2014, 12, 24, 8, 0, 0}));   // 2015-01-24 08:00
    EXPECT_EQ(0xFFFFFFFFu, encode_time_stamp({1969, 11, 30, 23, 59, 59}));  // before 1970
    setenv("TZ", "XST-9", 1);  // the listing decodes in the local zone, extraction in UTC
    tzset();
    struct { uint32_t stamp; int local; std::vector<int> when; } cases[] = {
        {1408098600u, 0, {2014, 7, 15, 10, 30, 0}}, {1408098600u, 1, {2014, 7, 15, 19, 30, 0}},
        {1422086400u, 0, {2014, 12, 24, 8, 0, 0}},  // month field 0: December
        {0xFFFFFFFFu, 0, {}}, {0x80000000u, 1, {}}};  // negative: no date
    for (const auto& c : cases) {
        PlatDateTime t;
        std::vector<int> got;
        if (decode_time_stamp(c.stamp, c.local, &t))
            got = {t.year, t.month, t.day, t.hour, t.minute, t.second};
        EXPECT_EQ(c.when, got) << c.stamp;
    }
    setenv("TZ", "UTC", 1);
    tzset();
}

ProcessResult qartool(const std::string& cwd, std::vector<std::string> args,
                      const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), QARTOOL_PATH);
    return run_process(args, cwd, "", env);
}

void expect_run(const ProcessResult& r, int status, std::string out, std::string err) {
    EXPECT_EQ(status, r.status);
    EXPECT_EQ(out, r.out);
    EXPECT_EQ(err, r.err);
}

const std::string HEAD =
    "Num   Name             Size      Compr.    Date       Time     Compression\n"
    "----- ---------------- --------- --------- ---------- -------- -----------\n";
const std::string RULE =
    "----- ---------------- --------- --------- ---------- -------- -----------\n";

TEST(QartoolCli, UsageOptionsAndCommandLineErrors) {
    TempDir dir;
    std::string usage = std::string("Korvath qartool utility (Jul 15 2014)\n\nUsage: ") +
        QARTOOL_PATH + " <options> <command> <qar_name> [<file_names>...]\n\nOptions\n"
        "  -p <password>: encrypt using a password\n\nCommands\n  a: Add files to qar\n"
        "  d: Delete files from qar\n  x: Extract files from qar\n  l: List contents of qar\n"
        "  u: Update files in qar\n\nDelete and Update commands currently leave the original "
        "file data in the qar,\nwasting space.  The only way to compact a qar is to extract all "
        "files into a\ntemporary directory and build a new qar from them.  Sorry!\n";
    for (auto args : {std::vector<std::string>{}, {"l"}})
        expect_run(qartool(dir.path, args), 0, usage, "");
    std::string open = raw_archive(0, {}, "");
    write_file(dir.file("open.qar"), open);
    write_file(dir.file("locked.qar"), raw_archive(password_key("secret"), {}, ""));
    const char* bad_key = "key does not match the qar file";
    const char* no_write = "could not open qar \"q\" for write";
    struct { std::vector<std::string> args; std::string err; } cases[] = {
        {{"-p", "secret"}, "no command specified"}, {{"-k", "5", "l"}, "no qar file specified"},
        {{"Q", "q", "x"}, "unknown command \"Q\""}, {{"-z", "l", "q"}, "unknown option \"-z\""},
        {{"a", "q"}, "no files specified to add"}, {{"d", "q"}, "no files specified to delete"},
        {{"u", "q"}, "no files specified to update"}, {{"d", "q", "*"}, no_write},
        {{"u", "q", "*"}, no_write},
        {{"l", "locked.qar"}, bad_key}, {{"-p", "wrong", "x", "locked.qar"}, bad_key},
        {{"-p", "secret", "l", "open.qar"}, bad_key}, {{"-k", "1", "d", "open.qar", "*"}, bad_key},
    };
    for (const auto& c : cases) {
        expect_run(qartool(dir.path, c.args), 1, "", "ERROR: " + c.err + "\n");
        EXPECT_FALSE(file_exists(dir.file("q"))) << c.err;
    }
    EXPECT_EQ(open, read_file(dir.file("open.qar")));
    expect_run(qartool(dir.path, {"l", "open.qar"}), 0,
               HEAD + RULE + "    0 records                  0         0\n", "");
    // -k is read like strtoul and clamped to 32 bits; an empty file where the
    // archive should be (left by an interrupted add) becomes the archive.
    write_file(dir.file("f"), "abc");
    write_file(dir.file("e.qar"), "");
    struct { const char* key; const char* archive; uint32_t stored; } keys[] = {
        {"99999999999", "b.qar", 0xFFFFFFFFu}, {"-1", "n.qar", 0xFFFFFFFFu}, {"5", "e.qar", 5}};
    for (const auto& c : keys) {
        expect_run(qartool(dir.path, {"-k", c.key, "a", c.archive, "f"}), 0, "file: f\n", "");
        EXPECT_EQ(raw_header(1, c.stored), read_file(dir.file(c.archive)).substr(0, 28)) << c.key;
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
    TempDir dir, out;  // run nine hours east of UTC: records and files keep UTC times
    const std::string text(3000, 't');
    run_process({"/bin/mkdir", "-p", "data/sub"}, dir.path);
    write_file(dir.file("a.txt"), text);
    write_file(dir.file("empty.txt"), "");
    write_file(dir.file("data/sub/Noise.BIN"), "0123456789");
    ASSERT_EQ(0, symlink("..", dir.file("data/sub/up").c_str()));  // a loop
    run_process({"/usr/bin/touch", "-d", "@1405420200", "a.txt"}, dir.path);  // 2014-07-15 10:30
    run_process({"/usr/bin/touch", "-d", "@1419408000", "data/sub/Noise.BIN"}, dir.path);  // 12-24
    expect_run(qartool(dir.path, {"-p", "secret", "a", "game.qar", "a.txt", "a.txt", "empty.txt",
                                  "game.qar", "data\\"}, {"TZ=XST-9"}), 0,
               "file: a.txt\nfile: a.txt\nfile: empty.txt\nfile: game.qar\ndir: data\ndir: sub\n"
               "file: Noise.BIN\n",
               "\"a.txt\" already exists\n\"empty.txt\": empty file, not stored\n"
               "\"game.qar\": the qar file itself is not stored\n"
               "\"up\": directory already walked (a link loop?), skipped\n");
    std::string b = read_file(dir.file("game.qar"));
    EXPECT_EQ(raw_header(2, password_key("secret")), b.substr(0, 28));
    std::vector<RawEntry> e = raw_entries(b);
    ASSERT_EQ(2u, e.size());
    EXPECT_EQ("a.txt/1408098600 noise.bin/1422086400", e[0].name + "/" + std::to_string(e[0].time) +
              " " + e[1].name + "/" + std::to_string(e[1].time));
    EXPECT_NE("0123", b.substr(e[1].data_offset, 4));  // masked by the key
    expect_run(qartool(out.path, {"-p", "secret", "x", dir.file("game.qar")}, {"TZ=XST-9"}), 0,
               "a.txt\nnoise.bin\n", "");
    EXPECT_EQ(text + "0123456789", read_file(out.file("a.txt")) + read_file(out.file("noise.bin")));
    EXPECT_EQ("1405420200\n1419408000\n",
              run_process({"/usr/bin/stat", "-c", "%Y", "a.txt", "noise.bin"}, out.path).out);
}

TEST(QartoolCli, UpdateStoresUncompressedAndDeleteMarksInNameOrder) {
    TempDir dir;
    std::string old = raw_archive(77, {{"a.txt", 3632, 0, 3, 0, (9u << 8) | 2}}, "old");
    write_file(dir.file("game.qar"), old);
    write_file(dir.file("a.txt"), std::string(1500, 'u'));  // compresses well
    write_file(dir.file("new.txt"), "x");
    expect_run(qartool(dir.path, {"-k", "77", "u", "game.qar", "a.txt", "new.txt"}), 0,
               "file: a.txt\nfile: new.txt\n",
               "\"new.txt\": Could not find old record \"new.txt\" in file \"game.qar\"\n");
    std::string b = read_file(dir.file("game.qar"));
    EXPECT_EQ(old.size() + 1500, b.size());
    std::vector<RawEntry> e = raw_entries(b);
    ASSERT_EQ(1u, e.size());
    EXPECT_EQ(0u, e[0].flags);  // stored as it is
    EXPECT_EQ(1500u, e[0].stored_size);
    write_file(dir.file("a.txt"), "changed");
    expect_run(qartool(dir.path, {"-k", "77", "x", "game.qar"}), 0, "a.txt\n", "");
    EXPECT_EQ(std::string(1500, 'u'), read_file(dir.file("a.txt")));
    // Two records may share a name in old archives: each is deleted.
    write_file(dir.file("d.qar"), raw_archive(0, {{"c.t", 3632, 0, 1, 0, 0},
        {"a.t", 3632, 1, 1, 0, 0}, {"b.d", 3632, 2, 1, 0, 0}, {"a.t", 3632, 3, 1, 0, 0}}, "x"));
    expect_run(qartool(dir.path, {"d", "d.qar", "*.t", "nothing"}), 0, "a.t\na.t\nc.t\n", "");
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
    std::string archive = raw_archive(0, {{"../evil", 3632, 0, 3, 0, 0}, {"./x", 3632, 1, 3, 0, 0},
        {"broken", 3632, 2, 3, 0, (100u << 8) | 2}, {"game.qar", 3632, 3, 3, 0, 0},
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
