// One writer at a time: writers of one archive or sprite table wait for each other and then
// work on what the one before them left; readers never wait.
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "platform.h"
#include "qar_bytes.h"
#include "test_support.h"

namespace {

const std::string WAITING = "waiting for another process to finish writing \"x.qar\"\n";

// The writers' lock on a file, held as a writing tool holds it, until released.
struct HeldLock {
    FILE* file;
    explicit HeldLock(const std::string& path) : file(plat_open_stream(path.c_str(), "rb")) {
        EXPECT_NE(file, nullptr) << "cannot open " << path;
        EXPECT_TRUE(file == nullptr || plat_try_lock(file) == PLAT_LOCK_TAKEN) << "lock of " << path;
    }
    void release() {
        if (file != nullptr) plat_close_stream(std::exchange(file, nullptr));
    }
    ~HeldLock() { release(); }
};

std::set<std::string> stored_names(const std::string& archive) {
    std::set<std::string> names;
    for (const RawEntry& e : raw_entries(read_file(archive))) names.insert(e.name);
    return names;
}

// Lays out the archive x.qar and the file f beside it; returns x.qar's path.
std::string archive_and_file(const TempDir& dir, const std::string& archive) {
    write_file(dir.file("x.qar"), archive);
    write_file(dir.file("f"), "abc");
    return dir.file("x.qar");
}

// An add of f into x.qar, whose lock the test holds; first_line is the add's first line on
// stderr.
struct WaitingAdd {
    TempDir dir;
    HeldLock lock{archive_and_file(dir, raw_archive(0, {}, ""))};
    RunningProcess* add = start_process({QARTOOL_PATH, "a", "x.qar", "f"}, dir.path);
    std::string first_line = read_error_line(add);
};

// What the writer before it stored while it waited (the test, here) is kept.
TEST(OneWriter, ASecondWriterWaitsSaysSoOnceAndAddsToWhatTheFirstWrote) {
    if (const char* why = concurrent_processes_missing()) GTEST_SKIP() << why;
    WaitingAdd waiting;
    EXPECT_EQ(waiting.first_line, WAITING);
    EXPECT_EQ(raw_archive(0, {}, ""), read_file(waiting.dir.file("x.qar"))) << "written while waiting";
    write_file(waiting.dir.file("x.qar"), raw_archive(0, {{"first", 3632, 0, 3, 0, 0}}, "abc"));
    waiting.lock.release();
    const ProcessResult r = finish_process(waiting.add);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, WAITING);
    EXPECT_EQ(stored_names(waiting.dir.file("x.qar")), (std::set<std::string>{"first", "f"}))
        << "the waiting add lost the first writer's record or its own";
}

// What an add that created the archive and stored nothing does while another writer waits:
// it removes the archive before letting go. The waiting add must not store into the removed
// file and end 0 as if the file were kept.
TEST(OneWriter, AWriterWhoseArchiveWasRemovedWhileItWaitedSaysSo) {
    if (const char* why = concurrent_processes_missing()) GTEST_SKIP() << why;
    WaitingAdd waiting;
    EXPECT_EQ(waiting.first_line, WAITING) << "the add did not wait";
    ASSERT_TRUE(plat_remove_file(waiting.dir.file("x.qar").c_str()));
    waiting.lock.release();
    const ProcessResult r = finish_process(waiting.add);
    EXPECT_EQ(r.status, 1) << "the add ended as if its file were stored: " << r.err;
    EXPECT_NE(r.err.find("ERROR: could not open qar \"x.qar\" for write\n"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(waiting.dir.file("x.qar"))) << "an archive appeared";
}

// Whichever of the two gets the lock first, the add's file ends up in the compacted archive:
// an add that waited while the archive was replaced adds to the new one.
TEST(OneWriter, AnAddWaitingForACompactionAddsToTheCompactedArchive) {
    if (const char* why = concurrent_processes_missing()) GTEST_SKIP() << why;
    for (int round = 0; round < 3 && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempDir dir;
        HeldLock lock(archive_and_file(dir, raw_archive(0, {{"gone", 3632, 0, 3, 0, 1}, {"kept", 3635, 1, 3, 0, 0}}, "abcdef")));
        RunningProcess* compact = start_process({QARTOOL_PATH, "c", "x.qar"}, dir.path);
        EXPECT_NE(read_error_line(compact), "") << "the compaction did not wait";
        RunningProcess* add = start_process({QARTOOL_PATH, "a", "x.qar", "f"}, dir.path);
        EXPECT_NE(read_error_line(add), "") << "the add did not wait";
        lock.release();
        const ProcessResult c = finish_process(compact), a = finish_process(add);
        EXPECT_EQ(c.status, 0) << c.err;
        EXPECT_EQ(a.status, 0) << a.err;
        EXPECT_EQ(stored_names(dir.file("x.qar")), (std::set<std::string>{"kept", "f"}))
            << "the add's record was lost, or the compaction did not happen";
    }
}

// A reader that waited would hang here, with the lock held for the whole test.
TEST(OneWriter, AReaderNeverWaits) {
    TempDir dir;
    HeldLock lock(archive_and_file(dir, raw_archive(0, {{"r", 3632, 0, 3, 0, 0}}, "abc")));
    const ProcessResult list = run_process({QARTOOL_PATH, "l", "x.qar"}, dir.path);
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.err, "");
    const ProcessResult extract = run_process({QARTOOL_PATH, "x", "x.qar"}, dir.path);
    EXPECT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(read_file(dir.file("r")), "abc");
}

TEST(OneWriter, ASpriteTableWriterWaitsForTheOneBeforeIt) {
    if (const char* why = concurrent_processes_missing()) GTEST_SKIP() << why;
    TempDir dir;
    write_file(dir.file("k.stb"), "old table");
    write_file(dir.file("a.txt"), "\"a\" t 1 0 0 0 0x0\n");
    HeldLock lock(dir.file("k.stb"));
    RunningProcess* build = start_process({SPRTOOL_PATH, "wt", "k.stb", "a.txt"}, dir.path);
    EXPECT_EQ(read_error_line(build), "waiting for another process to finish writing \"k.stb\"\n");
    EXPECT_EQ(read_file(dir.file("k.stb")), "old table") << "replaced while waiting";
    lock.release();
    const ProcessResult r = finish_process(build);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("k.stb")).size(), 52u) << "the table was not written";
}

}  // namespace
