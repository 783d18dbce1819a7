// The pattern matcher and the time stamp through the library; the commands by
// running the built program in scratch directories on archives laid out by hand.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "qar_bytes.h"
#include "run_qartool.h"
#include "test_support.h"
#include "wildcard.h"

namespace {

// The pattern is copied into a buffer of its exact size, so that a read past
// its end shows under the sanitizer.
bool matches(const char* name, const char* pattern,
             int (*matcher)(const char*, const char*) = wildcard_match) {
    std::vector<char> exact(pattern, pattern + strlen(pattern) + 1);
    return matcher(name, exact.data()) == 1;
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

bool matches_nocase(const char* name, const char* pattern) {
    return matches(name, pattern, wildcard_match_nocase);
}

// The commands' patterns: "*.DEF" finds the stored "a.def".
TEST(WildcardNoCase, ALetterMatchesEitherCase) {
    EXPECT_TRUE(matches_nocase("a.def", "*.DEF"));
    EXPECT_TRUE(matches_nocase("apint.h", "APInt.h"));
    EXPECT_TRUE(matches_nocase("a", "\\A")) << "an escaped letter matches either case";
    EXPECT_FALSE(matches_nocase(".def", "*.DEF")) << "the leading dot rule still holds";
}

// A set holds a letter when it holds either case of it; its ranges keep their bounds.
TEST(WildcardNoCase, SetsHoldALetterInEitherCase) {
    EXPECT_TRUE(matches_nocase("b", "[A-C]"));
    EXPECT_FALSE(matches_nocase("Ax", "[!a]x")) << "a negated set must reject both cases";
    EXPECT_TRUE(matches_nocase("[", "[Z-a]"));
    EXPECT_FALSE(matches_nocase("b", "[Z-a]")) << "the range Z-a does not hold b or B";
}

const std::string USAGE = std::string("Korvath qartool utility (Jul 15 2014)\n\nUsage: ") +
    QARTOOL_PATH + " <options> <command> <qar_name> [<file_names>...]\n\n"
    "Options\n  -p <password>: encrypt using a password\n"
    "  -k <number>: use this key (0 to 4294967295) instead of a password\n"
    "  -o <folder>: extract into this folder (made when missing)\n"
    "  -n: extract never replaces a file that exists\n"
    "  -x <pattern>: leave out files, folders and records whose name matches\n"
    "  -z: c also compresses the records stored uncompressed\n"
    "  @<file>: where a name or pattern goes, the names in <file>, one a line\n"
    "  -d: mount goes on in the background once mounted\n"
    "The password or key masks the records; it does not encrypt them: anyone\n"
    "holding the qar can read it.\n\n"
    "Commands\n  a: Add files to qar\n  d: Delete files from qar\n  x: Extract files from qar\n"
    "  l: List contents of qar\n  u: Update files in qar\n  t: Test files in qar\n"
    "  c: Compact qar\n"
    "  s: Sync qar with files: add new, replace changed, keep the rest\n"
    "  m: Mount qar read-only at an empty folder (Linux; -d detaches)\n"
    "Commands may also be given as words: add, delete, extract, list, update,\n"
    "test, compact, sync, mount.\n\n"
    "The c command reclaims the space that Delete and Update leave in the qar.\n"
    "\nExit status: 0 all done; 1 could not run, nothing changed; 2 ran, but some\n"
    "files or records were not done (each named on stderr); 107 out of memory.\n";

TEST(QartoolCli, WithoutArgumentsOrWithAHelpOptionPrintsTheUsage) {
    TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"-h"}, {"--help", "x", "q"}, {"/?"}, {"-?"}})
        expect_qartool(dir.path, args, 0, USAGE, "");
}

// A lone argument still shows the usage text, as it always did.
TEST(QartoolCli, ACommandWithoutItsArchiveEndsOne) {
    TempDir dir;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"l"}, USAGE}, {{"extract"}, USAGE}, {{"x", ""}, ""}, {{"-p", "pw", "l"}, ""}};
    for (const auto& [args, out] : cases)
        expect_qartool(dir.path, args, 1, out, "ERROR: no qar file specified\n");
    EXPECT_EQ("", list_directory(dir.path)) << "a file was created";
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
    expect_refused({"-q", "l", "q"}, "unknown option \"-q\"");
}

