// Every call of the platform layer during a whole run of a writing command
// fails in turn: the nth open, read, write, flush, rename, close or lock, for
// every n the run reaches. After each, the work done before the failure must
// be there byte for byte and nothing else changed; a run that did not do all
// of its work must say so (non-zero status, a message naming the operation or
// giving the system's reason), and a plain rerun must complete it.
// The same walk also stops the run at each call, as Ctrl+C or a termination
// request would: nothing half-written may stay behind.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform.h"
#include "qar_bytes.h"
#include "test_support.h"

namespace {

using Files = std::map<std::string, std::string>;  // path below the folder -> bytes

// Every file below dir, by its path relative to dir.
Files files_below(const std::string& dir) {
    Files files;
    for (const auto& f : std::filesystem::recursive_directory_iterator(dir))
        if (f.is_regular_file())
            files[std::filesystem::relative(f.path(), dir).generic_string()] = read_file(f.path().string());
    return files;
}

// The records of an archive as the plain tool lists and extracts them; empty
// when there is no archive.
Files extracted(const std::string& dir, const std::string& archive) {
    if (!file_exists(dir + "/" + archive)) return {};
    const ProcessResult list = run_process({QARTOOL_PATH, "l", archive}, dir);
    EXPECT_EQ(list.status, 0) << "the archive does not list: " << list.err;
    TempDir out;
    const ProcessResult x = run_process({QARTOOL_PATH, "x", dir + "/" + archive}, out.path);
    EXPECT_EQ(x.status, 0) << "the archive does not extract: " << x.err;
    return files_below(out.path);
}

// A writing command, the folder it starts from, and what its target holds
// before and after the run. Each record (each table) is one piece of work.
struct Scenario {
    std::string tool, plain;
    std::vector<std::string> args;
    std::string target;  // the archive or table the command writes
    bool archive;        // target read by listing and extracting it
    Files start;         // every file of the folder before the run
    Files before, after; // the target's records (or the table) before and after
    // When not empty: the target's bytes before the run and after it. A run that
    // only rearranges what the target holds (a compaction keeps every record)
    // must leave one or the other, byte for byte.
    std::string whole_before = {};
    std::string whole_after = {};
};

// The target is the file as it was or as the run makes it, byte for byte; after
// a run that ended 0, as the run makes it.
void expect_whole_before_or_after(const Scenario& s, const std::string& dir, bool done) {
    if (s.whole_before.empty()) return;
    const std::string now = read_file(dir + "/" + s.target);
    if (done) {
        EXPECT_TRUE(now == s.whole_after) << "the run ended 0, yet " << s.target
                                          << " is not the file it makes";
        return;
    }
    EXPECT_TRUE(now == s.whole_before || now == s.whole_after)
        << s.target << " is neither the file before the run nor the one it makes ("
        << now.size() << " bytes; " << s.whole_before.size() << " before, "
        << s.whole_after.size() << " after)";
}

// Each piece is as it was before or as the run makes it, nothing else.
bool pieces_before_or_after(const Scenario& s, const Files& state) {
    std::set<std::string> names;
    for (const Files* f : {&s.before, &s.after, &state})
        for (const auto& entry : *f) names.insert(entry.first);
    auto value = [](const Files& f, const std::string& name) {
        auto at = f.find(name);
        return at == f.end() ? std::string("(none)") : "=" + at->second;
    };
    for (const std::string& name : names) {
        const std::string now = value(state, name);
        if (now != value(s.before, name) && now != value(s.after, name)) return false;
    }
    return true;
}

// What the target holds: the records of an archive, or the table's bytes.
Files target_state(const Scenario& s, const std::string& dir) {
    if (s.archive) return extracted(dir, s.target);
    if (!file_exists(dir + "/" + s.target)) return {};
    return {{s.target, read_file(dir + "/" + s.target)}};
}

void lay_out(const std::string& dir, const Files& files) {
    for (const auto& [path, bytes] : files) {
        std::filesystem::create_directories(std::filesystem::path(dir + "/" + path).parent_path());
        write_file(dir + "/" + path, bytes);
    }
}

std::map<std::string, uint64_t> calls_of_a_plain_run(const Scenario& s) {
    TempDir dir, counts;
    lay_out(dir.path, s.start);
    std::vector<std::string> argv = s.args;
    argv.insert(argv.begin(), s.tool);
    const ProcessResult r =
        run_process(argv, dir.path, "", {"QAR_TEST_CALL_COUNTS=" + counts.file("counts")});
    EXPECT_EQ(r.status, 0) << "the run without a failure failed: " << r.err;
    EXPECT_TRUE(target_state(s, dir.path) == s.after) << "the run did not do its work";
    expect_whole_before_or_after(s, dir.path, true);
    std::map<std::string, uint64_t> calls;
    std::istringstream in(read_file(counts.file("counts")));
    std::string kind;
    uint64_t n = 0;
    while (in >> kind >> n) calls[kind] = n;
    return calls;
}

// The error each kind of call fails with, and how the system words it.
int error_for(const std::string& kind) {
    return kind == "write" || kind == "flush" ? ENOSPC : EIO;
}

struct Tally {
    int trials = 0;
    int incomplete = 0;  // runs the failure cut short
};

enum class Trial { fail, stop };

// Fails call n of the kind, or stops the run there, and checks the folder,
// the status and the rerun.
void try_one_call(const Scenario& s, const std::string& kind, uint64_t n, Trial trial,
                  Tally* tally) {
    const bool stop = trial == Trial::stop;
    SCOPED_TRACE(kind + " call " + std::to_string(n) + (stop ? " stops the run" : " fails"));
    TempDir dir;
    lay_out(dir.path, s.start);
    std::vector<std::string> argv = s.args;
    argv.insert(argv.begin(), s.tool);
    const int error = stop ? PLAT_CALL_INTERRUPTS : error_for(kind);
    const std::string setting = kind + " " + std::to_string(n) + " " + std::to_string(error);
    const ProcessResult r = run_process(argv, dir.path, "", {"QAR_TEST_FAIL_CALL=" + setting});
    ++tally->trials;
    if (stop)
        ASSERT_NE(r.status, 0) << "the run went on past the call that stops it";
    else
        ASSERT_LT(r.status, 100) << "the tool crashed or ran out of memory: " << r.err;

    const Files state = target_state(s, dir.path);
    EXPECT_TRUE(pieces_before_or_after(s, state))
        << "a record is neither as before the run nor as the run makes it, byte for byte";
    expect_whole_before_or_after(s, dir.path, !stop && r.status == 0);
    Files others = files_below(dir.path);
    Files expected_others = s.start;
    others.erase(s.target);
    expected_others.erase(s.target);
    EXPECT_TRUE(others == expected_others) << "a file beside the target was changed or left";

    // A write or flush that failed lost bytes even where a later step hid it.
    if (!stop && (!(state == s.after) || kind == "write" || kind == "flush")) {
        ++tally->incomplete;
        EXPECT_NE(r.status, 0) << "work was left undone, yet the status is 0: " << r.err;
        const bool reason = r.err.find(std::strerror(error)) != std::string::npos;
        EXPECT_TRUE(reason || r.err.find(kind) != std::string::npos)
            << "no message names the failed " << kind << " or its reason \""
            << std::strerror(error) << "\": " << r.err;
    }

    std::vector<std::string> rerun = s.args;
    rerun.insert(rerun.begin(), s.plain);
    const ProcessResult again = run_process(rerun, dir.path);
    EXPECT_LT(again.status, 100) << again.err;
    EXPECT_TRUE(target_state(s, dir.path) == s.after) << "a rerun did not complete the work: "
                                                       << again.err;
    expect_whole_before_or_after(s, dir.path, true);
}

void walk_every_call(const Scenario& s, const char* what, Trial trial = Trial::fail) {
    Tally tally;
    std::string by_kind;
    for (const auto& [kind, count] : calls_of_a_plain_run(s)) {
        for (uint64_t n = 1; n <= count && !testing::Test::HasFatalFailure(); ++n)
            try_one_call(s, kind, n, trial, &tally);
        by_kind += " " + kind + " " + std::to_string(count);
    }
    if (trial == Trial::stop) {
        std::cout << what << ": stopped at each of " << tally.trials << " calls ("
                  << by_kind.substr(1) << ")\n";
        return;
    }
    EXPECT_GT(tally.incomplete, 0) << "no failure cut the run short: the walk proved nothing";
    std::cout << what << ": " << tally.trials << " calls failed (" << by_kind.substr(1) << "), "
              << tally.incomplete << " of them cut the run short\n";
}

std::string bytes_of(int i, size_t size) {
    std::string bytes(size, '\0');
    for (size_t k = 0; k < size; ++k) bytes[k] = char(k % 7 == 0 ? i * 31 + k : 'a' + i);
    return bytes;
}

// An archive of count small records "old<i>", made by the plain tool.
std::string archive_of(int count) {
    TempDir dir;
    std::vector<std::string> argv = {QARTOOL_PATH, "a", "base.qar"};
    for (int i = 0; i < count; ++i) {
        const std::string name = "old" + std::to_string(i);
        write_file(dir.file(name), bytes_of(i, 20));
        argv.push_back(name);
    }
    EXPECT_EQ(run_process(argv, dir.path).status, 0);
    return read_file(dir.file("base.qar"));
}

Files old_records(int count) {
    Files records;
    for (int i = 0; i < count; ++i) records["old" + std::to_string(i)] = bytes_of(i, 20);
    return records;
}

Scenario add_scenario(const Files& before, const std::string& archive_bytes, int files) {
    Scenario s{QARTOOL_FAILING_PATH, QARTOOL_PATH, {"a", "t.qar"}, "t.qar", true, {}, before,
               before};
    if (!archive_bytes.empty()) s.start["t.qar"] = archive_bytes;
    for (int i = 0; i < files; ++i) {
        const std::string name = "new" + std::to_string(i) + ".dat";
        s.start[name] = bytes_of(i, i == 1 ? 3000 : 40);  // one compresses
        s.args.push_back(name);
        s.after[name] = s.start[name];
    }
    return s;
}

TEST(FailingCalls, AnAddThatCreatesTheArchiveLosesNothing) {
    walk_every_call(add_scenario({}, "", 3), "add creating the archive");
}

// The 100th record chains a new directory table on.
TEST(FailingCalls, AnAddPastAFullTableLosesNothing) {
    walk_every_call(add_scenario(old_records(98), archive_of(98), 3), "add past a full table");
}

TEST(FailingCalls, AnUpdateLosesNothing) {
    Scenario s{QARTOOL_FAILING_PATH, QARTOOL_PATH, {"u", "t.qar"}, "t.qar", true,
               {{"t.qar", archive_of(4)}}, old_records(4), old_records(4)};
    for (int i : {2, 0}) {
        const std::string name = "old" + std::to_string(i);
        s.start[name] = bytes_of(i + 10, 50);
        s.args.push_back(name);
        s.after[name] = s.start[name];
    }
    walk_every_call(s, "update");
}

TEST(FailingCalls, ADeleteLosesNothing) {
    Scenario s{QARTOOL_FAILING_PATH, QARTOOL_PATH, {"d", "t.qar", "old3", "old1"}, "t.qar", true,
               {{"t.qar", archive_of(4)}}, old_records(4), old_records(4)};
    s.after.erase("old3");
    s.after.erase("old1");
    walk_every_call(s, "delete");
}

// The archive's records stay as they are; only the deleted one's bytes go. The
// file is the old archive or the compacted one, never one of the same records
// that is neither (left uncompacted, or half rewritten).
Scenario compaction_scenario() {
    TempDir made;
    const std::string archive = archive_of(4);
    write_file(made.file("t.qar"), archive);
    EXPECT_EQ(run_process({QARTOOL_PATH, "d", "t.qar", "old2"}, made.path).status, 0)
        << "the record to compact away could not be deleted";
    const std::string old = read_file(made.file("t.qar"));
    EXPECT_EQ(run_process({QARTOOL_PATH, "c", "t.qar"}, made.path).status, 0)
        << "the plain compaction failed";
    const std::string compacted = read_file(made.file("t.qar"));
    EXPECT_LT(compacted.size(), old.size()) << "the compaction reclaimed nothing";
    Files records = old_records(4);
    records.erase("old2");
    Scenario s{QARTOOL_FAILING_PATH, QARTOOL_PATH, {"c", "t.qar"}, "t.qar", true,
               {{"t.qar", old}}, records, records};
    s.whole_before = old;
    s.whole_after = compacted;
    return s;
}

TEST(FailingCalls, ACompactionLosesNothing) {
    walk_every_call(compaction_scenario(), "compaction");
}

// A 52-byte record: name, texture, four 16-bit numbers, flags.
std::string sprite(const std::string& name, uint16_t u) {
    std::string out(52, '\0');
    out.replace(0, name.size(), name).replace(32, 1, "t");
    out[40] = char(u);
    out[41] = char(u >> 8);
    return out;
}

Scenario sprite_table_scenario() {
    const std::string old_table = sprite("old", 1);
    return Scenario{SPRTOOL_FAILING_PATH,
                    SPRTOOL_PATH,
                    {"wt", "k.stb", "a.txt", "b.txt"},
                    "k.stb",
                    false,
                    {{"k.stb", old_table},
                     {"a.txt", "\"a\" t 2 0 0 0 0x0\n@include \"c.txt\"\n"},
                     {"b.txt", "\"b\" t 3 0 0 0 0x0\n"},
                     {"c.txt", "\"c\" t 4 0 0 0 0x0\n"}},
                    {{"k.stb", old_table}},
                    {{"k.stb", sprite("a", 2) + sprite("c", 4) + sprite("b", 3)}}};
}

TEST(FailingCalls, ASpriteTableBuildLosesNothing) {
    walk_every_call(sprite_table_scenario(), "sprite table build");
}

// The text of a table replaces an old text file whole, or leaves it as it was.
// Its lines end as the system's text files do, as the plain tool writes them.
Scenario sprite_text_scenario() {
    const std::string table = sprite("a", 2) + sprite("b", 3);
    const char kRow[] = "                                t            ";
    const std::string text =
        "# NAME............................ TEXTURE. U.... V.... W.... H.... FLAGS.....\n"
        "\"a\"" + std::string(kRow) + "2     0     0     0 0x00000000\n"
        "\"b\"" + std::string(kRow) + "3     0     0     0 0x00000000\n";
    TempDir plain;
    write_file(plain.file("k.stb"), table);
    const std::string written = run_process({SPRTOOL_PATH, "rt", "k.stb"}, plain.path).raw_out;
    EXPECT_EQ(as_text(written), text) << "the plain tool wrote other text";
    return Scenario{SPRTOOL_FAILING_PATH,
                    SPRTOOL_PATH,
                    {"rt", "k.stb", "k.txt"},
                    "k.txt",
                    false,
                    {{"k.stb", table}, {"k.txt", "last week's text\n"}},
                    {{"k.txt", "last week's text\n"}},
                    {{"k.txt", written}}};
}

TEST(FailingCalls, ATableWrittenAsTextLosesNothing) {
    walk_every_call(sprite_text_scenario(), "sprite table as text");
}

TEST(StoppedRuns, AnAddThatCreatesTheArchiveLeavesNoTemporaryFile) {
    walk_every_call(add_scenario({}, "", 3), "add creating the archive", Trial::stop);
}

TEST(StoppedRuns, ACompactionLeavesNoTemporaryFile) {
    walk_every_call(compaction_scenario(), "compaction", Trial::stop);
}

TEST(StoppedRuns, ATableWrittenAsTextLeavesNoTemporaryFile) {
    walk_every_call(sprite_text_scenario(), "sprite table as text", Trial::stop);
}

TEST(StoppedRuns, ASpriteTableBuildLeavesNoTemporaryFile) {
    walk_every_call(sprite_table_scenario(), "sprite table build", Trial::stop);
}

// Each file is written under a temporary name and renamed once complete.
TEST(StoppedRuns, AnExtractLeavesNoHalfWrittenFile) {
    Scenario s{QARTOOL_FAILING_PATH, QARTOOL_PATH, {"x", "t.qar"}, "old0", false,
               {{"t.qar", archive_of(1)}}, {}, {{"old0", bytes_of(0, 20)}}};
    walk_every_call(s, "extract", Trial::stop);
}

}  // namespace
