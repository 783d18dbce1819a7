// One writer at a time: writers of one archive or sprite table wait for each
// other, readers never wait.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "platform.h"
#include "qar_bytes.h"
#include "test_support.h"

namespace {

// Holds the writers' lock on a file, as a writing tool does, until it goes away.
struct HeldLock {
    FILE* file;
    explicit HeldLock(const std::string& path) : file(plat_open_stream(path.c_str(), "rb")) {
        EXPECT_NE(file, nullptr) << "cannot open " << path;
        if (file != nullptr) {
            EXPECT_EQ(plat_try_lock(file), PLAT_LOCK_TAKEN) << "lock of " << path;
        }
    }
    void release() {
        if (file != nullptr) plat_close_stream(file);
        file = nullptr;
    }
    ~HeldLock() { release(); }
};

std::set<std::string> stored_names(const std::string& archive) {
    std::set<std::string> names;
    for (const RawEntry& e : raw_entries(read_file(archive))) names.insert(e.name);
    return names;
}

// A folder of count files "<prefix><i>.dat" of a few hundred bytes each.
std::set<std::string> make_files(const std::string& dir, const std::string& prefix, int count) {
    std::filesystem::create_directories(dir);
    std::set<std::string> names;
    for (int i = 0; i < count; ++i) {
        const std::string name = prefix + std::to_string(i) + ".dat";
        write_file(dir + "/" + name, std::string(200 + i, char('a' + i % 26)));
        names.insert(name);
    }
    return names;
}

// Two adds of disjoint trees started together, into a new archive and then
// into the one they made: every file of both stored, both silent and content.
TEST(OneWriter, TwoAddsAtOnceStoreEveryFileOfBoth) {
    if (const char* why = concurrent_processes_missing()) GTEST_SKIP() << why;
    TempDir dir;
    std::set<std::string> expected;
    for (int round = 0; round < 8 && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string a = "a" + std::to_string(round) + "_";
        const std::string b = "b" + std::to_string(round) + "_";
        for (const std::string& name : make_files(dir.file(a + "tree"), a, 60)) expected.insert(name);
        for (const std::string& name : make_files(dir.file(b + "tree"), b, 60)) expected.insert(name);
        RunningProcess* first = start_process({QARTOOL_PATH, "a", "x.qar", a + "tree"}, dir.path);
        RunningProcess* second = start_process({QARTOOL_PATH, "a", "x.qar", b + "tree"}, dir.path);
        const ProcessResult one = finish_process(first);
        const ProcessResult two = finish_process(second);
        EXPECT_EQ(one.status, 0) << one.err;
        EXPECT_EQ(two.status, 0) << two.err;
        EXPECT_EQ(stored_names(dir.file("x.qar")), expected) << "files of one add were lost";
    }
}

// An empty x.qar, whose writers' lock the test holds, and an add of the file f
// into it started meanwhile; first_line is the add's first line on stderr.
std::string empty_archive_and_file(const TempDir& dir) {
    write_file(dir.file("x.qar"), raw_archive(0, {}, ""));
    write_file(dir.file("f"), "abc");
    return dir.file("x.qar");
}

struct WaitingAdd {
    TempDir dir;
    HeldLock lock{empty_archive_and_file(dir)};
    RunningProcess* add = start_process({QARTOOL_PATH, "a", "x.qar", "f"}, dir.path);
    std::string first_line = read_error_line(add);
};

TEST(OneWriter, ASecondWriterWaitsAndSaysSoOnce) {
    if (const char* why = concurrent_processes_missing()) GTEST_SKIP() << why;
    WaitingAdd waiting;
    EXPECT_EQ(waiting.first_line, "waiting for another process to finish writing \"x.qar\"\n");
    EXPECT_EQ(raw_archive(0, {}, ""), read_file(waiting.dir.file("x.qar")))
        << "written while waiting";
    waiting.lock.release();
    const ProcessResult r = finish_process(waiting.add);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "waiting for another process to finish writing \"x.qar\"\n");
    EXPECT_EQ(stored_names(waiting.dir.file("x.qar")), std::set<std::string>{"f"});
}

// What an add that created the archive and stored nothing does while another
// writer waits: it removes the archive before letting go. The waiting add must
// not store into the removed file and end 0 as if the file were kept.
TEST(OneWriter, AWriterWhoseArchiveWasRemovedWhileItWaitedSaysSo) {
    if (const char* why = concurrent_processes_missing()) GTEST_SKIP() << why;
    WaitingAdd waiting;
    EXPECT_NE(waiting.first_line, "") << "the add did not wait";
    ASSERT_TRUE(plat_remove_file(waiting.dir.file("x.qar").c_str()));
    waiting.lock.release();
    const ProcessResult r = finish_process(waiting.add);
    EXPECT_EQ(r.status, 1) << "the add ended as if its file were stored: " << r.err;
    EXPECT_NE(r.err.find("ERROR: could not open qar \"x.qar\" for write\n"), std::string::npos)
        << r.err;
    EXPECT_FALSE(file_exists(waiting.dir.file("x.qar"))) << "an archive appeared";
}

// Whichever of the two gets the lock first, the add's file ends up in the
// compacted archive: an add that waited while the archive was replaced adds
// to the new one.
TEST(OneWriter, AnAddWaitingForACompactionAddsToTheCompactedArchive) {
    if (const char* why = concurrent_processes_missing()) GTEST_SKIP() << why;
    for (int round = 0; round < 3 && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempDir dir;
        write_file(dir.file("x.qar"), raw_archive(0, {{"gone", 3632, 0, 3, 0, 1},
                                                      {"kept", 3635, 1, 3, 0, 0}}, "abcdef"));
        write_file(dir.file("f"), "new");
        HeldLock lock(dir.file("x.qar"));
        RunningProcess* compact = start_process({QARTOOL_PATH, "c", "x.qar"}, dir.path);
        EXPECT_NE(read_error_line(compact), "") << "the compaction did not wait";
        RunningProcess* add = start_process({QARTOOL_PATH, "a", "x.qar", "f"}, dir.path);
        EXPECT_NE(read_error_line(add), "") << "the add did not wait";
        lock.release();
        const ProcessResult c = finish_process(compact);
        const ProcessResult a = finish_process(add);
        EXPECT_EQ(c.status, 0) << c.err;
        EXPECT_EQ(a.status, 0) << a.err;
        EXPECT_EQ(stored_names(dir.file("x.qar")), (std::set<std::string>{"kept", "f"}))
            << "the add's record was lost, or the compaction did not happen";
    }
}

// A reader that waited would hang here, with the lock held for the whole test.
TEST(OneWriter, AReaderNeverWaits) {
    TempDir dir;
    write_file(dir.file("x.qar"), raw_archive(0, {{"r", 3632, 0, 3, 0, 0}}, "abc"));
    HeldLock lock(dir.file("x.qar"));
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
    EXPECT_EQ(read_error_line(build),
              "waiting for another process to finish writing \"k.stb\"\n");
    EXPECT_EQ(read_file(dir.file("k.stb")), "old table") << "replaced while waiting";
    lock.release();
    const ProcessResult r = finish_process(build);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("k.stb")).size(), 52u) << "the table was not written";
}

}  // namespace