TEST(QartoolCli, AddUpdateAndDeleteNeedFileArguments) {
    expect_refused({"a", "q"}, "no files specified to add");
    expect_refused({"d", "q"}, "no files specified to delete");
    expect_refused({"u", "q"}, "no files specified to update");
}

TEST(QartoolCli, UpdateAndDeleteNeverCreateAnArchive) {
    const std::string missing =
        "could not open qar \"q\" for write\nERROR: no such file or directory";
    expect_refused({"u", "q", "*"}, missing);
    expect_refused({"d", "q", "*"}, missing);
}

TEST(QartoolCli, EveryCommandRefusesAKeyMismatchAndLeavesTheArchive) {
    TempDir dir;
    const std::string open = raw_archive(0, {}, "");
    const std::string locked = raw_archive(password_key("secret"), {}, "");
    write_file(dir.file("open.qar"), open);
    write_file(dir.file("locked.qar"), locked);
    write_file(dir.file("f"), "abc");
    const char* protected_qar = "the qar file is protected: give its password with -p";
    const char* open_qar = "the qar file is not protected: give no -p or -k";
    const std::pair<std::vector<std::string>, const char*> commands[] = {
        {{"a", "locked.qar", "f"}, protected_qar},
        {{"-p", "wrong", "x", "locked.qar"}, "wrong password or key"},
        {{"-k", "1", "d", "open.qar", "*"}, open_qar},
        {{"-k", "1", "u", "open.qar", "f"}, open_qar},
        {{"-k", "1", "l", "open.qar"}, open_qar}};
    for (const auto& [args, why] : commands) {
        SCOPED_TRACE(args[args.size() > 2 && args[0][0] == '-' ? 2 : 0] + " command");
        expect_qartool(dir.path, args, 1, "",
                       "ERROR: key does not match the qar file\nERROR: " + std::string(why) + "\n");
    }
    EXPECT_EQ(open, read_file(dir.file("open.qar"))) << "an archive was changed";
    EXPECT_EQ(locked, read_file(dir.file("locked.qar"))) << "an archive was changed";
}

// Blanks and a sign in front, and every value of 32 bits, give the keys they always gave.
TEST(QartoolCli, KeyOptionTakesADecimalNumberOfThirtyTwoBits) {
    TempDir dir;
    write_file(dir.file("f"), "abc");
    const std::pair<std::string, uint32_t> keys[] = {
        {"4294967295", 0xFFFFFFFFu}, {"-1", 0xFFFFFFFFu}, {" +7", 7}, {"5", 5}};
    for (const auto& [key, stored] : keys) {
        expect_qartool(dir.path, {"-k", key, "a", key + ".qar", "f"}, 0, "file: f\n", "");
        EXPECT_EQ(raw_header(1, stored), read_file(dir.file(key + ".qar")).substr(0, 28))
            << "-k " << key;
    }
}

TEST(QartoolCli, KeyOptionRefusesAnythingButADecimalNumberOfThirtyTwoBits) {
    const std::string range = "\" is not a decimal number from 0 to 4294967295";
    for (const char* key : {"abc", "0x1234", "12x", "", "4294967296"})
        expect_refused({"-k", key, "a", "q", "f"}, "key \"" + std::string(key) + range);
}

