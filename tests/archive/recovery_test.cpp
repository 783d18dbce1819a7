// Archives left behind by interrupted appends, failed writes, and the size limit.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "archive_cases.h"

TEST(InterruptedAppend, TheCompletedRecordIsListedAndTheNextAppendMendsTheFile) {
    // 7, 99, 150: slot written, header not (a); 100, 200: also the table chained on (b); 5: junk behind.
    for (int done : {7, 99, 150, 100, 200, 5}) {
        TempDir dir;
        std::string file = expected_small(done);
        if (done == 5) file.replace(28 + 4 + 7 * 36, 4, "junk");
        else put32(&file, 16, uint32_t(done - 1));
        write_file(dir.file("a.qar"), file);
        EXPECT_TRUE(small_records_intact(dir.file("a.qar"), done)) << done;
        EXPECT_TRUE(reopen_and_append(dir.file("a.qar"), done, 1)) << done << ": " << last_error_text();
        EXPECT_EQ(expected_small(done + 1), read_file(dir.file("a.qar"))) << done;
    }
}

TEST(FailedWrite, AFullDiskLeavesEveryEarlierRecordAndALaterAppendCompletes) {
    // The limits cut the 99th record, the 100th record's data, the table it chains on, the 101st.
    const int64_t e99 = int64_t(expected_small(99).size()), e100 = int64_t(expected_small(100).size());
    for (int64_t limit : {e99 - 1, e99 + 1, e100 - 3604, e100 - 1, e100 + 1}) {
        TempDir dir;
        const std::string path = dir.file("t.qar");
        write_file(path, expected_small(98));
        if (fork() == 0) {  // exits with the records appended, +100 for the right message and refusal
            struct rlimit rl = {rlim_t(limit), RLIM_INFINITY};
            signal(SIGXFSZ, SIG_IGN);
            ArchiveHandle* handle = setrlimit(RLIMIT_FSIZE, &rl) == 0 ? open_archive(path.c_str(), 1) : nullptr;
            int done = 0;
            while (handle != nullptr && done < 5 && append_small(handle, 98 + done, 1)) ++done;
            const std::string m = last_error_text(), data = "Could not write data rec" + std::to_string(98 + done) + " to file \"t.qar\"";
            rl.rlim_cur = RLIM_INFINITY;  // the handle refuses more even once the disk has room
            _exit(done + ((m == data || m == "Error writing to file \"t.qar\"") && setrlimit(RLIMIT_FSIZE, &rl) == 0 &&
                          !append_small(handle, 98 + done, 1) ? 100 : 0));
        }
        int status = -1;
        wait(&status);
        const int done = WIFEXITED(status) ? WEXITSTATUS(status) - 100 : -1;
        ASSERT_TRUE(done >= 0 && done < 5) << limit << ": " << status;
        EXPECT_TRUE(small_records_intact(path, 98 + done)) << limit;
        EXPECT_TRUE(reopen_and_append(path, 98 + done, 5 - done)) << limit << ": " << last_error_text();
        EXPECT_TRUE(small_records_intact(path, 103)) << limit;
    }
}

TEST(SizeLimit, AppendsThatWouldPassTwoGigabytesFailAndWriteNothing) {
    TempDir dir;
    const std::string path = dir.file("big.qar");
    const uintmax_t max = 2147483647, start = max - 3604 - 10;
    write_file(path, expected_small(99));
    ASSERT_EQ(0, truncate(path.c_str(), off_t(start)));  // sparse, unreferenced
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    Bytes data(11);  // the 100th record chains a table on: 11 + 3604 bytes do not fit, 10 do
    EXPECT_EQ(0, append_record(handle, data.data(), 11, 0, "over", nullptr));
    EXPECT_STREQ("Could not write data over to file \"big.qar\": the archive would grow past 2147483647 bytes", last_error_text());
    EXPECT_EQ(start, std::filesystem::file_size(path));
    EXPECT_TRUE(small_records_intact(path, 99));
    EXPECT_EQ(1, append_record(handle, data.data(), 10, 0, "last", nullptr)) << last_error_text();
    EXPECT_EQ(max, std::filesystem::file_size(path));
    close_archive(handle);
}
