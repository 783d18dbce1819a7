// qartool a killed at each step of an append, under ptrace: after a record's
// stored bytes, after its table, after its header, and for the 100th record
// of a table after the new empty table and after the full one. Each leaves
// the archive listing every record whose append completed (the one whose
// table was written counts as completed), in one of the layouts a reader
// accepts, and a rerun of the add completes it exactly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "archive_layout.h"
#include "reliability_support.h"
#include "traced_kill.h"

namespace {

// 102 small files of random bytes.
FileTree make_small_tree(const std::string& parent) {
    std::mt19937 rng(4211);
    FileTree tree;
    tree.root = parent + "/tree";
    mkdir(tree.root.c_str(), 0755);
    for (int i = 0; i < 102; ++i) {
        std::string bytes(40 + rng() % 261, '\0');
        for (char& c : bytes) c = char(rng());
        std::string name = "r" + std::to_string(i) + ".bin";
        write_file(tree.root + "/" + name, bytes);
        tree.content[name] = bytes;
    }
    return tree;
}

}  // namespace

TEST(KilledAdd, AtEveryStepOfAnAppendKeepsEveryCompletedRecord) {
    TempDir dir;
    const FileTree tree = make_small_tree(dir.path);
    ProcessResult full = run_qartool(dir.path, {"a", "full.qar", "tree"});
    ASSERT_EQ(full.status, 0) << full.err;
    const std::vector<std::string> walk = walk_from_progress(full.out);

    const struct {
        const char* moment;
        WriteKind kind;
        int nth;
        KillMoment when;
        LayoutState state;
        size_t listed;
        int32_t header_count;
    } cases[] = {
        {"after the 11th record's bytes", WRITE_FIRST_TABLE, 11, KILL_BEFORE, LAYOUT_STRICT, 10,
         10},
        {"after the 11th record's table", WRITE_HEADER, 11, KILL_BEFORE, LAYOUT_SLOT_AHEAD, 11, 10},
        {"after the 11th record's header", WRITE_HEADER, 11, KILL_AFTER, LAYOUT_STRICT, 11, 11},
        {"after the empty table chained on by the 100th", WRITE_FIRST_TABLE, 100, KILL_BEFORE,
         LAYOUT_STRICT, 99, 99},
        {"after the 100th record's full table", WRITE_HEADER, 100, KILL_BEFORE, LAYOUT_TABLE_AHEAD,
         100, 99},
        {"after the 101st record's table", WRITE_HEADER, 101, KILL_BEFORE, LAYOUT_SLOT_AHEAD, 101,
         100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.moment);
        unlink(dir.file("t.qar").c_str());
        TracedOutcome outcome =
            kill_at_write(dir.path, {"a", "t.qar", "tree"}, c.kind, c.nth, c.when);
        if (outcome == TRACED_UNAVAILABLE) GTEST_SKIP() << "this system does not allow ptrace";
        ASSERT_EQ(outcome, TRACED_KILLED);

        ArchiveLayout layout = inspect_archive(read_file(dir.file("t.qar")));
        EXPECT_EQ(layout_state_name(layout.state), std::string(layout_state_name(c.state)))
            << layout.problem;
        EXPECT_EQ(layout.record_count, c.header_count);
        size_t count = 0;
        ASSERT_EQ(check_walk_prefix(dir.path, "t.qar", tree, walk, &count), "");
        EXPECT_EQ(count, c.listed);

        ProcessResult rerun = run_qartool(dir.path, {"a", "t.qar", "tree"});
        ASSERT_EQ(rerun.status, 0) << rerun.err;
        // One "already exists" line for each record kept.
        EXPECT_EQ(size_t(std::count(rerun.err.begin(), rerun.err.end(), '\n')), count);
        ArchiveLayout done = inspect_archive(read_file(dir.file("t.qar")));
        ASSERT_EQ(done.state, LAYOUT_STRICT) << done.problem;
        ASSERT_EQ(check_walk_prefix(dir.path, "t.qar", tree, walk, &count), "");
        EXPECT_EQ(count, walk.size());
    }
}