TEST(QartoolCli, AnEmptyPasswordIsRefused) {
    expect_refused({"-p", "", "a", "q", "f"}, "empty password");
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

// One command of the status tables: its arguments and what it must end with.
struct StatusCase {
    std::vector<std::string> args;
    int status;
    std::string out, err;
};

// A folder to run each case in: game.qar holds a.txt, b.def and c.txt (a folder of that
// name blocks its extraction); odd.qar holds "lost", whose slot lies beyond the tables.
void lay_out_status_scene(const TempDir& dir) {
    write_file(dir.file("game.qar"), raw_archive(0, {{"a.txt", 3632, 0, 5, 1408098600u, 0},
                                                     {"b.def", 3637, 1, 5, 1408098600u, 0},
                                                     {"c.txt", 3642, 2, 5, 1408098600u, 0}},
                                                 "alphabravocharl"));
    write_file(dir.file("odd.qar"),
               raw_archive(0, {{"lost", 3632, 777, 1, 0, 0}, {"ok", 3632, 1, 1, 0, 0}}, "x"));
    write_file(dir.file("notqar.txt"), "plain text, no archive at all\n");
    write_file(dir.file("new.txt"), "new");
    write_file(dir.file("a.txt"), "on disk");
    std::filesystem::create_directories(dir.file("sub"));
    std::filesystem::create_directories(dir.file("c.txt"));
    std::filesystem::create_directories(dir.file("odd"));
    write_file(dir.file("sub/deep.txt"), "deep");
}

// Every file below the folder with its bytes ("/" for a folder).
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& f : std::filesystem::recursive_directory_iterator(root))
        files[f.path().string()] = f.is_directory() ? "/" : read_file(f.path().string());
    return files;
}

void expect_cases(const std::vector<StatusCase>& cases) {
    for (const StatusCase& c : cases) {
        TempDir dir;
        lay_out_status_scene(dir);
        const auto before = snapshot(dir.path);
        std::string shown;
        for (const std::string& a : c.args) shown += " " + a;
        SCOPED_TRACE("qartool" + shown);
        expect_qartool(dir.path, c.args, c.status, c.out, c.err);
        if (c.status == 1) {
            EXPECT_TRUE(before == snapshot(dir.path))
                << "a command that could not run changed files";
        }
    }
}

TEST(QartoolStatus, ACommandThatDidAllItWasAskedEndsZero) {
    expect_cases({
        {{"a", "game.qar", "sub/."}, 0, "dir: .\nfile: deep.txt\n", ""},
        {{"x", "game.qar", "*.DEF"}, 0, "b.def\n", ""},
        {{"d", "game.qar", "A.TXT"}, 0, "a.txt\n", ""},
    });
}

TEST(QartoolStatus, ACommandThatLeftPartUndoneNamesEachPartAndEndsTwo) {
    const std::string not_found =
        "ERROR: no record in qar \"game.qar\" matches \"nosuch\", nothing ";
    expect_cases({
        {{"a", "game.qar", "nosuch.txt", "*.zip"}, 2, "",
         "\"nosuch.txt\": no such file or directory, nothing stored\n"
         "\"*.zip\": no file matches, nothing stored\nqartool: 2 of 2 files not stored\n"},
        {{"x", "game.qar"}, 2, "a.txt\nb.def\n",
         "ERROR: could not write to file \"c.txt\"\nERROR: " + std::string(std::strerror(EISDIR)) +
             "\nqartool: 1 of 3 records not extracted\n"},
        {{"x", "game.qar", "*.def", "nosuch"}, 2, "b.def\n",
         not_found + "extracted\nqartool: 1 of 2 records not extracted\n"},
        {{"d", "game.qar", "nosuch"}, 2, "",
         not_found + "deleted\nqartool: 1 of 1 records not deleted\n"},
        {{"d", "odd.qar", "*"}, 2, "ok\n",
         "ERROR: could not delete \"lost\" from qar \"odd.qar\"\n"
         "ERROR: could not read dtable 7 of file \"odd.qar\"\n"
         "qartool: 1 of 2 records not deleted\n"},
    });
}

TEST(QartoolStatus, AFileWhoseNameCouldNeverBeExtractedIsNotStored) {
    TempDir dir;
    lay_out_status_scene(dir);
    try {
        write_file(dir.file("odd/bell\a"), "ring");
    } catch (const std::exception&) {
        GTEST_SKIP() << "this system takes no control character in a file name";
    }
    expect_qartool(dir.path, {"a", "game.qar", "odd"}, 2, "dir: odd\nfile: bell?\n",
                   "\"bell?\": a name that could not be extracted again, not stored\n"
                   "qartool: 1 of 1 files not stored\n");
}

