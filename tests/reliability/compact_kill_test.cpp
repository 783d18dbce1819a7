// A compaction killed at any moment leaves either the old archive or the
// compacted one, never anything between; the next compaction completes it.
// QAR_COMPACT_KILL_TRIALS raises the trial count.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>

#include "qar_bytes.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

ProcessResult run_qartool(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), QARTOOL_PATH);
    return run_process(args, dir);
}

// 99 records of 200 KB stored as they are, every other one deleted: about 20 MB,
// so that a compaction takes long enough to be killed in the middle.
std::string large_archive() {
    std::mt19937 rng(5);
    std::vector<RawEntry> entries;
    std::string data;
    for (int i = 0; i < 99; ++i) {
        std::string bytes(200000, '\0');
        for (char& c : bytes) c = char(rng());
        entries.push_back({"r" + std::to_string(i), uint32_t(3632 + data.size()), i,
                           uint32_t(bytes.size()), 1408098600u, uint32_t(i % 2)});
        data += bytes;
    }
    return raw_archive(0, entries, data);
}

TEST(KilledCompact, LeavesTheOldArchiveOrTheCompactedOne) {
    TempDir dir;
    const std::string old = large_archive();
    write_file(dir.file("full.qar"), old);
    const auto start = Clock::now();
    ASSERT_EQ(0, run_qartool(dir.path, {"c", "full.qar"}).status);
    const long full_us = long((Clock::now() - start) / std::chrono::microseconds(1));
    const std::string compacted = read_file(dir.file("full.qar"));
    ASSERT_LT(compacted.size(), old.size());

    const char* soak = getenv("QAR_COMPACT_KILL_TRIALS");
    const int trials = soak ? std::max(1, atoi(soak)) : 10;
    std::mt19937 rng(std::random_device{}());
    int untouched = 0, midway = 0;
    for (int trial = 0; trial < trials && !HasFailure(); ++trial) {
        const std::string name = "t" + std::to_string(trial) + ".qar";
        write_file(dir.file(name), old);
        run_and_kill({QARTOOL_PATH, "c", name}, dir.path, long(rng() % full_us));
        const std::string left = read_file(dir.file(name));
        EXPECT_TRUE(left == old || left == compacted)
            << "trial " << trial << " left an archive of " << left.size() << " bytes";
        untouched += left == old;
        // A temporary file beside it: the kill came while the copy was being written.
        for (const auto& f : std::filesystem::directory_iterator(dir.path))
            midway += f.path().filename().string().rfind(name + ".tmp.", 0) == 0;
        // A temporary file left by the kill does not stand in the next one's way.
        EXPECT_EQ(0, run_qartool(dir.path, {"c", name}).status);
        EXPECT_TRUE(read_file(dir.file(name)) == compacted) << "trial " << trial;
    }
    std::cout << "compact kill trials: " << trials << ", " << untouched
              << " left the old archive, " << midway << " came while the copy was written\n";
}

}  // namespace
