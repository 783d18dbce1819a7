// Archives left behind by interrupted appends, failed writes (a full disk),
// and the format's size limit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive_handle.h"
#include "archive_test_util.h"
#include "record_ops.h"
#include "test_support.h"

namespace {

// Builds path with records 0 .. n-1 appended normally.
void build_small(const std::string& path, int n) {
    ASSERT_EQ(1, create_archive(path.c_str(), 0)) << last_error_text();
    ArchiveHandle* handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    append_small_records(handle, 0, n);
    close_archive(handle);
}

void set_header_count(const std::string& path, int32_t count) {
    std::string file = read_file(path);
    set32(&file, 16, uint32_t(count));
    write_file(path, file);
}

void append_one(const std::string& path, int index) {
    ArchiveHandle* handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    append_small_records(handle, index, 1);
    close_archive(handle);
}

// Every small record 0 .. n-1 is listed and reads back as appended.
void expect_records_intact(const std::string& path, int n) {
    ArchiveHandle* handle = must_open(path, 0);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(n, handle->entry_count);
    for (int i = 0; i < n; ++i) {
        std::string name = "rec" + std::to_string(i);
        uint32_t size = 0;
        uint8_t* data = read_record_alloc(handle, name.c_str(), &size);
        ASSERT_NE(nullptr, data) << name << ": " << last_error_text();
        EXPECT_EQ(small_record(i), std::vector<uint8_t>(data, data + size)) << name;
        free(data);
    }
    close_archive(handle);
}

std::string open_error(const std::string& path, int for_write) {
    ArchiveHandle* handle = open_archive(path.c_str(), for_write);
    if (handle != nullptr) {
        close_archive(handle);
        return "(opened)";
    }
    return last_error_text();
}

}  // namespace

TEST(InterruptedAppend, SlotWrittenHeaderNotOpensAndNextAppendCompletesTheFormat) {
    // State (a), in the middle of a table and on its 99th slot.
    for (int done : {7, 99, 150}) {
        TempDir dir;
        std::string path = dir.file("a.qar");
        build_small(path, done);
        set_header_count(path, done - 1);
        for (int for_write : {0, 1}) {
            ArchiveHandle* handle = must_open(path, for_write);
            ASSERT_NE(nullptr, handle);
            EXPECT_EQ(done, handle->entry_count) << "the completed record is listed";
            EXPECT_EQ(done, handle->next_index);
            EXPECT_NE(nullptr, find_entry(handle, ("rec" + std::to_string(done - 1)).c_str()));
            close_archive(handle);
        }
        EXPECT_EQ(int32_t(done - 1), int32_t(get32(read_file(path), 16))) << "opening writes nothing";
        append_one(path, done);
        EXPECT_EQ(expected_small_archive(done + 1), read_file(path)) << done;
    }
}

TEST(InterruptedAppend, ExtraTableChainedHeaderAt99OpensAndNextAppendCompletesTheFormat) {
    // State (b): the 100th (or 200th) record and its new table are in place,
    // the header still counts one less.
    for (int done : {100, 200}) {
        TempDir dir;
        std::string path = dir.file("b.qar");
        build_small(path, done);
        set_header_count(path, done - 1);
        for (int for_write : {0, 1}) {
            ArchiveHandle* handle = must_open(path, for_write);
            ASSERT_NE(nullptr, handle);
            EXPECT_EQ(done, handle->entry_count);
            EXPECT_EQ(done / 100 + 1, handle->table_count);
            EXPECT_EQ(done, handle->next_index);
            close_archive(handle);
        }
        append_one(path, done);
        EXPECT_EQ(expected_small_archive(done + 1), read_file(path)) << done;
    }
}

TEST(InterruptedAppend, OtherDisagreementsWithTheCountAreStillRefused) {
    TempDir dir;
    std::string path = dir.file("r.qar");
    build_small(path, 100);
    std::string good = read_file(path);
    const uint32_t table1 = get32(good, 28);

    // An extra table when the header's last table is not at 99.
    std::string file = good;
    set32(&file, 16, 98);
    write_file(path, file);
    EXPECT_EQ("Header has 1 dtables; actually 2 dtables in file \"r.qar\"", open_error(path, 0));

    // The extra table is not empty.
    file = good;
    set32(&file, 16, 99);
    file.replace(table_slot_offset(table1, 0), 36, entry_bytes("x", 3632, 100, 1, 0, 0));
    write_file(path, file);
    EXPECT_EQ("Header has 1 dtables; actually 2 dtables in file \"r.qar\"", open_error(path, 1));

    // The table before the extra one is not full.
    file = good;
    set32(&file, 16, 99);
    file.replace(table_slot_offset(28, 99), 36, std::string(36, '\0'));
    write_file(path, file);
    EXPECT_EQ("Header has 1 dtables; actually 2 dtables in file \"r.qar\"", open_error(path, 0));
}

