// Every command that encodes or decodes records, with different numbers of worker threads
// (the hidden -j option): the archive, the files, both outputs and the status never
// depend on it.
#include <gtest/gtest.h>

#include <filesystem>

#include "qar_bytes.h"
#include "run_qartool.h"
#include "test_support.h"

namespace {

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
// bytes, an empty file, and a name the archive already holds; edited, three of its files
// are changed and one added.
void make_tree(const std::string& root, bool edited) {
    for (const char* d : {"/a", "/b/c", "/b/d"}) std::filesystem::create_directories(root + d);
    std::vector<std::pair<std::string, std::string>> files = {
        {"/a/one.txt", content(300, 1)}, {"/a/Same.TXT", content(5000, 2)}, {"/a/empty.dat", ""},
        {"/a/old.txt", content(10, 4)},  {"/b/same.txt", content(700, 5)},
        {"/b/c/big.bin", content(300000, 6)}, {"/b/c/longer-than-sixteen-1", content(64, 7)},
        {"/b/c/longer-than-sixteen-2", content(65, 8)}, {"/b/d/noise.bin", content(20000, 9)},
        {"/b/d/tiny", content(1, 10)},   {"/b/d/two.txt", content(4096, 11)}};
    for (int i = 0; i < 40; ++i)
        files.push_back({"/b/d/n" + std::to_string(i), content(size_t(50 + i * 97), 12 + i)});
    if (edited) {
        files.insert(files.end(), {{"/a/one.txt", content(300, 99)}, {"/b/d/n3", content(2000, 98)},
                                   {"/b/d/tiny", "T"}, {"/b/fresh.txt", content(5000, 97)}});
    }
    for (const auto& [name, bytes] : files) {
        write_file(root + name, bytes);
        set_write_time(root + name, 1400000000);
    }
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

// Runs qartool -j N with the arguments in a folder holding src/ (the tree) and g.qar (the
// given bytes), for N = 0, 1 and 4. Every run must end as the one without workers (no
// thread at all), which is returned: status, both outputs, every file's bytes and time.
Outcome expect_same_for_any_workers(const std::string& archive,
                                    const std::vector<std::string>& args, int status,
                                    bool edited = false) {
    Outcome first;
    std::map<std::string, std::string> first_files;
    for (const char* workers : {"0", "1", "4"}) {
        TempDir dir;
        make_tree(dir.file("src"), edited);
        write_file(dir.file("g.qar"), archive);
        std::vector<std::string> argv = {"-j", workers};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessResult r = qartool(dir.path, argv);
        std::map<std::string, std::string> files = directory_snapshot(dir.path);
        for (auto& [name, bytes] : files)  // the archive's time is the run's
            if (name != "g.qar") bytes += " @" + std::to_string(write_time(dir.file(name)));
        if (workers[0] == '0') {
            EXPECT_EQ(status, r.status) << r.err;
            first = {r, read_file(dir.file("g.qar"))};
            first_files = files;
            continue;
        }
        const std::string with = " with -j " + std::string(workers);
        EXPECT_EQ(first.result.status, r.status) << "status" << with;
        EXPECT_EQ(first.result.out, r.out) << "standard output" << with;
        EXPECT_EQ(first.result.err, r.err) << "standard error" << with;
        EXPECT_TRUE(first_files == files) << "files or their times differ" << with;
    }
    return first;
}

const Outcome& added_tree() {
    static const Outcome added =
        expect_same_for_any_workers(starting_archive(0), {"a", "g.qar", "src"}, 2);
    return added;
}

// The tree's archive after an update of every file.
std::string updated_tree_archive() {
    TempDir dir;
    make_tree(dir.file("src"), false);
    write_file(dir.file("u.qar"), added_tree().archive);
    qartool(dir.path, {"u", "u.qar", "src"});
    return read_file(dir.file("u.qar"));
}

// A record past the end of the file, one overlapping the header, a name that is not a
// plain file name.
const std::string DAMAGED = raw_archive(
    0, {{"first", 3632, 0, 5, STAMP, 0}, {"gone", 3632, 1, 500, STAMP, 0},
        {"inside", 20, 2, 4, STAMP, 0}, {"../up", 3632, 3, 5, STAMP, 0},
        {"last", 3634, 4, 3, STAMP, 0}}, "12345");

TEST(QartoolWorkers, AddGivesTheSameArchiveAndOutputForAnyNumberOfWorkers) {
    EXPECT_NE(std::string::npos, added_tree().result.err.find("\"old.txt\" already exists"))
        << "the run without workers took a name the archive holds: " << added_tree().result.err;
    EXPECT_EQ(48u, raw_entries(added_tree().archive).size()) << "records after the add";
    expect_same_for_any_workers(starting_archive(password_key("pw")),
                                {"-p", "pw", "a", "g.qar", "src"}, 2);
}

TEST(QartoolWorkers, ExtractWritesTheSameFilesAndOutputForAnyNumberOfWorkers) {
    expect_same_for_any_workers(added_tree().archive, {"x", "g.qar"}, 0);
    expect_same_for_any_workers(DAMAGED, {"x", "g.qar"}, 2);
}

TEST(QartoolWorkers, TestGivesTheSameLinesForAnyNumberOfWorkers) {
    expect_same_for_any_workers(updated_tree_archive(), {"t", "g.qar"}, 0);
    expect_same_for_any_workers(DAMAGED, {"t", "g.qar"}, 2);
}

TEST(QartoolWorkers, CompactGivesTheSameArchiveForAnyNumberOfWorkers) {
    expect_same_for_any_workers(updated_tree_archive(), {"c", "g.qar"}, 0);
    expect_same_for_any_workers(updated_tree_archive(), {"-z", "c", "g.qar"}, 0);
    expect_same_for_any_workers(DAMAGED, {"-z", "c", "g.qar"}, 2);
}

TEST(QartoolWorkers, SyncGivesTheSameArchiveAndLinesForAnyNumberOfWorkers) {
    const Outcome synced =
        expect_same_for_any_workers(added_tree().archive, {"s", "g.qar", "src"}, 2, true);
    EXPECT_NE(std::string::npos, synced.result.out.find("1 added, 4 replaced, 44 unchanged"))
        << synced.result.out;
}

}  // namespace
