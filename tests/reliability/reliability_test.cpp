// Killed, out-of-room and 2 GiB adds keep the records stored before them.
// QAR_KILL_TRIALS and QAR_FSIZE_TRIALS (set by soak.sh) raise the trial counts.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>

#include "qar_bytes.h"
#include "test_support.h"

using Tree = std::map<std::string, std::string>;  // bare file name -> bytes
using Names = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// Nested directories of mostly small files (so that kills often land
// between the writes of one append) and a few larger ones, some compressible.
static Tree make_tree(const std::string& dir, uint32_t seed, int count) {
    std::mt19937 rng(seed);
    const std::string dirs[] = {"/tree", "/tree/maps", "/tree/maps/old", "/tree/sound"};
    for (const std::string& d : dirs) std::filesystem::create_directories(dir + d);
    Tree tree;
    for (int i = 0; i < count; ++i) {
        const std::string name = "/f" + std::to_string(i) + ".dat";
        std::string& bytes = tree[name.substr(1)];
        bytes.resize(rng() % 20 < 17 ? 1 + rng() % 300 : 500 + rng() % 20000);
        for (char& c : bytes) c = i % 3 ? "wall door key\n"[rng() % 14] : char(rng());
        write_file(dir + dirs[rng() % 4] + name, bytes);
    }
    return tree;
}

// qartool with the arguments in dir, run directly or by a shell script that runs "$@".
static ProcessResult qartool(const std::string& dir, std::vector<std::string> args,
                             const std::string& script = "") {
    args.insert(args.begin(), QARTOOL_PATH);
    if (!script.empty()) args.insert(args.begin(), {"/bin/sh", "-c", script, "sh"});
    return run_process(args, dir);
}

// The record names of an archive file in slot order: an add's walk order.
static Names slot_names(const std::string& path) {
    Names names;
    for (const RawEntry& e : raw_entries(read_file(path))) names.push_back(e.name);
    return names;
}

// Lists and extracts the archive, expecting the first records of the walk
// with every byte as in the tree; returns their number.
static size_t check_prefix(const std::string& dir, const std::string& name,
                           const Tree& tree, const Names& walk) {
    TempDir out;
    EXPECT_EQ(qartool(dir, {"l", name}).status, 0);
    const ProcessResult x = qartool(out.path, {"x", dir + "/" + name});
    EXPECT_EQ(x.status, 0) << x.err;
    Tree files, expected;
    for (const auto& f : std::filesystem::directory_iterator(out.path))
        files[f.path().filename().string()] = read_file(f.path().string());
    for (size_t i = 0; i < files.size() && i < walk.size(); ++i)
        expected[walk[i]] = tree.at(walk[i]);
    EXPECT_TRUE(files == expected) << "the extracted files are not a prefix of the walk";
    return files.size();
}

// Reruns the add and expects the whole walk, slot after slot in walk order.
static void expect_completed(const std::string& dir, const std::string& name,
                             const Tree& tree, const Names& walk) {
    // Files the killed run stored are reported as already there: status 2.
    const ProcessResult rerun = qartool(dir, {"a", name, "tree"});
    EXPECT_EQ(rerun.status, rerun.err.empty() ? 0 : 2) << rerun.err;
    EXPECT_EQ(check_prefix(dir, name, tree, walk), walk.size());
    EXPECT_EQ(slot_names(dir + "/" + name), walk);
}

TEST(KilledAdd, LeavesAPrefixOfTheWalkAndARerunCompletesIt) {
    TempDir dir;
    const Tree tree = make_tree(dir.path, 20141, 120);
    const auto start = Clock::now();
    qartool(dir.path, {"a", "full.qar", "tree"});
    const long full_us = long((Clock::now() - start) / std::chrono::microseconds(1));
    const Names walk = slot_names(dir.file("full.qar"));

    const char* soak = getenv("QAR_KILL_TRIALS");
    const int trials = soak ? std::max(1, atoi(soak)) : 15;
    std::mt19937 rng(std::random_device{}());
    int trial = 0, partial = 0;
    for (; trial < trials && !HasFailure(); ++trial) {
        const std::string name = "t" + std::to_string(trial) + ".qar";
        run_and_kill({QARTOOL_PATH, "a", name, "tree"}, dir.path, long(rng() % full_us));
        // Killed before the archive had its header, it is missing or empty.
        if (file_exists(dir.file(name)) && !read_file(dir.file(name)).empty())
            partial += check_prefix(dir.path, name, tree, walk) < walk.size();
        expect_completed(dir.path, name, tree, walk);
    }
    std::cout << "kill trials: " << trial << ", " << partial << " left a partial archive\n";
    EXPECT_GT(partial, 0) << "no kill landed inside the add: the trials proved nothing";
}

TEST(FileSizeLimit, FailedAddKeepsEveryStoredRecordAndALaterAddCompletes) {
    if (const char* why = file_size_limit_missing()) GTEST_SKIP() << why;
    TempDir dir;
    const Tree tree = make_tree(dir.path, 70915, 60);
    qartool(dir.path, {"a", "full.qar", "tree"});
    const Names walk = slot_names(dir.file("full.qar"));
    const long full_blocks = long(read_file(dir.file("full.qar")).size() / 512);
    const char* soak = getenv("QAR_FSIZE_TRIALS");
    const int trials = soak ? std::max(1, atoi(soak)) : 4;
    for (int trial = 0; trial < trials && !HasFailure(); ++trial) {
        // From room for little more than the empty archive to just short of
        // all of it; SIGXFSZ ignored, writes past the limit fail as on a full disk.
        const std::string blocks = std::to_string(8 + (full_blocks - 8) * trial / trials);
        SCOPED_TRACE("file size limit of " + blocks + " blocks");
        const std::string name = "l" + std::to_string(trial) + ".qar";
        const ProcessResult add = qartool(dir.path, {"a", name, "tree"},
                                          "trap '' XFSZ; ulimit -f " + blocks + "; exec \"$@\"");
        EXPECT_EQ(add.status, 2);
        const size_t kept = check_prefix(dir.path, name, tree, walk);
        ASSERT_LT(kept, walk.size());
        // Every file not stored is reported, the one that did not fit first,
        // and counted in the last line.
        EXPECT_EQ(add.err.rfind("\"" + walk[kept] + "\": ", 0), 0u) << add.err;
        EXPECT_EQ(size_t(std::count(add.err.begin(), add.err.end(), '\n')),
                  walk.size() - kept + 1);
        const std::string summary = "qartool: " + std::to_string(walk.size() - kept) + " of " +
                                    std::to_string(walk.size()) + " files not stored\n";
        EXPECT_EQ(add.err.substr(add.err.size() - std::min(add.err.size(), summary.size())),
                  summary);
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
    std::filesystem::resize_file(path, uintmax_t(end));  // sparse
    std::mt19937 rng(7);
    std::string noise(101, '\0');  // incompressible, so that it cannot fit
    for (char& c : noise) c = char(rng());
    write_file(dir.file("toobig.dat"), noise);

    const ProcessResult add = qartool(dir.path, {"a", "near.qar", "toobig.dat"});
    EXPECT_EQ(add.err, "\"toobig.dat\": could not write data toobig.dat to file \"near.qar\": "
                       "the archive would grow past 2147483647 bytes\n"
                       "qartool: 1 of 1 files not stored\n");
    EXPECT_EQ(add.status, 2);
    EXPECT_EQ(std::filesystem::file_size(path), uintmax_t(end));
    EXPECT_NE(qartool(dir.path, {"l", "near.qar"}).out.find("\n    2 records"), std::string::npos);
}
