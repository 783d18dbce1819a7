// Adds killed, out of room or at the 2 GiB limit never cost the records already
// stored, and a later add completes them. QAR_KILL_TRIALS/QAR_FSIZE_TRIALS: trial counts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "qar_bytes.h"
#include "test_support.h"

namespace {

using Tree = std::map<std::string, std::string>;  // bare file name -> bytes
using Clock = std::chrono::steady_clock;

std::string some_bytes(uint32_t seed, size_t n, bool compressible) {
    std::mt19937 rng(seed);
    std::string b(n, '\0');
    for (char& c : b) c = compressible ? "wall door key\n"[rng() % 14] : char(rng());
    return b;
}

// Nested directories of mostly small files (so that kills often land
// between the writes of one append) and a few larger ones.
Tree make_tree(const std::string& dir, uint32_t seed, int count) {
    std::mt19937 rng(seed);
    const std::string dirs[] = {"/tree", "/tree/maps", "/tree/maps/old", "/tree/sound"};
    for (const std::string& d : dirs) std::filesystem::create_directories(dir + d);
    Tree tree;
    for (int i = 0; i < count; ++i) {
        size_t size = rng() % 20 < 17 ? 1 + rng() % 300 : 500 + rng() % 20000;
        std::string name = "f" + std::to_string(i) + ".dat";
        tree[name] = some_bytes(rng(), size, rng() % 3 != 0);
        write_file(dir + dirs[rng() % 4] + "/" + name, tree[name]);
    }
    return tree;
}

// qartool with the arguments in dir, run directly or by the shell script
// given, which finds the command line in "$@".
ProcessResult qartool(const std::string& dir, std::vector<std::string> args,
                      const std::string& script = "") {
    args.insert(args.begin(), QARTOOL_PATH);
    if (!script.empty()) args.insert(args.begin(), {"/bin/sh", "-c", script, "sh"});
    return run_process(args, dir);
}

// The bare names of an add's "file: " progress lines, in walk order.
std::vector<std::string> walk_of(const std::string& add_output) {
    std::vector<std::string> walk;
    std::istringstream lines(add_output);
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, 6, "file: ") == 0) walk.push_back(line.substr(6));
    return walk;
}

// Lists and extracts the archive, expecting the first records of the walk,
// indexed in walk order, every byte as in the tree; returns their number.
size_t check_prefix(const std::string& dir, const std::string& name, const Tree& tree,
                    const std::vector<std::string>& walk) {
    TempDir out;
    ProcessResult list = qartool(dir, {"l", name}), x = qartool(out.path, {"x", dir + "/" + name});
    EXPECT_EQ(list.status + x.status, 0) << list.err << x.err;
    EXPECT_EQ(x.err, "");
    std::map<int, std::string> rows, expected_rows;
    std::istringstream lines(list.out);
    std::string line;
    int index = 0;
    char text[64];
    for (int n = 0; std::getline(lines, line) && (n < 2 || line[0] != '-'); ++n)
        if (n >= 2 && sscanf(line.c_str(), "%d %63s", &index, text) == 2) rows[index] = text;
    Tree files, expected_files;
    for (const auto& f : std::filesystem::directory_iterator(out.path))
        files[f.path().filename()] = read_file(f.path());
    for (size_t i = 0; i < rows.size() && i < walk.size(); ++i) {
        expected_rows[int(i)] = walk[i];
        expected_files[walk[i]] = tree.at(walk[i]);
    }
    EXPECT_EQ(rows, expected_rows);
    EXPECT_TRUE(files == expected_files) << "extracted files differ from the tree";
    return rows.size();
}

// Reruns the add and expects the whole walk, slot after slot in walk order.
void expect_completed(const std::string& dir, const std::string& name, const Tree& tree,
                      const std::vector<std::string>& walk) {
    ProcessResult rerun = qartool(dir, {"a", name, "tree"});
    EXPECT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_EQ(check_prefix(dir, name, tree, walk), walk.size());
    std::vector<std::string> slots;
    for (const RawEntry& e : raw_entries(read_file(dir + "/" + name))) slots.push_back(e.name);
    EXPECT_EQ(slots, walk);
}

}  // namespace

