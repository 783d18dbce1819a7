// Archives left behind by interrupted appends, failed writes (a full disk),
// and the format's size limit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "archive_handle.h"
#include "archive_test_util.h"
#include "record_ops.h"
#include "test_support.h"

namespace {

void set_header_count(const std::string& path, int32_t count) {
    std::string file = read_file(path);
    set32(&file, 16, uint32_t(count));
    write_file(path, file);
}

void append_through_fresh_open(const std::string& path, int first, int n) {
    ArchiveHandle* handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    append_small_records(handle, first, n);
    close_archive(handle);
}

// Runs body in a child process whose writes fail with EFBIG past limit bytes
// (a full disk without root); gives the child's exit status, or -1.
int run_with_file_limit(int64_t limit, const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit rl = {rlim_t(limit), rlim_t(limit)};
        signal(SIGXFSZ, SIG_IGN);
        _exit(setrlimit(RLIMIT_FSIZE, &rl) == 0 ? body() : 250);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace

TEST(InterruptedAppend, HeaderNotRaisedOpensWithTheRecordAndNextAppendMendsIt) {
    // 7, 99, 150: the slot was written, not the header (state a). 100, 200:
    // the 100th record of a table and the table chained on behind it were
    // written, not the header (state b).
    for (int done : {7, 99, 150, 100, 200}) {
        TempDir dir;
        const std::string path = dir.file("a.qar");
        build_small(path, done);
        set_header_count(path, done - 1);
        const std::string interrupted = read_file(path);
        for (int for_write : {0, 1}) {
            ArchiveHandle* handle = must_open(path, for_write);
            ASSERT_NE(nullptr, handle);
            EXPECT_EQ(done, handle->entry_count) << "the completed record is listed";
            EXPECT_EQ(done, handle->next_index);
            EXPECT_EQ(done / 100 + 1, handle->table_count);
            close_archive(handle);
        }
        EXPECT_EQ(interrupted, read_file(path)) << "opening writes nothing";
        expect_small_records(path, done);
        append_through_fresh_open(path, done, 1);
        EXPECT_EQ(expected_small_archive(done + 1), read_file(path)) << done;
    }
}

TEST(InterruptedAppend, OtherDisagreementsWithTheCountAreStillRefused) {
    TempDir dir;
    const std::string path = dir.file("r.qar");
    build_small(path, 100);
    const std::string good = read_file(path);
    const uint32_t table1 = get32(good, 28);
    std::string extra_not_at_99 = good, extra_not_empty = good, before_not_full = good;
    set32(&extra_not_at_99, 16, 98);
    set32(&extra_not_empty, 16, 99);
    extra_not_empty.replace(slot_at(table1, 0), 36, entry_bytes("x", 3632, 100, 1, 0, 0));
    set32(&before_not_full, 16, 99);
    before_not_full.replace(slot_at(28, 99), 36, std::string(36, '\0'));
    const std::string too_many_slots = "Invalid header in file \"r.qar\"";
    const std::string too_many_tables = "Header has 1 dtables; actually 2 dtables in file \"r.qar\"";
    for (const auto& [file, message] : {std::pair{extra_not_at_99, too_many_slots},
                                        std::pair{extra_not_empty, too_many_slots},
                                        std::pair{before_not_full, too_many_tables}}) {
        write_file(path, file);
        EXPECT_EQ(message, open_error(path, 1));
    }
    // A last table with fewer used slots than counted reads, but takes no
    // append: the counted slot would follow an empty one.
    build_small(dir.file("s.qar"), 5);
    set_header_count(dir.file("s.qar"), 6);
    const std::string short_table = read_file(dir.file("s.qar"));
    expect_small_records(dir.file("s.qar"), 5);
    ArchiveHandle* handle = must_open(dir.file("s.qar"), 1);
    ASSERT_NE(nullptr, handle);
    uint8_t byte = 1;
    EXPECT_EQ(0, append_record(handle, &byte, 1, 0, "more", nullptr));
    EXPECT_STREQ("Could not write data more to file \"s.qar\": its directory does not match its header",
                 last_error_text());
    close_archive(handle);
    EXPECT_EQ(short_table, read_file(dir.file("s.qar")));
}

TEST(InterruptedAppend, UnreferencedBytesAtTheEndAreHarmless) {
    // Killed after the 100th record's data and its new empty table were
    // written, before the table that would point at them.
    TempDir dir;
    const std::string path = dir.file("o.qar");
    build_small(path, 99);
    write_file(path, read_file(path) + "partial-record" + std::string(3604, '\0'));
    expect_small_records(path, 99);
    append_through_fresh_open(path, 99, 2);
    EXPECT_EQ("", format_rule_violation(read_file(path)));
    expect_small_records(path, 101);
}

TEST(FailedWrite, FullDiskDuringAppendsKeepsTheArchiveReadableAndCompletable) {
    // Limits sweep the bytes of records 95 to 114 and of the table that
    // record 99 chains on, so the failure hits each of an append's writes.
    TempDir dir;
    const std::string path = dir.file("t.qar");
    build_small(dir.file("base.qar"), 95);
    const std::string base = read_file(dir.file("base.qar"));
    const int64_t start = int64_t(base.size()), stop = int64_t(expected_small_archive(115).size());
    int trials = 0;
    bool table_write_failed = false;
    for (int64_t limit = start; limit <= stop && !HasFailure(); limit += limit < start + 120 || limit > stop - 120 ? 1 : 61) {
        write_file(path, base);
        // The child's status: records appended, +100 when the first failure
        // left the expected message and the handle refuses further appends.
        int status = run_with_file_limit(limit, [&] {
            ArchiveHandle* handle = open_archive(path.c_str(), 1);
            int done = 0;
            for (; handle != nullptr && done < 20; ++done) {
                std::vector<uint8_t> data = small_record(95 + done);
                std::string name = "rec" + std::to_string(95 + done);
                if (append_record(handle, data.data(), uint32_t(data.size()), 1095 + done, name.c_str(), nullptr))
                    continue;
                std::string message = last_error_text();
                bool expected = message == "Could not write data " + name + " to file \"t.qar\"" ||
                                message == "Error writing to file \"t.qar\"";
                return done + (expected && !append_record(handle, data.data(), 1, 0, "x", nullptr) ? 100 : 0) +
                       (message[0] == 'E' ? 50 : 0);
            }
            return done + 100;
        });
        ASSERT_GE(status, 100) << "limit " << limit;
        table_write_failed |= status >= 150;
        const int done = status % 50;
        ++trials;
        expect_small_records(path, 95 + done);  // as readable as before the failing record
        append_through_fresh_open(path, 95 + done, 20 - done);
        ASSERT_EQ("", format_rule_violation(read_file(path))) << "limit " << limit;
        expect_small_records(path, 115);
    }
    EXPECT_GT(trials, 200);
    EXPECT_TRUE(table_write_failed) << "some trial failed writing the chained table";
}

TEST(FailedWrite, FullDiskDuringReplaceOrCreateIsReported) {
    TempDir dir;
    const std::string path = dir.file("r.qar");
    build_small(path, 3);
    const std::string before = read_file(path);
    uint8_t data[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(0, run_with_file_limit(int64_t(before.size()) + 2, [&] {
        ArchiveHandle* handle = open_archive(path.c_str(), 1);
        int replaced = replace_record(handle, data, 5, 0, "rec1");
        return replaced == 0 && std::string(last_error_text()) == "Could not write data rec1 to file \"r.qar\"" ? 0 : 1;
    }));
    EXPECT_EQ(before, read_file(path).substr(0, before.size())) << "only unreferenced bytes were added";
    expect_small_records(path, 3);
    ArchiveHandle* handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(1, replace_record(handle, data, 5, 0, "rec1")) << last_error_text();
    close_archive(handle);

    const std::string created = dir.file("c.qar");
    EXPECT_EQ(0, run_with_file_limit(1000, [&] {
        return create_archive(created.c_str(), 0) == 0 &&
                       "Error writing to file \"" + created + "\"" == last_error_text() ? 0 : 1;
    }));
    EXPECT_EQ("Could not read dtable 0 of file \"c.qar\"", open_error(created, 1));
}

TEST(SizeLimit, AppendsThatWouldPassTwoGigabytesFailAndWriteNothing) {
    TempDir dir;
    const std::string path = dir.file("big.qar");
    build_small(path, 99);
    const int64_t max = 2147483647;
    ASSERT_EQ(0, truncate(path.c_str(), off_t(max - 3604 - 10)));  // sparse, unreferenced
    auto limit_message = [](const std::string& name) {
        return "Could not write data " + name + " to file \"big.qar\": the archive would grow past 2147483647 bytes";
    };
    ArchiveHandle* handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    std::vector<uint8_t> data = noise_bytes(20, 1);
    uint32_t stored = 0;
    // The 100th record would fit, the table it chains on would not.
    EXPECT_EQ(0, append_record(handle, data.data(), 20, 0, "hundredth", &stored));
    EXPECT_EQ(limit_message("hundredth"), last_error_text());
    std::vector<uint8_t> large(3620, 1);
    EXPECT_EQ(0, replace_record(handle, large.data(), 3620, 0, "rec5"));
    EXPECT_EQ(limit_message("rec5"), last_error_text());
    EXPECT_EQ(max - 3604 - 10, file_size_of(path));
    // Exactly up to the limit is allowed.
    data = noise_bytes(10, 2);
    EXPECT_EQ(1, append_record(handle, data.data(), 10, 0, "last", &stored)) << last_error_text();
    EXPECT_EQ(max, file_size_of(path));
    EXPECT_EQ(0, append_record(handle, data.data(), 1, 0, "more", nullptr));
    EXPECT_EQ(limit_message("more"), last_error_text());
    close_archive(handle);

    handle = must_open(path, 0);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(100, handle->entry_count);
    uint32_t size = 0;
    uint8_t* back = read_record_alloc(handle, "last", &size);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(noise_bytes(10, 2), std::vector<uint8_t>(back, back + size));
    EXPECT_EQ(uint32_t(max - 3604 - 10), find_entry(handle, "last")->data_offset);
    free(back);
    close_archive(handle);
}
