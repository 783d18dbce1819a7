// Adds and updates that run out of room: the child's RLIMIT_FSIZE is set low
// and SIGXFSZ ignored, so its writes fail with EFBIG as on a full disk. The
// archive must then read as it did before the failing record, every record
// stored before it intact, and a later run without the limit must complete
// it.
//
// QAR_FSIZE_TRIALS sets the number of limits tried (soak.sh passes a larger
// one); they are spread evenly over the size of the complete archive. Without
// it a default number runs, cut short by a time budget.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>

#include "archive_layout.h"
#include "reliability_support.h"

namespace {

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

}  // namespace

TEST(FileSizeLimit, FailedAddKeepsEveryStoredRecordAndALaterAddCompletes) {
    const int trials = trials_from_env("QAR_FSIZE_TRIALS", 12);
    TempDir dir;
    const FileTree tree = make_file_tree(dir.path, 70915, 120);
    ProcessResult full = run_qartool(dir.path, {"a", "full.qar", "tree"});
    ASSERT_EQ(full.status, 0) << full.err;
    const std::vector<std::string> walk = walk_from_progress(full.out);
    const int64_t full_size = int64_t(read_file(dir.file("full.qar")).size());

    size_t stopped = 0, records_kept = 0;
    const auto trials_start = std::chrono::steady_clock::now();
    int trial = 0;
    for (; trial < trials && !trial_budget_spent("QAR_FSIZE_TRIALS", trial, trials_start);
         ++trial) {
        // From a limit that lets only the empty archive be written up to one
        // just short of the complete archive.
        const int64_t limit = 3632 + (full_size - 3632) * trial / trials;
        SCOPED_TRACE("file size limit " + std::to_string(limit));
        const std::string name = "l" + std::to_string(trial) + ".qar";
        ProcessResult limited = finish_child(start_qartool(dir.path, {"a", name, "tree"}, limit));
        ASSERT_EQ(limited.status, 0);
        const std::string& err = limited.err;

        ArchiveLayout layout = inspect_archive(read_file(dir.file(name)));
        ASSERT_EQ(layout.state, LAYOUT_STRICT)
            << layout_state_name(layout.state) << " " << layout.problem;
        size_t count = 0;
        ASSERT_EQ(check_walk_prefix(dir.path, name, tree, walk, &count), "");
        ASSERT_LT(count, walk.size());
        // The first message names the file that did not fit; every later
        // file is reported too, none silently dropped.
        EXPECT_EQ(first_line(err).rfind("\"" + walk[count] + "\": ", 0), 0u) << err;
        EXPECT_EQ(size_t(std::count(err.begin(), err.end(), '\n')), walk.size() - count) << err;
        ++stopped;
        records_kept += count;

        ProcessResult rerun = run_qartool(dir.path, {"a", name, "tree"});
        ASSERT_EQ(rerun.status, 0) << rerun.err;
        ArchiveLayout done = inspect_archive(read_file(dir.file(name)));
        ASSERT_EQ(done.state, LAYOUT_STRICT) << done.problem;
        ASSERT_EQ(check_walk_prefix(dir.path, name, tree, walk, &count), "");
        ASSERT_EQ(count, walk.size());
        unlink(dir.file(name).c_str());
    }
    std::cout << "file size limit trials (add): " << trial << ", archive of " << full_size
              << " bytes, " << walk.size() << " files; " << stopped << " stopped early, keeping "
              << records_kept << " records in all; every later add completed the archive\n";
}

TEST(FileSizeLimit, FailedUpdateKeepsEveryRecordReadable) {
    const int trials = trials_from_env("QAR_FSIZE_TRIALS", 12) / 2 + 1;
    TempDir dir;
    const FileTree tree = make_file_tree(dir.path, 1207, 60);
    ProcessResult full = run_qartool(dir.path, {"a", "full.qar", "tree"});
    ASSERT_EQ(full.status, 0) << full.err;
    const std::vector<std::string> walk = walk_from_progress(full.out);
    const std::string complete = read_file(dir.file("full.qar"));
    size_t data_size = 0;
    for (const auto& file : tree.content) data_size += file.second.size();

    const auto start = std::chrono::steady_clock::now();
    int trial = 0;
    for (; trial < trials && !trial_budget_spent("QAR_FSIZE_TRIALS", trial, start); ++trial) {
        // Update stores every file again, uncompressed, behind the archive.
        const int64_t limit = int64_t(complete.size() + data_size * trial / trials);
        SCOPED_TRACE("file size limit " + std::to_string(limit));
        write_file(dir.file("u.qar"), complete);
        ProcessResult limited =
            finish_child(start_qartool(dir.path, {"u", "u.qar", "tree"}, limit));
        ASSERT_EQ(limited.status, 0);
        EXPECT_NE(limited.err, "");

        // Replaced or not, every record still reads as its file.
        size_t count = 0;
        ASSERT_EQ(inspect_archive(read_file(dir.file("u.qar"))).state, LAYOUT_STRICT);
        ASSERT_EQ(check_walk_prefix(dir.path, "u.qar", tree, walk, &count), "");
        ASSERT_EQ(count, walk.size());

        ProcessResult rerun = run_qartool(dir.path, {"u", "u.qar", "tree"});
        ASSERT_EQ(rerun.status, 0);
        ASSERT_EQ(rerun.err, "");
        ProcessResult list = run_qartool(dir.path, {"l", "u.qar"});
        EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), long(walk.size() + 4));
        EXPECT_EQ(list.out.find("LZO"), std::string::npos) << "a record was not replaced";
        ASSERT_EQ(check_walk_prefix(dir.path, "u.qar", tree, walk, &count), "");
    }
    std::cout << "file size limit trials (update): " << trial << ", " << walk.size()
              << " files; every record read back intact after each, every rerun completed\n";
}
