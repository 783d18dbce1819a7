// The pattern matcher and the time stamp through the library; the commands by
// running the built program in scratch directories on archives laid out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "gather.h"
#include "qar_bytes.h"
#include "test_support.h"
#include "wildcard.h"

namespace {

// The pattern is copied into a buffer of its exact size, so that a read past
// its end shows under the sanitizer.
bool matches(const char* name, const char* pattern) {
    std::vector<char> exact(pattern, pattern + strlen(pattern) + 1);
    return wildcard_match(name, exact.data()) == 1;
}

TEST(Wildcard, StarMatchesAnyRunOfCharacters) {
    EXPECT_TRUE(matches("a.txt", "*.txt"));
    EXPECT_TRUE(matches("x.y.txt", "*.txt")) << "the star must reach past an earlier dot";
    EXPECT_TRUE(matches("", "*"));
    EXPECT_TRUE(matches("abcbc", "*b*c"));
    EXPECT_FALSE(matches("abcbd", "*b*c"));
    EXPECT_FALSE(matches("ba", "a*"));
}

TEST(Wildcard, CaseMatters) {
    EXPECT_FALSE(matches("a.TXT", "*.txt"));
}

TEST(Wildcard, QuestionMarkMatchesExactlyOneCharacter) {
    EXPECT_TRUE(matches("a", "?"));
    EXPECT_FALSE(matches("", "?"));
    EXPECT_FALSE(matches("ab", "?"));
}

TEST(Wildcard, TwoStarsInARowNeedOneCharacter) {
    EXPECT_TRUE(matches("ab", "a**"));
    EXPECT_FALSE(matches("a", "a**"));
}

TEST(Wildcard, OnlyALiteralDotMatchesALeadingDot) {
    EXPECT_FALSE(matches(".a", "*"));
    EXPECT_FALSE(matches(".abc", "?abc"));
    EXPECT_TRUE(matches(".abc", "[.]abc"));
    EXPECT_TRUE(matches(".abc", "\\.abc"));
}

TEST(Wildcard, SetsAndRanges) {
    EXPECT_TRUE(matches("c", "[ac]"));
    EXPECT_FALSE(matches("b", "[ac]"));
    EXPECT_TRUE(matches("bx", "[a-c]x"));
    EXPECT_FALSE(matches("dx", "[a-c]x"));
    EXPECT_TRUE(matches("dx", "[!a-c]x"));
    EXPECT_FALSE(matches("bx", "[!a-c]x"));
}

TEST(Wildcard, OddSetsFollowTheirOwnRules) {
    EXPECT_FALSE(matches("-", "[-a]")) << "a leading '-' makes a range that holds nothing";
    EXPECT_FALSE(matches("]x", "[]x")) << "an empty set matches nothing";
    EXPECT_TRUE(matches("]x", "[!]x"));
    EXPECT_TRUE(matches("x", "[a-]x]")) << "a range may end in ']'";
}

TEST(Wildcard, ASetLeftOpenMatchesNothing) {
    for (const char* pattern : {"[", "[!", "[a", "[a-", "*[ab"})
        EXPECT_FALSE(matches("a", pattern)) << pattern;
}

TEST(Wildcard, BackslashTakesTheNextCharacterLiterally) {
    EXPECT_TRUE(matches("*", "\\*"));
    EXPECT_FALSE(matches("a", "\\*"));
    EXPECT_TRUE(matches("a\\", "a\\\\"));
    EXPECT_FALSE(matches("a\\", "a\\")) << "a trailing backslash escapes nothing";
}

// A date is stored as the instant one month later; the listing shows how it reads back.
TEST(TimeStamp, StoredAsTheInstantOneMonthLater) {
    EXPECT_EQ(1408098600u, encode_time_stamp({2014, 7, 15, 10, 30, 0}));
}

TEST(TimeStamp, JanuaryThirtyFirstRollsIntoMarch) {
    EXPECT_EQ(1393848000u, encode_time_stamp({2014, 1, 31, 12, 0, 0}));  // 2014-03-03 12:00
}

TEST(TimeStamp, DecemberMovesIntoTheNextYear) {
    EXPECT_EQ(1422086400u, encode_time_stamp({2014, 12, 24, 8, 0, 0}));  // 2015-01-24 08:00
}

TEST(TimeStamp, BeforeNineteenSeventyIsAllOnes) {
    EXPECT_EQ(0xFFFFFFFFu, encode_time_stamp({1969, 11, 30, 23, 59, 59}));
}

ProcessResult qartool(const std::string& cwd, std::vector<std::string> args,
                      const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), QARTOOL_PATH);
    return run_process(args, cwd, "", env);
}

