// Every command that encodes or decodes records, with different numbers of worker threads
// (the hidden -j option): the archive, the files, both outputs and the status never change.
#include <gtest/gtest.h>

#include <tuple>

#include "run_qartool.h"

namespace {

// A tree of small and larger files, with names that clash once lower-cased and cut to 16
// bytes, an empty file, and old.txt, a name the starting archives hold.
void make_tree(const std::string& root) {
    std::vector<std::pair<std::string, std::string>> files = {
        {"a/Same.TXT", sample(5000, 2, false)},
        {"a/empty.dat", ""},
        {"a/old.txt", sample(10, 4, true)},
        {"b/same.txt", sample(700, 5, true)},
        {"b/c/big.bin", sample(300000, 6, true)},
        {"b/c/longer-than-sixteen-1", sample(64, 7, false)},
        {"b/c/longer-than-sixteen-2", sample(65, 8, true)},
        {"b/d/noise.bin", sample(20000, 9, false)},
        {"b/d/tiny", sample(1, 10, true)}};
    for (int i = 0; i < 40; ++i)
        files.push_back({"b/d/n" + std::to_string(i), sample(size_t(50 + i * 97), 12 + i, i % 3)});
    write_files(root, files, 1400000000);
}

// Runs qartool -j N with the arguments in a folder holding src/ (the tree) and g.qar (the
// given bytes), for N = 0, 1 and 4. Every run must end as the one without workers (no
// thread at all): status, both outputs, every file's bytes and time. Returns its archive.
std::string expect_same_for_any_workers(const std::string& archive,
                                        const std::vector<std::string>& args, int status) {
    SCOPED_TRACE(shown(args));
    ProcessResult first{};
    std::map<std::string, std::string> first_files;
    for (const char* workers : {"0", "1", "4"}) {
        TempDir dir;
        make_tree(dir.file("src"));
        write_file(dir.file("g.qar"), archive);
        std::vector<std::string> argv = {"-j", workers};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessResult r = qartool(dir.path, argv);
        std::map<std::string, std::string> files = directory_snapshot(dir.path);
        for (auto& [name, bytes] : files)  // the archive's time is the run's
            if (name != "g.qar") bytes += " @" + std::to_string(write_time(dir.file(name)));
        if (workers[0] == '0') {
            EXPECT_EQ(status, r.status) << r.err;
            first = r;
            first_files = files;
            continue;
        }
        const std::string with = " with -j " + std::string(workers);
        EXPECT_EQ(first.status, r.status) << "status" << with;
        EXPECT_EQ(first.out, r.out) << "standard output" << with;
        EXPECT_EQ(first.err, r.err) << "standard error" << with;
        EXPECT_TRUE(first_files == files) << "files or their times differ" << with;
    }
    return first_files["g.qar"];
}

// Times every record can be given back as a file time (2014-06-15 10:30 UTC). The damaged
// archive has a record past the end of the file, one overlapping the header, and a name
// that is not a plain file name.
const uint32_t STAMP = 1408098600u;
const std::string OLD = raw_archive(0, {{"old.txt", 3632, 0, 3, STAMP, 0}}, "old");
const std::string MASKED =
    raw_archive(password_key("pw"), {{"old.txt", 3632, 0, 3, STAMP, 0}}, "old");
const std::string DAMAGED = raw_archive(
    0, {{"first", 3632, 0, 5, STAMP, 0}, {"gone", 3632, 1, 500, STAMP, 0},
        {"inside", 20, 2, 4, STAMP, 0}, {"../up", 3632, 3, 5, STAMP, 0},
        {"last", 3634, 4, 3, STAMP, 0}}, "12345");

// The tree added, then updated (stored uncompressed), then each command on an archive.
TEST(QartoolWorkers, EveryCommandEndsTheSameForAnyNumberOfWorkers) {
    const std::string added = expect_same_for_any_workers(OLD, {"a", "g.qar", "src"}, 2);
    const std::string updated = expect_same_for_any_workers(added, {"u", "g.qar", "src"}, 2);
    // Each row: the archive the command starts from, the command, the status it ends with.
    const std::tuple<const std::string*, std::vector<std::string>, int> cases[] = {
        {&MASKED, {"-p", "pw", "a", "g.qar", "src"}, 2},
        {&OLD, {"s", "g.qar", "src"}, 2},
        {&added, {"x", "g.qar"}, 0},
        {&DAMAGED, {"x", "g.qar"}, 2},
        {&updated, {"t", "g.qar"}, 0},
        {&DAMAGED, {"t", "g.qar"}, 2},
        {&updated, {"c", "g.qar"}, 0},
        {&updated, {"-z", "c", "g.qar"}, 0},
        {&DAMAGED, {"-z", "c", "g.qar"}, 2},
    };
    for (const auto& [start, args, status] : cases)
        expect_same_for_any_workers(*start, args, status);
}

}  // namespace
