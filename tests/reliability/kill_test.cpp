// qartool a, killed with SIGKILL at random moments, never costs more than the
// record being written: the archive then lists and extracts a prefix of the
// walk with every byte intact, its layout is sound or one of the two states
// an interrupted append leaves, and a rerun of the same add completes it to
// exactly the layout the format requires. A killed update leaves every
// record readable.
//
// QAR_KILL_TRIALS sets the number of trials (soak.sh passes a larger one);
// without it a default number runs, cut short by a time budget.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>

#include "archive_layout.h"
#include "reliability_support.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string archive_bytes(const std::string& path) {
    return file_exists(path) ? read_file(path) : std::string();
}

}  // namespace

TEST(KilledAdd, LeavesAPrefixOfTheWalkAndARerunCompletesIt) {
    const int trials = trials_from_env("QAR_KILL_TRIALS", 40);
    TempDir dir;
    const FileTree tree = make_file_tree(dir.path, 20141, 140);

    // Complete runs give the walk order and the time a whole add takes (the
    // shortest of three, as the first one also warms the caches).
    ProcessResult full;
    double full_seconds = 1e9;
    for (int run = 0; run < 3; ++run) {
        unlink(dir.file("full.qar").c_str());
        auto start = std::chrono::steady_clock::now();
        full = run_qartool(dir.path, {"a", "full.qar", "tree"});
        full_seconds = std::min(full_seconds, seconds_since(start));
        ASSERT_EQ(full.status, 0) << full.err;
    }
    ASSERT_EQ(full.err, "");
    const std::vector<std::string> walk = walk_from_progress(full.out);
    ASSERT_EQ(walk.size(), tree.content.size());
    ASSERT_EQ(inspect_archive(read_file(dir.file("full.qar"))).state, LAYOUT_STRICT);

    std::random_device entropy;
    const uint32_t seed = entropy();
    std::mt19937 rng(seed);
    // The kill comes before the end of a whole run, mostly while it appends.
    std::uniform_int_distribution<int> delay_us(0, int(full_seconds * 0.8e6));
    std::map<std::string, int> outcomes;
    size_t records_before_kill = 0;

    const auto trials_start = std::chrono::steady_clock::now();
    int trial = 0;
    for (; trial < trials && !trial_budget_spent("QAR_KILL_TRIALS", trial, trials_start); ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial) + " of seed " + std::to_string(seed));
        const std::string name = "t" + std::to_string(trial) + ".qar";
        Child child = start_qartool(dir.path, {"a", name, "tree"});
        usleep(useconds_t(delay_us(rng)));
        kill(child.pid, SIGKILL);
        const int status = finish_child(child).status;

        const std::string bytes = archive_bytes(dir.file(name));
        if (bytes.empty()) {
            // Killed before the archive was created, or between creating its
            // file and writing it; the rerun below must cope with both.
            ASSERT_EQ(status, 128 + SIGKILL);
            outcomes[file_exists(dir.file(name)) ? "killed while creating the archive (empty file)"
                                                 : "killed before creating the archive"]++;
        } else {
            ArchiveLayout layout = inspect_archive(bytes);
            ASSERT_NE(layout.state, LAYOUT_BROKEN) << layout.problem;
            outcomes[std::string(status == 128 + SIGKILL ? "killed, layout "
                                                         : "finished, layout ") +
                     layout_state_name(layout.state)]++;
            size_t count = 0;
            ASSERT_EQ(check_walk_prefix(dir.path, name, tree, walk, &count), "");
            ASSERT_EQ(count, layout.entries.size());
            records_before_kill += count;
        }

        ProcessResult rerun = run_qartool(dir.path, {"a", name, "tree"});
        ASSERT_EQ(rerun.status, 0) << rerun.err;
        ArchiveLayout done = inspect_archive(read_file(dir.file(name)));
        ASSERT_EQ(done.state, LAYOUT_STRICT)
            << layout_state_name(done.state) << " " << done.problem;
        ASSERT_EQ(size_t(done.record_count), walk.size());
        size_t count = 0;
        ASSERT_EQ(check_walk_prefix(dir.path, name, tree, walk, &count), "");
        ASSERT_EQ(count, walk.size());
        unlink(dir.file(name).c_str());
    }

    std::cout << "kill trials: " << trial << " (seed " << seed << ", a whole add takes "
              << full_seconds << " s, " << walk.size() << " files)\n";
    for (const auto& outcome : outcomes)
        std::cout << "  " << outcome.second << " x " << outcome.first << "\n";
    std::cout << "  records found after the kills: " << records_before_kill
              << "; every rerun completed the archive\n";
}

TEST(KilledUpdate, LeavesEveryRecordReadableAndARerunCompletesIt) {
    const int trials = trials_from_env("QAR_KILL_TRIALS", 40) / 4 + 1;
    TempDir dir;
    const FileTree tree = make_file_tree(dir.path, 5077, 60);
    ProcessResult full = run_qartool(dir.path, {"a", "full.qar", "tree"});
    ASSERT_EQ(full.status, 0) << full.err;
    const std::vector<std::string> walk = walk_from_progress(full.out);
    const std::string complete = read_file(dir.file("full.qar"));

    write_file(dir.file("u.qar"), complete);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run_qartool(dir.path, {"u", "u.qar", "tree"}).status, 0);
    const double update_seconds = seconds_since(start);

    std::random_device entropy;
    const uint32_t seed = entropy();
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> delay_us(0, int(update_seconds * 0.8e6));
    const auto trials_start = std::chrono::steady_clock::now();
    int trial = 0;
    for (; trial < trials && !trial_budget_spent("QAR_KILL_TRIALS", trial, trials_start); ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial) + " of seed " + std::to_string(seed));
        write_file(dir.file("u.qar"), complete);
        Child child = start_qartool(dir.path, {"u", "u.qar", "tree"});
        usleep(useconds_t(delay_us(rng)));
        kill(child.pid, SIGKILL);
        finish_child(child);

        // The files did not change, so every record, replaced or not, reads
        // as its file.
        ASSERT_EQ(inspect_archive(read_file(dir.file("u.qar"))).state, LAYOUT_STRICT);
        size_t count = 0;
        ASSERT_EQ(check_walk_prefix(dir.path, "u.qar", tree, walk, &count), "");
        ASSERT_EQ(count, walk.size());
        ProcessResult rerun = run_qartool(dir.path, {"u", "u.qar", "tree"});
        ASSERT_EQ(rerun.status, 0);
        ASSERT_EQ(rerun.err, "");
        ASSERT_EQ(check_walk_prefix(dir.path, "u.qar", tree, walk, &count), "");
    }
    std::cout << "update kill trials: " << trial << " (seed " << seed << ", " << walk.size()
              << " files); every record read back intact after each, every rerun completed\n";
}