// Runs the built program in cwd; compares its status and both outputs whole.
void expect_qartool(const std::string& cwd, const std::vector<std::string>& args, int status,
                    const std::string& out, const std::string& err,
                    const std::vector<std::string>& env = {}) {
    const ProcessResult r = qartool(cwd, args, env);
    EXPECT_EQ(status, r.status) << "exit status";
    EXPECT_EQ(out, r.out) << "standard output";
    EXPECT_EQ(err, r.err) << "standard error";
}

const std::string USAGE = std::string("Korvath qartool utility (Jul 15 2014)\n\nUsage: ") +
    QARTOOL_PATH + " <options> <command> <qar_name> [<file_names>...]\n\n"
    "Options\n  -p <password>: encrypt using a password\n\n"
    "Commands\n  a: Add files to qar\n  d: Delete files from qar\n  x: Extract files from qar\n"
    "  l: List contents of qar\n  u: Update files in qar\n\n"
    "Delete and Update commands currently leave the original file data in the qar,\n"
    "wasting space.  The only way to compact a qar is to extract all files into a\n"
    "temporary directory and build a new qar from them.  Sorry!\n";

TEST(QartoolCli, WithoutArgumentsPrintsTheUsage) {
    TempDir dir;
    expect_qartool(dir.path, {}, 0, USAGE, "");
}

TEST(QartoolCli, ACommandWithoutArchivePrintsTheUsage) {
    TempDir dir;
    expect_qartool(dir.path, {"l"}, 0, USAGE, "");
}

// A command line that cannot run: status 1, one message, no archive made.
void expect_refused(const std::vector<std::string>& args, const std::string& message) {
    TempDir dir;
    expect_qartool(dir.path, args, 1, "", "ERROR: " + message + "\n");
    EXPECT_FALSE(file_exists(dir.file("q"))) << "an archive was created";
}

TEST(QartoolCli, OptionsWithoutCommandAreRefused) {
    expect_refused({"-p", "secret"}, "no command specified");
}

TEST(QartoolCli, ACommandWithoutArchiveAfterAnOptionIsRefused) {
    expect_refused({"-k", "5", "l"}, "no qar file specified");
}

TEST(QartoolCli, AnUnknownCommandIsRefused) {
    expect_refused({"Q", "q", "x"}, "unknown command \"Q\"");
}

TEST(QartoolCli, AnUnknownOptionIsRefused) {
    expect_refused({"-z", "l", "q"}, "unknown option \"-z\"");
}

TEST(QartoolCli, AddUpdateAndDeleteNeedFileArguments) {
    expect_refused({"a", "q"}, "no files specified to add");
    expect_refused({"d", "q"}, "no files specified to delete");
    expect_refused({"u", "q"}, "no files specified to update");
}

TEST(QartoolCli, UpdateAndDeleteNeverCreateAnArchive) {
    expect_refused({"u", "q", "*"}, "could not open qar \"q\" for write");
    expect_refused({"d", "q", "*"}, "could not open qar \"q\" for write");
}

TEST(QartoolCli, EveryCommandRefusesAKeyMismatchAndLeavesTheArchive) {
    TempDir dir;
    const std::string open = raw_archive(0, {}, "");
    const std::string locked = raw_archive(password_key("secret"), {}, "");
    write_file(dir.file("open.qar"), open);
    write_file(dir.file("locked.qar"), locked);
    write_file(dir.file("f"), "abc");
    const std::vector<std::string> commands[] = {
        {"a", "locked.qar", "f"}, {"-p", "wrong", "x", "locked.qar"},
        {"-k", "1", "d", "open.qar", "*"}, {"-k", "1", "u", "open.qar", "f"},
        {"-k", "1", "l", "open.qar"}};
    for (const auto& args : commands) {
        SCOPED_TRACE(args[args.size() > 2 && args[0][0] == '-' ? 2 : 0] + " command");
        expect_qartool(dir.path, args, 1, "", "ERROR: key does not match the qar file\n");
    }
    EXPECT_EQ(open, read_file(dir.file("open.qar"))) << "an archive was changed";
    EXPECT_EQ(locked, read_file(dir.file("locked.qar"))) << "an archive was changed";
}