TEST(InterruptedAppend, UnreferencedBytesAtTheEndAreHarmless) {
    // Killed after the data (and, for the 100th record, the new empty table)
    // were written but before the table that would point at them.
    TempDir dir;
    std::string path = dir.file("o.qar");
    build_small(path, 99);
    std::string file = read_file(path);
    write_file(path, file + "partial-record-bytes" + std::string(3604, '\0'));
    expect_records_intact(path, 99);
    append_one(path, 99);
    append_one(path, 100);
    file = read_file(path);
    EXPECT_EQ("", format_rule_violation(file));
    expect_records_intact(path, 101);
    // The chained table sits behind the new record's bytes, not on the orphan.
    uint32_t table1 = get32(file, 28);
    EXPECT_EQ(get32(file, table_slot_offset(28, 99) + 16) + get32(file, table_slot_offset(28, 99) + 24),
              table1);
}

TEST(InterruptedAppend, ShortLastTableOpensForReadingButRefusesAppends) {
    // A damaged last table with fewer used slots than the header counts: an
    // append into the counted slot would leave an empty slot before it.
    TempDir dir;
    std::string path = dir.file("s.qar");
    build_small(path, 5);
    set_header_count(path, 6);
    std::string before = read_file(path);
    expect_records_intact(path, 5);
    ArchiveHandle* handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    uint8_t byte = 1;
    uint32_t stored = 0;
    EXPECT_EQ(0, append_record(handle, &byte, 1, 0, "more", &stored));
    EXPECT_STREQ("Could not write data more to file \"s.qar\": its directory does not match its header",
                 last_error_text());
    close_archive(handle);
    EXPECT_EQ(before, read_file(path));
}

namespace {

// What a child that appends under a file size limit reports back.
struct LimitedRun {
    int appended = -1;        // records appended before the first failure
    std::string message;      // the last error text of that failure
    bool refused_after = false;  // a further append through the handle failed too
};

// Appends small records first .. first+n-1 to path in a child process whose
// file size limit is limit bytes (SIGXFSZ ignored, so writes fail with EFBIG).
LimitedRun append_under_limit(const std::string& path, int64_t limit, int first, int n) {
    int fds[2];
    LimitedRun run;
    if (pipe(fds) != 0) return run;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        struct rlimit rl = {rlim_t(limit), rlim_t(limit)};
        signal(SIGXFSZ, SIG_IGN);
        std::string report = "-1\n";
        if (setrlimit(RLIMIT_FSIZE, &rl) == 0) {
            ArchiveHandle* handle = open_archive(path.c_str(), 1);
            int done = 0;
            std::string message;
            bool refused = false;
            if (handle != nullptr) {
                for (; done < n; ++done) {
                    std::vector<uint8_t> data = small_record(first + done);
                    std::string name = "rec" + std::to_string(first + done);
                    uint32_t stored = 0;
                    if (!append_record(handle, data.data(), uint32_t(data.size()), 1000 + first + done,
                                       name.c_str(), nullptr)) {
                        message = last_error_text();
                        uint8_t byte = 1;
                        refused = !append_record(handle, &byte, 1, 0, "after", &stored);
                        break;
                    }
                }
                close_archive(handle);
            }
            report = std::to_string(done) + "\n" + (refused ? "1" : "0") + "\n" + message;
        }
        ssize_t written = write(fds[1], report.data(), report.size());
        _exit(written == ssize_t(report.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string report;
    char chunk[512];
    ssize_t got;
    while ((got = read(fds[0], chunk, sizeof chunk)) > 0) report.append(chunk, size_t(got));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    size_t line1 = report.find('\n');
    size_t line2 = line1 == std::string::npos ? line1 : report.find('\n', line1 + 1);
    if (line2 == std::string::npos) return run;
    run.appended = std::stoi(report.substr(0, line1));
    run.refused_after = report.substr(line1 + 1, 1) == "1";
    run.message = report.substr(line2 + 1);
    return run;
}

}  // namespace

TEST(FailedWrite, FullDiskDuringAppendsKeepsTheArchiveReadableAndCompletable) {
    // Limits sweep the bytes of records 95 to 114, including the new table
    // chained on by record 99, so the failure hits every write of an append.
    TempDir dir;
    std::string base = dir.file("base.qar");
    build_small(base, 95);
    const std::string base_bytes = read_file(base);
    const int64_t start = int64_t(base_bytes.size());
    const int64_t stop = int64_t(expected_small_archive(115).size());
    int trials = 0, table_failures = 0;
    for (int64_t limit = start; limit <= stop; limit += limit < start + 120 || limit > stop - 120 ? 1 : 61) {
        std::string path = dir.file("t.qar");
        write_file(path, base_bytes);
        LimitedRun run = append_under_limit(path, limit, 95, 20);
        ASSERT_GE(run.appended, 0) << "child failed at limit " << limit;
        ++trials;
        if (run.appended < 20) {
            EXPECT_TRUE(run.refused_after) << limit;
            EXPECT_TRUE(run.message == "Could not write data rec" + std::to_string(95 + run.appended) +
                                           " to file \"t.qar\"" ||
                        run.message == "Error writing to file \"t.qar\"")
                << run.message;
            table_failures += run.message == "Error writing to file \"t.qar\"";
        }
        // As readable as before the failing record.
        expect_records_intact(path, 95 + run.appended);
        // A fresh open completes the archive.
        ArchiveHandle* handle = must_open(path, 1);
        ASSERT_NE(nullptr, handle);
        append_small_records(handle, 95 + run.appended, 20 - run.appended);
        close_archive(handle);
        std::string file = read_file(path);
        ASSERT_EQ("", format_rule_violation(file)) << "limit " << limit;
        expect_records_intact(path, 115);
        if (HasFailure()) break;
    }
    EXPECT_GT(trials, 200);
    EXPECT_GT(table_failures, 0) << "the new table's write failed in some trial";
}

TEST(FailedWrite, FullDiskDuringReplaceChangesNothing) {
    TempDir dir;
    std::string path = dir.file("r.qar");
    build_small(path, 3);
    const std::string before = read_file(path);
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit rl = {rlim_t(before.size() + 2), rlim_t(before.size() + 2)};
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(2);
        ArchiveHandle* handle = open_archive(path.c_str(), 1);
        if (handle == nullptr) _exit(3);
        uint8_t data[5] = {1, 2, 3, 4, 5};
        int replaced = replace_record(handle, data, 5, 0, "rec1");
        bool right_message = strcmp(last_error_text(), "Could not write data rec1 to file \"r.qar\"") == 0;
        _exit(replaced == 0 && right_message ? 0 : 4);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status));
    std::string after = read_file(path);
    EXPECT_EQ(before, after.substr(0, before.size())) << "only unreferenced bytes were added";
    expect_records_intact(path, 3);

