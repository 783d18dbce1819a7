// Add and extract with different numbers of worker threads (the hidden -j option): the
// archive, the files, both outputs and the status never depend on it.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "qar_bytes.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// Compared with the run without workers (no thread at all).
const unsigned WORKER_COUNTS[] = {1, 4};

// Contents that compress well, compress a little, or not at all, of the given size.
std::string content(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1664525u + 1013904223u;
        out[i] = seed % 3 == 0 ? char(seed >> 24) : char('a' + i % 7 + (seed % 5 == 0));
    }
    return out;
}

// A tree of small and larger files, with names that clash once lower-cased and cut to 16
// bytes, an empty file, and a name the archive already holds.
void make_tree(const std::string& root) {
    for (const char* d : {"/a", "/b/c", "/b/d"}) fs::create_directories(root + d);
    const std::pair<const char*, size_t> files[] = {
        {"/a/one.txt", 300},       {"/a/Same.TXT", 5000},   {"/a/empty.dat", 0},
        {"/a/old.txt", 10},        {"/b/same.txt", 700},    {"/b/c/big.bin", 300000},
        {"/b/c/longer-than-sixteen-1", 64}, {"/b/c/longer-than-sixteen-2", 65},
        {"/b/d/noise.bin", 20000}, {"/b/d/tiny", 1},        {"/b/d/two.txt", 4096},
    };
    uint32_t seed = 1;
    for (const auto& [name, size] : files) write_file(root + name, content(size, seed++));
    for (int i = 0; i < 40; ++i)
        write_file(root + "/b/d/n" + std::to_string(i), content(size_t(50 + i * 97), seed++));
}

// A time every record below can be given back as a file time (2014-06-15 10:30 UTC).
const uint32_t STAMP = 1408098600u;

std::string starting_archive(uint32_t key) {
    return raw_archive(key, {{"old.txt", 3632, 0, 3, STAMP, 0}}, "old");
}

struct Outcome {
    ProcessResult result;
    std::string archive;
};

Outcome add_with(const std::string& work, unsigned workers, const std::vector<std::string>& key,
                 uint32_t key_value) {
    const std::string qar = work + "/t" + std::to_string(workers) + ".qar";
    write_file(qar, starting_archive(key_value));
    std::vector<std::string> args = {QARTOOL_PATH};
    args.insert(args.end(), key.begin(), key.end());
    args.insert(args.end(), {"-j", std::to_string(workers), "a", qar, "src"});
    Outcome out = {run_process(args, work), ""};
    out.archive = read_file(qar);
    return out;
}

TEST(QartoolWorkers, AddGivesTheSameArchiveAndOutputForAnyNumberOfWorkers) {
    TempDir work;
    make_tree(work.file("src"));
    for (const auto& [key, key_value] :
         {std::make_pair(std::vector<std::string>{}, 0u),
          std::make_pair(std::vector<std::string>{"-p", "pw"}, password_key("pw"))}) {
        const Outcome alone = add_with(work.path, 0, key, key_value);
        EXPECT_NE(std::string::npos, alone.result.err.find("\"old.txt\" already exists"))
            << "the run without workers refused a name the archive holds: " << alone.result.err;
        EXPECT_EQ(48u, raw_entries(alone.archive).size()) << "records after the add";
        for (unsigned workers : WORKER_COUNTS) {
            const Outcome threaded = add_with(work.path, workers, key, key_value);
            const std::string with = " with " + std::to_string(workers) + " workers";
            EXPECT_EQ(alone.result.status, threaded.result.status) << "status" << with;
            EXPECT_EQ(alone.result.out, threaded.result.out) << "standard output" << with;
            EXPECT_EQ(alone.result.err, threaded.result.err) << "standard error" << with;
            EXPECT_TRUE(alone.archive == threaded.archive) << "archive bytes differ" << with;
        }
    }
}

// Every file of a folder with its bytes and write time.
std::map<std::string, std::pair<std::string, fs::file_time_type>> files_in(
    const std::string& dir) {
    std::map<std::string, std::pair<std::string, fs::file_time_type>> out;
    for (const auto& f : fs::directory_iterator(dir))
        out[f.path().filename().string()] = {read_file(f.path().string()),
                                             fs::last_write_time(f.path())};
    return out;
}

