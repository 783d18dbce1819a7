// Every call of the platform layer during a whole run of a writing command fails in turn (the
// nth open, read, write, flush, rename, close or lock, for every n the run reaches), or stops
// the run there as Ctrl+C would. After each, the work done before is there byte for byte and
// nothing else changed or left; a run that did not do all its work says so (non-zero status,
// the operation or the system's reason), and a plain rerun completes it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "platform.h"
#include "qar_bytes.h"
#include "test_support.h"

namespace {

using Files = std::map<std::string, std::string>;  // path below the folder -> bytes

// The records of an archive as the plain tool lists and extracts them (none: no archive).
Files extracted(const std::string& dir, const std::string& archive) {
    if (!file_exists(dir + "/" + archive)) return {};
    const ProcessResult list = run_process({QARTOOL_PATH, "l", archive}, dir);
    EXPECT_EQ(list.status, 0) << "the archive does not list: " << list.err;
    TempDir out;
    const ProcessResult x = run_process({QARTOOL_PATH, "x", dir + "/" + archive}, out.path);
    EXPECT_EQ(x.status, 0) << "the archive does not extract: " << x.err;
    return directory_snapshot(out.path);
}

// A writing command of qartool (or sprtool), the folder it starts from, and what its target
// holds before and after the run. Each record (each table) is one piece of work.
struct Scenario {
    bool sprtool;
    std::vector<std::string> args;
    std::string target;   // the archive (listed and extracted) or other file the command writes
    Files start;          // every file of the folder before the run
    Files before, after;  // the target's records (or the file) before and after
    // When not empty: the target's bytes before the run and after it. A run that only
    // rearranges what the target holds (a compaction keeps every record) must leave one
    // or the other, byte for byte; after a run that ended 0, the one it makes.
    std::string whole_before = {}, whole_after = {};
};

void expect_whole_before_or_after(const Scenario& s, const std::string& dir, bool done) {
    const std::string now = s.whole_before.empty() ? "" : read_file(dir + "/" + s.target);
    EXPECT_TRUE(s.whole_before.empty() || now == s.whole_after || (!done && now == s.whole_before))
        << s.target << " is neither the file before the run nor the one it makes (" << now.size()
        << " bytes; " << s.whole_before.size() << " before, " << s.whole_after.size() << " after)";
}

// Each piece is as it was before or as the run makes it (or absent where it is absent there).
bool pieces_before_or_after(const Scenario& s, const Files& state) {
    auto piece = [](const Files& f, const std::string& name) {
        return f.count(name) ? "=" + f.at(name) : std::string("(none)");
    };
    for (const Files* f : {&s.before, &s.after, &state})
        for (const auto& entry : *f) {
            const std::string now = piece(state, entry.first);
            if (now != piece(s.before, entry.first) && now != piece(s.after, entry.first)) return false;
        }
    return true;
}

Files target_state(const Scenario& s, const std::string& dir) {
    if (s.target.size() > 4 && s.target.substr(s.target.size() - 4) == ".qar") return extracted(dir, s.target);
    if (!file_exists(dir + "/" + s.target)) return {};
    return {{s.target, read_file(dir + "/" + s.target)}};
}

// Runs the tool in dir: the test build after laying out the scenario's folder, or the plain
// one (a rerun) in the folder as it is.
ProcessResult run_in(const Scenario& s, const TempDir& dir, bool plain, const std::string& env = "") {
    for (const auto& [path, bytes] : plain ? Files() : s.start) {
        std::filesystem::create_directories(std::filesystem::path(dir.file(path)).parent_path());
        write_file(dir.file(path), bytes);
    }
    std::vector<std::string> argv = s.args;
    argv.insert(argv.begin(), s.sprtool ? (plain ? SPRTOOL_PATH : SPRTOOL_FAILING_PATH)
                                        : (plain ? QARTOOL_PATH : QARTOOL_FAILING_PATH));
    return run_process(argv, dir.path, "", env.empty() ? std::vector<std::string>() : std::vector<std::string>{env});
}

std::map<std::string, uint64_t> calls_of_a_plain_run(const Scenario& s) {
    TempDir dir, counts;
    const ProcessResult r = run_in(s, dir, false, "QAR_TEST_CALL_COUNTS=" + counts.file("counts"));
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

enum class Trial { fail, stop };

// Fails call n of the kind (ENOSPC for writes and flushes, EIO for the rest), or stops the
// run there, and checks the folder, the status and the rerun; true when the failure cut
// the run short. *said collects what the runs wrote to stderr.
bool try_one_call(const Scenario& s, const std::string& kind, uint64_t n, Trial trial, std::string* said) {
    const bool stop = trial == Trial::stop;
    SCOPED_TRACE(kind + " call " + std::to_string(n) + (stop ? " stops the run" : " fails"));
    TempDir dir;
    const int error = stop ? PLAT_CALL_INTERRUPTS : kind == "write" || kind == "flush" ? ENOSPC : EIO;
    const ProcessResult r = run_in(s, dir, false, "QAR_TEST_FAIL_CALL=" + kind + " " + std::to_string(n) + " " +
                                                      std::to_string(error));
    *said += r.err;
    if (stop) EXPECT_NE(r.status, 0) << "the run went on past the call that stops it";
    else EXPECT_LT(r.status, 100) << "the tool crashed or ran out of memory: " << r.err;

    const Files state = target_state(s, dir.path);
    EXPECT_TRUE(pieces_before_or_after(s, state))
        << "a record is neither as before the run nor as the run makes it, byte for byte";
    expect_whole_before_or_after(s, dir.path, !stop && r.status == 0);
    Files others = directory_snapshot(dir.path), expected_others = s.start;
    others.erase(s.target);
    expected_others.erase(s.target);
    EXPECT_TRUE(others == expected_others) << "a file beside the target was changed or left";

    // A write or flush that failed lost bytes even where a later step hid it.
    const bool incomplete = !stop && (!(state == s.after) || kind == "write" || kind == "flush");
    if (incomplete) {
        EXPECT_NE(r.status, 0) << "work was left undone, yet the status is 0: " << r.err;
        EXPECT_TRUE(r.err.find(std::strerror(error)) != std::string::npos || r.err.find(kind) != std::string::npos)
            << "no message names the failed " << kind << " or its reason \"" << std::strerror(error) << "\": " << r.err;
    }
    const ProcessResult again = run_in(s, dir, true);
    EXPECT_LT(again.status, 100) << again.err;
    EXPECT_TRUE(target_state(s, dir.path) == s.after) << "a rerun did not complete the work: " << again.err;
    expect_whole_before_or_after(s, dir.path, true);
    return incomplete;
}

std::string bytes_of(int i, size_t size) {
    std::string bytes(size, '\0');
    for (size_t k = 0; k < size; ++k) bytes[k] = char(k % 7 == 0 ? i * 31 + k : 'a' + i);
    return bytes;
}

// The records "old<i>" of 20 bytes each, and the archive of them the plain tool makes.
Files old_records(int count) {
    Files records;
    for (int i = 0; i < count; ++i) records["old" + std::to_string(i)] = bytes_of(i, 20);
    return records;
}
std::string archive_of(int count) {
    TempDir dir;
    std::vector<std::string> argv = {QARTOOL_PATH, "a", "base.qar"};
    for (const auto& [name, bytes] : old_records(count)) {
        write_file(dir.file(name), bytes);
        argv.push_back(name);
    }
    EXPECT_EQ(run_process(argv, dir.path).status, 0);
    return read_file(dir.file("base.qar"));
}

// A command on t.qar holding count old records (none: no archive).
Scenario on_old_records(std::vector<std::string> args, int count) {
    Scenario s{false, args, "t.qar", {}, old_records(count), old_records(count)};
    if (count > 0) s.start["t.qar"] = archive_of(count);
    return s;
}

// qartool adding three files (one compresses).
Scenario add_scenario(int count) {
    Scenario s = on_old_records({"a", "t.qar"}, count);
    for (int i = 0; i < 3; ++i) {
        const std::string name = "new" + std::to_string(i) + ".dat";
        s.start[name] = s.after[name] = bytes_of(i, i == 1 ? 3000 : 40);
        s.args.push_back(name);
    }
    return s;
}

Scenario update_scenario() {
    Scenario s = on_old_records({"u", "t.qar", "old2", "old0"}, 4);
    for (int i : {2, 0}) s.start["old" + std::to_string(i)] = s.after["old" + std::to_string(i)] = bytes_of(i + 10, 50);
    return s;
}

Scenario delete_scenario() {
    Scenario s = on_old_records({"d", "t.qar", "old3", "old1"}, 4);
    for (const char* name : {"old3", "old1"}) s.after.erase(name);
    return s;
}

// The file is the old archive or the compacted one, never one of the same records that is
// neither (left uncompacted, or half rewritten).
Scenario compaction_scenario() {
    TempDir made;
    write_file(made.file("t.qar"), archive_of(4));
    EXPECT_EQ(run_process({QARTOOL_PATH, "d", "t.qar", "old2"}, made.path).status, 0);
    const std::string old = read_file(made.file("t.qar"));
    EXPECT_EQ(run_process({QARTOOL_PATH, "c", "t.qar"}, made.path).status, 0) << "the plain compaction failed";
    Scenario s = on_old_records({"c", "t.qar"}, 4);
    s.before.erase("old2");
    s.after.erase("old2");
    s.start["t.qar"] = s.whole_before = old;
    s.whole_after = read_file(made.file("t.qar"));
    EXPECT_LT(s.whole_after.size(), old.size()) << "the compaction reclaimed nothing";
    return s;
}

Scenario sprite_table_scenario() {
    return Scenario{true, {"wt", "k.stb", "a.txt", "b.txt"}, "k.stb",
                    {{"k.stb", raw_sprite("old", 1)}, {"a.txt", "\"a\" t 2 0 0 0 0x0\n@include \"c.txt\"\n"},
                     {"b.txt", "\"b\" t 3 0 0 0 0x0\n"}, {"c.txt", "\"c\" t 4 0 0 0 0x0\n"}},
                    {{"k.stb", raw_sprite("old", 1)}},
                    {{"k.stb", raw_sprite("a", 2) + raw_sprite("c", 4) + raw_sprite("b", 3)}}};
}

// The text of a table replaces an old text file whole, or leaves it as it was.
Scenario sprite_text_scenario() {
    const std::string table = raw_sprite("a", 2) + raw_sprite("b", 3);
    TempDir plain;
    write_file(plain.file("k.stb"), table);
    const std::string written = run_process({SPRTOOL_PATH, "rt", "k.stb"}, plain.path).raw_out;
    return Scenario{true, {"rt", "k.stb", "k.txt"}, "k.txt",
                    {{"k.stb", table}, {"k.txt", "last week's text\n"}}, {{"k.txt", "last week's text\n"}},
                    {{"k.txt", written}}};
}

// Each file is written under a temporary name and renamed once complete.
Scenario extract_scenario() {
    return Scenario{false, {"x", "t.qar"}, "old0", {{"t.qar", archive_of(1)}}, {}, old_records(1)};
}

struct Walk {
    const char* name;
    Scenario (*scenario)();
    Trial trial;
    std::vector<std::string> said = {};  // what some failure must say
};
void PrintTo(const Walk& walk, std::ostream* out) { *out << walk.name; }
class EveryCall : public testing::TestWithParam<Walk> {};

TEST_P(EveryCall, LosesNothingAndLeavesNothingHalfWritten) {
    const Scenario s = GetParam().scenario();
    int incomplete = 0;
    std::string said;
    for (const auto& [kind, count] : calls_of_a_plain_run(s))
        for (uint64_t n = 1; n <= count && !HasFailure(); ++n)
            incomplete += try_one_call(s, kind, n, GetParam().trial, &said);
    EXPECT_TRUE(GetParam().trial == Trial::stop || incomplete > 0) << "no failure cut the run short: the walk proved nothing";
    for (const std::string& words : GetParam().said)
        EXPECT_NE(said.find(words), std::string::npos) << "no failure said \"" << words << "\"";
}

INSTANTIATE_TEST_SUITE_P(FailingCalls, EveryCall, testing::Values(
    Walk{"AddCreatingTheArchive", [] { return add_scenario(0); }, Trial::fail},
    // The 100th record chains a table on.
    Walk{"AddPastAFullTable", [] { return add_scenario(98); }, Trial::fail,
         {"could not write data new", "could not write dtable to", "could not write a new dtable", "could not write header"}},
    Walk{"Update", update_scenario, Trial::fail},
    Walk{"Delete", delete_scenario, Trial::fail},
    Walk{"Compaction", compaction_scenario, Trial::fail,
         {"could not create a temporary file", "could not flush file", "could not rename"}},
    Walk{"SpriteTableBuild", sprite_table_scenario, Trial::fail},
    Walk{"SpriteTableAsText", sprite_text_scenario, Trial::fail}),
    [](const testing::TestParamInfo<Walk>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(StoppedRuns, EveryCall, testing::Values(
    Walk{"AddCreatingTheArchive", [] { return add_scenario(0); }, Trial::stop},
    Walk{"Compaction", compaction_scenario, Trial::stop},
    Walk{"SpriteTableBuild", sprite_table_scenario, Trial::stop},
    Walk{"SpriteTableAsText", sprite_text_scenario, Trial::stop},
    Walk{"Extract", extract_scenario, Trial::stop}),
    [](const testing::TestParamInfo<Walk>& info) { return std::string(info.param.name); });

}  // namespace