    ArchiveHandle* handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    uint8_t data[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(1, replace_record(handle, data, 5, 0, "rec1")) << last_error_text();
    close_archive(handle);
    handle = must_open(path, 0);
    uint32_t size = 0;
    uint8_t* back = read_record_alloc(handle, "rec1", &size);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 5), std::vector<uint8_t>(back, back + size));
    free(back);
    close_archive(handle);
}

TEST(FailedWrite, FullDiskDuringCreateIsReported) {
    TempDir dir;
    std::string path = dir.file("c.qar");
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit rl = {1000, 1000};
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(2);
        int created = create_archive(path.c_str(), 0);
        std::string expected = "Error writing to file \"" + path + "\"";
        _exit(created == 0 && expected == last_error_text() ? 0 : 3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("Could not read dtable 0 of file \"c.qar\"", open_error(path, 1))
        << "what was written stays, and does not open";
}

TEST(SizeLimit, AppendsThatWouldPassTwoGigabytesFailAndWriteNothing) {
    TempDir dir;
    std::string path = dir.file("big.qar");
    build_small(path, 99);
    const int64_t max = 2147483647;
    // Unreferenced (sparse) bytes bring the file to just under the limit.
    ASSERT_EQ(0, truncate(path.c_str(), off_t(max - 3604 - 10)));
    const std::string limit_message =
        "Could not write data %s to file \"big.qar\": the archive would grow past 2147483647 bytes";
    auto expected_message = [&](const char* name) {
        char text[256];
        snprintf(text, sizeof text, limit_message.c_str(), name);
        return std::string(text);
    };

    ArchiveHandle* handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    // The 100th record fits, but the table it chains on would not.
    std::vector<uint8_t> data = noise_bytes(20, 1);
    uint32_t stored = 0;
    EXPECT_EQ(0, append_record(handle, data.data(), 20, 0, "hundredth", &stored));
    EXPECT_EQ(expected_message("hundredth"), last_error_text());
    EXPECT_EQ(max - 3604 - 10, file_size_of(path));
    // A replace that would not fit either.
    EXPECT_EQ(0, replace_record(handle, data.data(), 3700, 0, "rec5"));
    EXPECT_EQ(expected_message("rec5"), last_error_text());
    // Exactly up to the limit is allowed: 10 bytes plus the new table.
    data = noise_bytes(10, 2);
    EXPECT_EQ(1, append_record(handle, data.data(), 10, 0, "last", &stored)) << last_error_text();
    EXPECT_EQ(max, file_size_of(path));
    uint8_t byte = 7;
    EXPECT_EQ(0, append_record(handle, &byte, 1, 0, "more", nullptr));
    EXPECT_EQ(expected_message("more"), last_error_text());
    close_archive(handle);
    EXPECT_EQ(max, file_size_of(path));

    handle = must_open(path, 0);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(100, handle->entry_count);
    EXPECT_EQ(2, handle->table_count);
    DirectoryEntry* last = find_entry(handle, "last");
    ASSERT_NE(nullptr, last);
    EXPECT_EQ(uint32_t(max - 3604 - 10), last->data_offset);
    uint32_t size = 0;
    uint8_t* back = read_record_alloc(handle, "last", &size);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(noise_bytes(10, 2), std::vector<uint8_t>(back, back + size));
    free(back);
    close_archive(handle);
}