TEST(QartoolStatus, ACommandThatCouldNotRunSaysWhyEndsOneAndChangesNothing) {
    const std::string invalid = "ERROR: invalid header in file \"notqar.txt\"\n";
    expect_cases({
        {{"l", "nosuch.qar"}, 1, "",
         "ERROR: could not open qar \"nosuch.qar\" for read\n"
         "ERROR: could not open file \"nosuch.qar\": No such file or directory\n"},
        {{"a", "notqar.txt", "new.txt"}, 1, "",
         "ERROR: could not open qar \"notqar.txt\" for write\n" + invalid},
    });
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
                              "game.qar", "data\\"}, 2,
        "file: a.txt\nfile: a.txt\nfile: empty.txt\nfile: game.qar\ndir: data\ndir: sub\n"
        "file: Noise.BIN\n",
        std::string("\"a.txt\": same record name \"a.txt\" as \"a.txt\", not stored\n"
                    "\"empty.txt\": empty file, not stored\n"
                    "\"game.qar\": the qar file itself is not stored\n") +
        (looped ? "\"up\": directory already walked (a link loop?), skipped\n" : "") +
        "qartool: 3 of 5 files not stored\n",
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
    expect_qartool(dir.path, {"-k", "77", "u", "game.qar", "a.txt", "new.txt"}, 2,
                   "file: a.txt\nfile: new.txt\n",
                   "\"new.txt\": could not find old record \"new.txt\" in file \"game.qar\"\n"
                   "qartool: 1 of 2 files not stored\n");
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

const std::string ONE_NOT_EXTRACTED = "qartool: 1 of 1 records not extracted\n";

TEST(Extract, ANameThatIsNoPlainFileNameIsRefused) {
    for (const char* name : {"../evil", "a/b", "..", "a\\b"}) {
        Extraction x({{name, 3632, 0, 3, 0, 0}});
        EXPECT_EQ(x.run.err, "ERROR: not extracting \"" + std::string(name) +
                                 "\": not a plain file name\n" + ONE_NOT_EXTRACTED);
        EXPECT_EQ(x.files(), std::vector<std::string>{"game.qar"}) << name;
        EXPECT_EQ(std::filesystem::directory_iterator(x.root.path)->path().filename(), "work");
    }
}

TEST(Extract, NeverOverTheArchiveBeingRead) {
    Extraction x({{"game.qar", 3632, 0, 3, 0, 0}});
    EXPECT_EQ(x.run.err, "ERROR: not extracting \"game.qar\" over the qar file being read\n" +
                             ONE_NOT_EXTRACTED);
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
    EXPECT_EQ(x.run.err,
              "ERROR: could not read \"broken\" from qar \"" + x.qar + "\"\n"
              "ERROR: error -4 during compression library operation: input overrun\n" +
                  ONE_NOT_EXTRACTED)
        << "the reason the record could not be read is not the decoder's";
    EXPECT_EQ(read_file(x.work + "/broken"), "previous");
    EXPECT_EQ(x.files(), (std::vector<std::string>{"broken", "game.qar"})) << "a temporary file stayed";
}

// A record of 1 GiB (stored as it is, in a sparse file) where the process may map 256 MiB.
TEST(Extract, RunningOutOfMemoryEndsWithStatus107) {
    if (memory_limit_missing() != nullptr || !file_exists("/usr/bin/prlimit"))
        GTEST_SKIP() << "no limit on a child's memory here";
    TempDir dir;
    write_file(dir.file("huge.qar"), raw_archive(0, {{"huge", 3632, 0, 1u << 30, 0, 0}}, ""));
    std::filesystem::resize_file(dir.file("huge.qar"), 3632 + (uintmax_t(1) << 30));
    const ProcessResult r = run_process(
        {"/usr/bin/prlimit", "--as=268435456", QARTOOL_PATH, "-j", "0", "x", "huge.qar"}, dir.path);
    EXPECT_EQ(107, r.status) << r.err;
    EXPECT_EQ("ERROR: out of memory\n", r.err);
    EXPECT_FALSE(file_exists(dir.file("huge"))) << "a part of the record was written";
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