TEST(QartoolWorkers, ExtractWritesTheSameFilesAndOutputForAnyNumberOfWorkers) {
    TempDir work;
    make_tree(work.file("src"));
    // An archive the add made (compressed records), and one laid out by hand with a name
    // that is not a plain file name and a record whose bytes lie past the end of the file.
    const Outcome added = add_with(work.path, 0, {}, 0);
    write_file(work.file("made.qar"), added.archive);
    write_file(work.file("hand.qar"),
               raw_archive(0, {{"first", 3632, 0, 5, STAMP, 0}, {"../up", 3632, 1, 5, STAMP, 0},
                               {"gone", 3632, 2, 500, STAMP, 0}, {"last", 3634, 3, 3, STAMP, 0}},
                           "12345"));
    for (const char* archive : {"made.qar", "hand.qar"}) {
        std::map<std::string, std::pair<std::string, fs::file_time_type>> first_files;
        ProcessResult first;
        for (unsigned workers : {0u, WORKER_COUNTS[0], WORKER_COUNTS[1]}) {
            const std::string out = work.file("x" + std::to_string(workers) + archive);
            fs::create_directories(out);
            ProcessResult r = run_process(
                {QARTOOL_PATH, "-j", std::to_string(workers), "x", work.file(archive)}, out);
            const auto files = files_in(out);
            if (workers == 0) {
                first = r;
                first_files = files;
                EXPECT_LE(2u, files.size()) << "files extracted from " << archive;
                continue;
            }
            const std::string with = std::string(archive) + " with " + std::to_string(workers) +
                                     " workers";
            EXPECT_EQ(first.status, r.status) << "status, " << with;
            EXPECT_EQ(first.out, r.out) << "standard output, " << with;
            EXPECT_EQ(first.err, r.err) << "standard error, " << with;
            for (const auto& [name, file] : first_files) {
                EXPECT_EQ(1u, files.count(name)) << name << " missing, " << with;
                EXPECT_TRUE(files.count(name) == 0 || file == files.at(name))
                    << name << ": bytes or time differ, " << with;
            }
            EXPECT_EQ(first_files.size(), files.size()) << "files extracted, " << with;
        }
    }
}

}  // namespace

namespace {

// Runs the program in folder with each number of workers on a fresh copy of the archive
// (g.qar) and compares status, both outputs and the archive afterwards with the run
// without any, which is returned.
Outcome expect_same_in(const std::string& folder, const std::string& archive,
                       const std::vector<std::string>& args, int status) {
    const std::string path = folder + "/g.qar";
    Outcome first;
    for (unsigned workers : {0u, WORKER_COUNTS[0], WORKER_COUNTS[1]}) {
        write_file(path, archive);
        std::vector<std::string> argv = {QARTOOL_PATH, "-j", std::to_string(workers)};
        argv.insert(argv.end(), args.begin(), args.end());
        Outcome out = {run_process(argv, folder), read_file(path)};
        if (workers == 0) {
            EXPECT_EQ(status, out.result.status) << out.result.err;
            first = out;
            continue;
        }
        const std::string with = " with " + std::to_string(workers) + " workers";
        EXPECT_EQ(first.result.status, out.result.status) << "status" << with;
        EXPECT_EQ(first.result.out, out.result.out) << "standard output" << with;
        EXPECT_EQ(first.result.err, out.result.err) << "standard error" << with;
        EXPECT_TRUE(first.archive == out.archive) << "archive bytes differ" << with;
    }
    return first;
}

// As expect_same_in, for a command that takes the archive last, in a folder of its own.
void expect_same_for_any_workers(const std::string& archive, std::vector<std::string> args,
                                 int status) {
    TempDir work;
    args.push_back("g.qar");
    expect_same_in(work.path, archive, args, status);
}

// The tree's archive after an update of every file, and a hand-laid one with damage.
std::string updated_tree_archive() {
    TempDir work;
    make_tree(work.file("src"));
    const Outcome added = add_with(work.path, 0, {}, 0);
    write_file(work.file("u.qar"), added.archive);
    run_process({QARTOOL_PATH, "u", "u.qar", "src"}, work.path);
    return read_file(work.file("u.qar"));
}

const std::string DAMAGED = raw_archive(
    0, {{"first", 3632, 0, 5, STAMP, 0}, {"gone", 3632, 1, 500, STAMP, 0},
        {"inside", 20, 2, 4, STAMP, 0}, {"last", 3634, 3, 3, STAMP, 0}},
    "12345");

TEST(QartoolWorkers, TestGivesTheSameLinesForAnyNumberOfWorkers) {
    expect_same_for_any_workers(updated_tree_archive(), {"t"}, 0);
    expect_same_for_any_workers(DAMAGED, {"t"}, 2);
}

TEST(QartoolWorkers, CompactGivesTheSameArchiveForAnyNumberOfWorkers) {
    expect_same_for_any_workers(updated_tree_archive(), {"c"}, 0);
    expect_same_for_any_workers(updated_tree_archive(), {"-z", "c"}, 0);
    expect_same_for_any_workers(DAMAGED, {"-z", "c"}, 2);
}

}  // namespace

namespace {

// The tree's archive, then three of its files changed and one added (old.txt differs from
// its record too): s with any number of
// workers gives the same lines and the same archive.
TEST(QartoolWorkers, SyncGivesTheSameArchiveAndLinesForAnyNumberOfWorkers) {
    TempDir work;
    make_tree(work.file("src"));
    const Outcome added = add_with(work.path, 0, {}, 0);
    write_file(work.file("src/a/one.txt"), content(300, 99));
    write_file(work.file("src/b/d/n3"), content(2000, 98));
    write_file(work.file("src/b/d/tiny"), "T");
    write_file(work.file("src/b/fresh.txt"), content(5000, 97));
    const Outcome first = expect_same_in(work.path, added.archive, {"s", "g.qar", "src"}, 2);
    EXPECT_NE(std::string::npos, first.result.out.find("1 added, 4 replaced, 44 unchanged"))
        << first.result.out;
}

}  // namespace
