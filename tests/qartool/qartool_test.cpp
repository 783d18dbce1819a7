// The pattern matcher through the library; the command line, the exit statuses and
// the commands' reports by running the built program on archives laid out by hand.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "run_qartool.h"
#include "wildcard.h"

namespace {

namespace fs = std::filesystem;

struct MatchCase {
    const char* name;
    const char* pattern;
    bool nocase;  // as the commands match: a letter matches either case
    bool matches;
};

const MatchCase MATCH_CASES[] = {
    {"x.y.txt", "*.txt", false, true},  // the star reaches past an earlier dot
    {"", "*", false, true},
    {"abcbc", "*b*c", false, true},
    {"abcbd", "*b*c", false, false},
    {"a.TXT", "*.txt", false, false},  // case matters
    {"a", "?", false, true},
    {"", "?", false, false},
    {"ab", "?", false, false},
    {"ab", "a**", false, true},
    {"a", "a**", false, false},  // two stars in a row need one character
    {".a", "*", false, false},   // only a literal dot matches a leading dot
    {".abc", "?abc", false, false},
    {".abc", "[.]abc", false, true},
    {".abc", "\\.abc", false, true},
    {"c", "[ac]", false, true},
    {"bx", "[a-c]x", false, true},
    {"dx", "[a-c]x", false, false},
    {"dx", "[!a-c]x", false, true},
    {"bx", "[!a-c]x", false, false},
    {"-", "[-a]", false, false},  // a leading '-' makes a range that holds nothing
    {"]x", "[]x", false, false},  // an empty set matches nothing
    {"]x", "[!]x", false, true},
    {"x", "[a-]x]", false, true},  // a range may end in ']'
    {"a", "[", false, false},      // a set left open matches nothing
    {"a", "[a", false, false},
    {"a", "*[ab", false, false},
    {"*", "\\*", false, true},  // a backslash takes the next character literally
    {"a\\", "a\\\\", false, true},
    {"a\\", "a\\", false, false},  // a trailing backslash escapes nothing
    {"a.def", "*.DEF", true, true},
    {"apint.h", "APInt.h", true, true},
    {"a", "\\A", true, true},         // an escaped letter matches either case
    {".def", "*.DEF", true, false},   // the leading dot rule still holds
    {"b", "[A-C]", true, true},       // a set holds a letter in either case
    {"Ax", "[!a]x", true, false},     // a negated set rejects both cases
    {"[", "[Z-a]", true, true},       // ranges keep their bounds
    {"b", "[Z-a]", true, false},
};

// The pattern is copied into a buffer of its exact size, so that a read past its end
// shows under the sanitizer.
TEST(Wildcard, EachPatternMatchesExactlyTheNamesItShould) {
    for (const MatchCase& c : MATCH_CASES) {
        std::vector<char> exact(c.pattern, c.pattern + strlen(c.pattern) + 1);
        const int got = (c.nocase ? wildcard_match_nocase : wildcard_match)(c.name, exact.data());
        EXPECT_EQ(c.matches, got == 1) << "\"" << c.name << "\" against \"" << c.pattern << "\""
                                       << (c.nocase ? " ignoring case" : "");
    }
}

// game.qar holds a.txt, b.def and c.txt (a folder of that name blocks its extraction);
// odd.qar holds "lost", whose slot lies beyond the tables; locked.qar has a password;
// evil.qar holds names that would land outside the folder, self.qar its own name,
// broken.qar a record that does not decode, damaged.qar one whose bytes lie past its end,
// tables.qar one whose bytes lie inside a later directory table; halfway.qar was left by an
// add stopped before its last write (its header counts one record, its table holds two).
void lay_out_scene(const TempDir& dir) {
    write_file(dir.file("game.qar"), raw_archive(0, {{"a.txt", 3632, 0, 5, 1408098600u, 0},
                                                     {"b.def", 3637, 1, 5, 1408098600u, 0},
                                                     {"c.txt", 3642, 2, 5, 1408098600u, 0}},
                                                 "alphabravocharl"));
    write_file(dir.file("odd.qar"),
               raw_archive(0, {{"lost", 3632, 777, 1, 0, 0}, {"ok", 3632, 1, 1, 0, 0}}, "x"));
    write_file(dir.file("locked.qar"), raw_archive(password_key("secret"), {}, ""));
    write_file(dir.file("evil.qar"), raw_archive(0, {{"..", 3632, 0, 3, 0, 0},
                                                     {"../evil", 3632, 1, 3, 0, 0},
                                                     {"a/b", 3632, 2, 3, 0, 0},
                                                     {"a\\b", 3632, 3, 3, 0, 0}}, "NEW"));
    write_file(dir.file("self.qar"), raw_archive(0, {{"self.qar", 3632, 0, 3, 0, 0}}, "NEW"));
    write_file(dir.file("broken.qar"),
               raw_archive(0, {{"broken", 3632, 0, 3, 0, (100u << 8) | 2}}, "NEW"));
    write_file(dir.file("empty.qar"), "");  // what an add killed right after creating it leaves
    write_file(dir.file("damaged.qar"), raw_archive(0, {{"bad", 3632, 0, 1000, 0, 0},
                                                        {"plain.bin", 3632, 1, 5, 0, 0}}, "plain"));
    write_file(dir.file("halfway.qar"), raw_header(1, 0) +
                                            raw_table(0, {{"a.txt", 3632, 0, 2, 0, 0},
                                                          {"b.txt", 3634, 1, 2, 0, 0}}) + "aabb");
    std::vector<RawEntry> full;  // table 0 full, table 1 at 3632, "bad" pointing into it
    for (int i = 0; i < 99; ++i) full.push_back({"r" + std::to_string(i), 7236, i, 1, 0, 0});
    full.push_back({"bad", 3640, 99, 4, 0, 0});
    write_file(dir.file("tables.qar"),
               raw_header(100, 0) + raw_table(3632, full) + raw_table(0) + "x");
    write_file(dir.file("notqar.txt"), "plain text, no archive at all\n");
    write_files(dir.path, {{"a.txt", "on disk"}, {"plain", "a file in the way"}, {"new.txt", "new"},
                           {"broken", "previous"}, {"sub/deep.txt", "deep"},
                           {"sub/readme", "no dot"}}, 1400000000);
    fs::create_directories(dir.file("c.txt"));
    fs::create_directories(dir.file("odd"));
}

// Each command of the golden file in a scene of its own; one that could not run, or is marked
// "unchanged" (it stored nothing), must not change any file.
void expect_cases(const std::string& golden) {
    for (const GoldenCase& c : golden_cases(golden)) {
        TempDir dir;
        lay_out_scene(dir);
        const auto before = directory_snapshot(dir.path);
        SCOPED_TRACE(shown(c.args));
        expect_qartool(dir.path, c.args, c.status, c.out, c.err);
        const bool unchanged = c.status == 1 || c.then == "unchanged";
        EXPECT_TRUE(!unchanged || before == directory_snapshot(dir.path))
            << "the command changed files";
    }
}

TEST(QartoolStatus, ACommandThatDidAllItWasAskedEndsZero) { expect_cases("status_done.txt"); }

// An add or sync that stores nothing leaves no new archive and an existing one as it was;
// an extraction that would land outside the folder or on the archive, or a record that
// does not decode, writes nothing (and leaves the old file); so does compacting a damaged qar.
TEST(QartoolStatus, ACommandThatLeftPartUndoneNamesEachPartAndEndsTwo) {
    expect_cases("status_partial.txt");
}

TEST(QartoolStatus, ACommandThatCouldNotRunSaysWhyEndsOneAndChangesNothing) {
    expect_cases("status_refused.txt");
}

// Run nine hours east of UTC: records and extracted files keep UTC times, also past 2038.
TEST(QartoolCli, AddTreeWithPasswordThenExtract) {
    TempDir dir, out;
    write_files(dir.path, {{"a.txt", std::string(3000, 't')}, {"empty.txt", ""},
                           {"data/sub/Noise.BIN", "0123456789"}}, 1419408000);  // 2014-12-24 08:00
    set_write_time(dir.file("data/sub/Noise.BIN"), 2223374400);  // 2040-06-15 12:00
    const bool looped = make_symlink("..", dir.file("data/sub/up"));
    expect_qartool(dir.path, {"-p", "secret", "a", "game.qar", "a.txt", "a.txt", "empty.txt",
                              "game.qar", "data\\"}, 2,
        "file: a.txt\nfile: a.txt\nfile: empty.txt\nfile: game.qar\ndir: data\ndir: sub\n"
        "file: Noise.BIN\n",
        std::string("\"a.txt\": same record name \"a.txt\" as \"a.txt\", not stored\n"
                    "\"empty.txt\": empty file, not stored\n"
                    "\"game.qar\": the qar file itself is not stored\n") +
        (looped ? "\"up\": directory already walked (a link loop?), skipped\n" : "") +
        "qartool: 3 of 5 files not stored\n",
        {"TZ=XST-9"});
    const std::string b = read_file(dir.file("game.qar"));
    EXPECT_EQ(raw_header(2, password_key("secret")), b.substr(0, 28));
    const std::vector<RawEntry> e = raw_entries(b);
    ASSERT_EQ(2u, e.size());
    EXPECT_EQ(1422086400u, e[0].time) << "a.txt not stored as 2015-01-24 08:00";
    EXPECT_EQ(2225966400u, e[1].time) << "Noise.BIN not stored as 2040-07-15 12:00";
    expect_qartool(out.path, {"-p", "secret", "x", dir.file("game.qar")}, 0,
                   "a.txt\nnoise.bin\n", "", {"TZ=XST-9"});
    EXPECT_EQ(read_file(dir.file("a.txt")), read_file(out.file("a.txt")));
    EXPECT_EQ("0123456789", read_file(out.file("noise.bin")));
    EXPECT_EQ(1419408000, write_time(out.file("a.txt")));
    EXPECT_EQ(2223374400, write_time(out.file("noise.bin")));
}

// Each test in the scene of the status tests.
struct Scene : ::testing::Test {
    TempDir dir;
    void SetUp() override { lay_out_scene(dir); }
};

// Rows in name order, deleted records left out, control characters shown as '?', a date
// past 2038 (stored as 2040-07-15 12:00, past 2^31).
TEST_F(Scene, ListingRowsAndTotals) {
    write_file(dir.file("list.qar"),
               raw_archive(0, {{"big.bin", 3632, 0, 5000, 1422086400u, (9000000u << 8) | 4},
                               {"gone.txt", 3632, 1, 4, 1408098600u, 1},
                               {"odd\x1b[2J", 3632, 2, 10, 0xFFFFFFFFu, 6},
                               {"readme.txt", 3632, 3, 431, 2225966400u, (1200u << 8) | 2}},
                           std::string(5000, 'x')));
    expect_qartool(dir.path, {"list", "list.qar"}, 0,
                   as_text(read_file(QARTOOL_GOLDEN "/listing.txt")), "");
}

// Each pattern in turn, its matches in name order; records sharing a name are each marked.
TEST_F(Scene, DeleteMarksEachMatchPatternByPatternInNameOrder) {
    write_file(dir.file("d.qar"), raw_archive(0, {{"c.t", 3632, 0, 1, 0, 0},
        {"a.t", 3632, 1, 1, 0, 0}, {"b.d", 3632, 2, 1, 0, 0}, {"a.t", 3632, 3, 1, 0, 0}}, "x"));
    expect_qartool(dir.path, {"d", "d.qar", "c*", "*.t"}, 0, "c.t\na.t\na.t\nc.t\n", "");
    for (const RawEntry& r : raw_entries(read_file(dir.file("d.qar"))))
        EXPECT_EQ(r.name == "b.d" ? 0u : 1u, r.flags) << r.name << " #" << r.index;
}

TEST_F(Scene, AFileWhoseNameCouldNeverBeExtractedIsNotStored) {
    try {
        write_file(dir.file("odd/bell\a"), "ring");
    } catch (const std::exception&) {
        GTEST_SKIP() << "this system takes no control character in a file name";
    }
    expect_qartool(dir.path, {"a", "game.qar", "odd"}, 2, "dir: odd\nfile: bell?\n",
                   "\"bell?\": a name that could not be extracted again, not stored\n"
                   "qartool: 1 of 1 files not stored\n");
}

// -o into a new nested folder (a backslash between folders) makes every folder of it.
TEST_F(Scene, ExtractIntoANewNestedFolderMakesItAndFillsIt) {
    expect_qartool(dir.path, {"-o", "out/deep\\er", "x", "game.qar", "a.txt"}, 0, "a.txt\n", "");
    EXPECT_EQ("alpha", read_file(dir.file("out/deep/er/a.txt")));
}

TEST_F(Scene, ExtractReplacesALinkAtTheDestinationNotFollowsIt) {
    fs::remove(dir.file("a.txt"));
    if (!make_symlink("plain", dir.file("a.txt")))
        GTEST_SKIP() << "this system makes no symbolic links";
    expect_qartool(dir.path, {"x", "game.qar", "a.txt"}, 0, "a.txt\n", "");
    EXPECT_EQ("a file in the way", read_file(dir.file("plain"))) << "written through the link";
    EXPECT_EQ("alpha", read_file(dir.file("a.txt")));
}

TEST_F(Scene, AFileReplacedByExtractKeepsItsPermissionBits) {
    if (!set_permissions(dir.file("a.txt"), 0750))
        GTEST_SKIP() << "this system keeps no permission bits";
    expect_qartool(dir.path, {"x", "game.qar", "a.txt"}, 0, "a.txt\n", "");
    EXPECT_EQ("alpha", read_file(dir.file("a.txt")));
    EXPECT_EQ(0750, permissions(dir.file("a.txt"))) << "the replaced file's mode was not kept";
}

TEST_F(Scene, ACompactedArchiveKeepsItsPermissionBits) {
    if (!set_permissions(dir.file("game.qar"), 0640))
        GTEST_SKIP() << "this system keeps no permission bits";
    expect_qartool(dir.path, {"c", "game.qar"}, 0,
                   "3 records, 3647 bytes before, 3647 bytes after\n", "");
    EXPECT_EQ(0640, permissions(dir.file("game.qar")));
}

// A record of 1 GiB (stored as it is, in a sparse file) where the process may map 256 MiB.
TEST_F(Scene, ExtractRunningOutOfMemoryEndsWithStatus107) {
    if (memory_limit_missing() != nullptr || !file_exists("/usr/bin/prlimit"))
        GTEST_SKIP() << "no limit on a child's memory here";
    write_file(dir.file("huge.qar"), raw_archive(0, {{"huge", 3632, 0, 1u << 30, 0, 0}}, ""));
    fs::resize_file(dir.file("huge.qar"), 3632 + (uintmax_t(1) << 30));
    const ProcessResult r = run_process(
        {"/usr/bin/prlimit", "--as=268435456", QARTOOL_PATH, "-j", "0", "x", "huge.qar"}, dir.path);
    EXPECT_EQ(107, r.status) << r.err;
    EXPECT_EQ("ERROR: out of memory\n", r.err);
    EXPECT_FALSE(file_exists(dir.file("huge"))) << "a part of the record was written";
}

}  // namespace