// -k is read like strtoul and clamped to 32 bits.
TEST(QartoolCli, KeyOptionIsClampedToThirtyTwoBits) {
    TempDir dir;
    write_file(dir.file("f"), "abc");
    const std::pair<std::string, uint32_t> keys[] = {
        {"99999999999", 0xFFFFFFFFu}, {"-1", 0xFFFFFFFFu}, {"5", 5}};
    for (const auto& [key, stored] : keys) {
        expect_qartool(dir.path, {"-k", key, "a", key + ".qar", "f"}, 0, "file: f\n", "");
        EXPECT_EQ(raw_header(1, stored), read_file(dir.file(key + ".qar")).substr(0, 28))
            << "-k " << key;
    }
}

// What an add killed right after creating the archive leaves.
TEST(QartoolCli, AddTurnsAnEmptyFileInTheArchivesPlaceIntoTheArchive) {
    TempDir dir;
    write_file(dir.file("f"), "abc");
    write_file(dir.file("e.qar"), "");
    expect_qartool(dir.path, {"a", "e.qar", "f"}, 0, "file: f\n", "");
    EXPECT_EQ(raw_header(1, 0), read_file(dir.file("e.qar")).substr(0, 28));
}

// A trailing ".*" also matches a name without a dot, as "*.*" does on Windows.
TEST(QartoolCli, AddPatternStarDotStarTakesNamesWithoutADot) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("src"));
    write_file(dir.file("src/readme"), "no dot");
    const ProcessResult add = qartool(dir.path, {"a", "g.qar", "src/*.*"});
    EXPECT_EQ(add.out, "file: readme\n") << add.err;
    ASSERT_EQ(raw_entries(read_file(dir.file("g.qar"))).size(), 1u);
    EXPECT_EQ(raw_entries(read_file(dir.file("g.qar")))[0].name, "readme");
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
    std::filesystem::create_directories(dir.file("data/sub"));
    write_file(dir.file("a.txt"), std::string(3000, 't'));
    write_file(dir.file("empty.txt"), "");
    write_file(dir.file("data/sub/Noise.BIN"), "0123456789");
    const bool looped = make_symlink("..", dir.file("data/sub/up"));
    set_write_time(dir.file("a.txt"), 1419408000);  // 2014-12-24 08:00 UTC
    set_write_time(dir.file("data/sub/Noise.BIN"), 1419408000);
    expect_qartool(dir.path, {"-p", "secret", "a", "game.qar", "a.txt", "a.txt", "empty.txt",
                              "game.qar", "data\\"}, 0,
        "file: a.txt\nfile: a.txt\nfile: empty.txt\nfile: game.qar\ndir: data\ndir: sub\n"
        "file: Noise.BIN\n",
        std::string("\"a.txt\" already exists\n\"empty.txt\": empty file, not stored\n"
                    "\"game.qar\": the qar file itself is not stored\n") +
        (looped ? "\"up\": directory already walked (a link loop?), skipped\n" : ""),
        {"TZ=XST-9"});
    std::string b = read_file(dir.file("game.qar"));
    EXPECT_EQ(raw_header(2, password_key("secret")), b.substr(0, 28));
    for (const RawEntry& r : raw_entries(b))
        EXPECT_EQ(1422086400u, r.time) << r.name << " stored as 2015-01-24 08:00";
    expect_qartool(out.path, {"-p", "secret", "x", dir.file("game.qar")}, 0,
                   "a.txt\nnoise.bin\n", "", {"TZ=XST-9"});
    EXPECT_EQ(read_file(dir.file("a.txt")), read_file(out.file("a.txt")));
    EXPECT_EQ("0123456789", read_file(out.file("noise.bin")));
    EXPECT_EQ(1419408000, write_time(out.file("a.txt")));
    EXPECT_EQ(1419408000, write_time(out.file("noise.bin")));
}

TEST(QartoolCli, UpdateStoresUncompressed) {
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
    EXPECT_EQ(0u, e[0].flags) << "stored as it is";
    EXPECT_EQ(1500u, e[0].stored_size);
    expect_qartool(out.path, {"-k", "77", "x", dir.file("game.qar")}, 0, "a.txt\n", "");
    EXPECT_EQ(text, read_file(out.file("a.txt")));
}