TEST(KilledAdd, LeavesAPrefixOfTheWalkAndARerunCompletesIt) {
    TempDir dir;
    const Tree tree = make_tree(dir.path, 20141, 120);
    auto start = Clock::now();
    ProcessResult full = qartool(dir.path, {"a", "full.qar", "tree"});
    const long full_us = long((Clock::now() - start) / std::chrono::microseconds(1));
    const std::vector<std::string> walk = walk_of(full.out);
    ASSERT_EQ(walk.size(), tree.size()) << full.err;

    // Without QAR_KILL_TRIALS a time budget keeps slow builds quick.
    const char* soak = getenv("QAR_KILL_TRIALS");
    const int trials = soak ? std::max(1, atoi(soak)) : 40;
    const uint32_t seed = std::random_device()();
    std::mt19937 rng(seed);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int trial = 0, partial = 0;
    for (; trial < trials && !HasFailure() && (soak || Clock::now() < deadline); ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial) + " of seed " + std::to_string(seed));
        const std::string name = "t" + std::to_string(trial) + ".qar";
        qartool(dir.path, {"a", name, "tree"}, "\"$@\" >/dev/null 2>&1 & sleep " +
                                                   std::to_string(rng() % full_us / 1e6) +
                                                   "; kill -9 $!; wait");
        // Killed before the archive had its header, it is missing or empty.
        if (file_exists(dir.file(name)) && !read_file(dir.file(name)).empty())
            partial += check_prefix(dir.path, name, tree, walk) < walk.size();
        expect_completed(dir.path, name, tree, walk);
    }
    std::cout << "kill trials: " << trial << ", " << partial << " left a partial archive (seed "
              << seed << ")\n";
}

TEST(FileSizeLimit, FailedAddKeepsEveryStoredRecordAndALaterAddCompletes) {
    TempDir dir;
    const Tree tree = make_tree(dir.path, 70915, 60);
    const std::vector<std::string> walk = walk_of(qartool(dir.path, {"a", "full.qar", "tree"}).out);
    const long full_blocks = long(read_file(dir.file("full.qar")).size() / 512);
    const char* soak = getenv("QAR_FSIZE_TRIALS");
    const int trials = soak ? std::max(1, atoi(soak)) : 4;
    for (int trial = 0; trial < trials && !HasFailure(); ++trial) {
        // From room for little more than the empty archive to just short of
        // all of it; SIGXFSZ ignored, writes past the limit fail as on a full disk.
        const std::string blocks = std::to_string(8 + (full_blocks - 8) * trial / trials);
        SCOPED_TRACE("file size limit of " + blocks + " blocks");
        const std::string name = "l" + std::to_string(trial) + ".qar";
        ProcessResult add = qartool(dir.path, {"a", name, "tree"},
                                    "trap '' XFSZ; ulimit -f " + blocks + "; exec \"$@\"");
        EXPECT_EQ(add.status, 0);
        const size_t kept = check_prefix(dir.path, name, tree, walk);
        ASSERT_LT(kept, walk.size());
        // The file that did not fit comes first, and every later one is
        // reported too: none is dropped silently.
        EXPECT_EQ(add.err.rfind("\"" + walk[kept] + "\": ", 0), 0u) << add.err;
        EXPECT_EQ(size_t(std::count(add.err.begin(), add.err.end(), '\n')), walk.size() - kept);
        expect_completed(dir.path, name, tree, walk);
    }
}

TEST(SizeLimit, AnAddPastTwoGigabytesFailsAndTheArchiveStaysListable) {
    TempDir dir;
    const long end = 2147483647 - 100;
    const std::string path = dir.file("near.qar");
    write_file(path, raw_archive(0, {{"small.txt", 3632, 0, 5, 1408098600, 0},
                                     {"big.bin", 3637, 1, uint32_t(end - 3637), 1408098600, 0}},
                                 "hello"));
    ASSERT_EQ(truncate(path.c_str(), end), 0) << "no sparse file of 2 GiB here";
    write_file(dir.file("toobig.dat"), some_bytes(7, 101, false));

    ProcessResult add = qartool(dir.path, {"a", "near.qar", "toobig.dat"});
    EXPECT_EQ(add.err.rfind("\"toobig.dat\": Could not write data toobig.dat to file \"near.qar\"",
                            0), 0u) << add.err;
    EXPECT_EQ(std::filesystem::file_size(path), uintmax_t(end));
    EXPECT_NE(qartool(dir.path, {"l", "near.qar"}).out.find("\n    2 records"), std::string::npos);
    EXPECT_EQ(qartool(dir.path, {"x", "near.qar", "small.txt"}).status, 0);
    EXPECT_EQ(read_file(dir.file("small.txt")), "hello");
}