// Each pattern in turn, its matches in name order; records sharing a name are each marked.
TEST(QartoolCli, DeleteMarksEachMatchPatternByPatternInNameOrder) {
    TempDir dir;
    write_file(dir.file("d.qar"), raw_archive(0, {{"c.t", 3632, 0, 1, 0, 0},
        {"a.t", 3632, 1, 1, 0, 0}, {"b.d", 3632, 2, 1, 0, 0}, {"a.t", 3632, 3, 1, 0, 0}}, "x"));
    expect_qartool(dir.path, {"d", "d.qar", "c*", "*.t"}, 0, "c.t\na.t\na.t\nc.t\n", "");
    for (const RawEntry& r : raw_entries(read_file(dir.file("d.qar"))))
        EXPECT_EQ(r.name == "b.d" ? 0u : 1u, r.flags) << r.name << " #" << r.index;
}

// Extracts an archive of the given entries, with data "NEW", in a directory of its own.
struct Extraction {
    TempDir root;
    std::string work = root.file("work");
    std::string qar = work + "/game.qar";
    ProcessResult run;
    bool ready = true;  // false when the system cannot lay out what the test needs
    explicit Extraction(const std::vector<RawEntry>& entries, bool (*prepare)(Extraction&) = nullptr) {
        std::filesystem::create_directory(work);
        write_file(qar, raw_archive(0, entries, "NEW"));
        if (prepare) ready = prepare(*this);
        if (ready) run = qartool(work, {"x", qar});
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& f : std::filesystem::directory_iterator(work))
            names.push_back(f.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST(Extract, ANameWithDotsOrSlashesIsRefused) {
    for (const char* name : {"../evil", "a/b", ".."}) {
        Extraction x({{name, 3632, 0, 3, 0, 0}});
        EXPECT_EQ(x.run.err, "ERROR: not extracting \"" + std::string(name) +
                                 "\": not a plain file name\n");
        EXPECT_EQ(x.files(), std::vector<std::string>{"game.qar"}) << name;
        EXPECT_EQ(std::filesystem::directory_iterator(x.root.path)->path().filename(), "work");
    }
}

TEST(Extract, ANameWithABackslashIsRefused) {
    Extraction x({{"a\\b", 3632, 0, 3, 0, 0}});
    EXPECT_EQ(x.run.err, "ERROR: not extracting \"a\\b\": not a plain file name\n");
    EXPECT_EQ(x.files(), std::vector<std::string>{"game.qar"}) << "a file was written";
}

TEST(Extract, NeverOverTheArchiveBeingRead) {
    Extraction x({{"game.qar", 3632, 0, 3, 0, 0}});
    EXPECT_EQ(x.run.err, "ERROR: not extracting \"game.qar\" over the qar file being read\n");
    EXPECT_EQ(read_file(x.qar), raw_archive(0, {{"game.qar", 3632, 0, 3, 0, 0}}, "NEW"));
}

TEST(Extract, ALinkAtTheDestinationIsReplacedNotFollowed) {
    Extraction x({{"out.txt", 3632, 0, 3, 0, 0}}, [](Extraction& e) {
        write_file(e.root.file("victim"), "keep me");
        return make_symlink("../victim", e.work + "/out.txt");
    });
    if (!x.ready) GTEST_SKIP() << "this system makes no symbolic links";
    EXPECT_EQ(x.run.out, "out.txt\n");
    EXPECT_EQ(read_file(x.root.file("victim")), "keep me") << "written through the link";
    EXPECT_EQ(read_file(x.work + "/out.txt"), "NEW");
}

TEST(Extract, ARecordThatFailsToDecodeLeavesTheOldFile) {
    Extraction x({{"broken", 3632, 0, 3, 0, (100u << 8) | 2}},
                 [](Extraction& e) {
                     write_file(e.work + "/broken", "previous");
                     return true;
                 });
    EXPECT_EQ(x.run.err, "ERROR: could not read \"broken\" from qar \"" + x.qar + "\"\n");
    EXPECT_EQ(read_file(x.work + "/broken"), "previous");
    EXPECT_EQ(x.files(), (std::vector<std::string>{"broken", "game.qar"})) << "a temporary file stayed";
}

TEST(Extract, AReplacedFileKeepsItsPermissionBits) {
    Extraction x({{"tool.sh", 3632, 0, 3, 0, 0}}, [](Extraction& e) {
        write_file(e.work + "/tool.sh", "old");
        return set_permissions(e.work + "/tool.sh", 0750);
    });
    if (!x.ready) GTEST_SKIP() << "this system keeps no permission bits";
    EXPECT_EQ(read_file(x.work + "/tool.sh"), "NEW");
    EXPECT_EQ(permissions(x.work + "/tool.sh"), 0750) << "the replaced file's mode was not kept";
}

}  // namespace
