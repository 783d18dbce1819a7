// The archive store against files laid out by hand and the compression library's own streams.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform.h"
#include "qar_bytes.h"
#include "record_codec.h"
#include "record_ops.h"
#include "stored_oracle.h"
#include "test_support.h"

// Appends small record i: "rec<i>", 1 + i % 7 bytes of the value i, time 1000 + i, as is.
static bool append_small(ArchiveHandle* handle, int i) {
    Bytes data(1 + i % 7, uint8_t(i));
    const std::string name = "rec" + std::to_string(i);
    return append_record(handle, data.data(), uint32_t(data.size()), 1000 + i, name.c_str(), 0);
}

// The file small records 0 .. n-1 make: each behind the last, an empty table behind every 100th.
static std::string expected_small(int n) {
    std::string file = raw_header(n, 0) + raw_table(0);
    size_t table = 28;
    for (int i = 0; i < n; ++i) {
        const RawEntry e = {"rec" + std::to_string(i), uint32_t(file.size()), i, 1u + i % 7,
                            1000u + i, 0};
        file.replace(table + 4 + i % 100 * 36, 36, raw_table(0, {e}).substr(4, 36));
        file += std::string(e.stored_size, char(i));
        if (i % 100 != 99) continue;
        put32(&file, table, uint32_t(file.size()));
        table = file.size();
        file += raw_table(0);
    }
    return file;
}

static Bytes read_back(ArchiveHandle* handle, const std::string& name) {
    uint32_t size = 0;
    uint8_t* data = read_record_alloc(handle, name.c_str(), &size);
    const Bytes out = data != nullptr ? Bytes(data, data + size) : Bytes();
    free(data);
    return out;
}

// Opens for writing, checks that small records 0 .. first-1 alone are listed, then appends n.
static bool reopen_and_append(const std::string& path, int first, int n) {
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    if (handle == nullptr) return false;
    bool ok = handle->entry_count == first && handle->next_index == first;
    for (int i = 0; ok && i < first; ++i)
        ok = read_back(handle, "rec" + std::to_string(i)) == Bytes(1 + i % 7, uint8_t(i));
    for (int i = first; ok && i < first + n; ++i) ok = append_small(handle, i);
    close_archive(handle);
    return ok;
}

static std::string error_if(bool failed) {
    return failed ? std::string(last_error_text()) : "(succeeded)";
}

static const std::string IN_C = " file \"c.qar\"";

TEST(ArchiveOpen, CreateWritesTheEmptyArchiveWithItsKey) {
    TempDir dir;
    ASSERT_EQ(1, create_archive(dir.file("a.qar").c_str(), 0xA1B2C3D4u)) << last_error_text();
    EXPECT_EQ(raw_header(0, 0xA1B2C3D4u) + raw_table(0), read_file(dir.file("a.qar")));
}

TEST(ArchiveOpen, CreateLeavesAnExistingFileAlone) {
    TempDir dir;
    write_file(dir.file("a.qar"), "mine");
    EXPECT_EQ(0, create_archive(dir.file("a.qar").c_str(), 0));
    EXPECT_EQ("mine", read_file(dir.file("a.qar")));
}

// The last step of creating an archive: the new file takes the name only
// where nothing has it, so an archive another process created meanwhile stays.
TEST(ArchiveOpen, TheNewFileNeverReplacesOneThatAppearedMeanwhile) {
    TempDir dir;
    write_file(dir.file("new"), "new");
    write_file(dir.file("a.qar"), "theirs");
    EXPECT_EQ(0, plat_move_new(dir.file("new").c_str(), dir.file("a.qar").c_str()));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_EQ("theirs", read_file(dir.file("a.qar"))) << "the other process's file was replaced";
    EXPECT_EQ("new", read_file(dir.file("new")));
    EXPECT_EQ(1, plat_move_new(dir.file("new").c_str(), dir.file("b.qar").c_str()));
    EXPECT_FALSE(file_exists(dir.file("new"))) << "the temporary name stayed";
}

TEST(ArchiveOpen, AMissingArchiveIsNotCreatedForReading) {
    TempDir dir;
    EXPECT_EQ(nullptr, open_archive(dir.file("new.qar").c_str(), 0));
    EXPECT_EQ("Could not open file \"" + dir.file("new.qar") + "\": No such file or directory",
              last_error_text());
    EXPECT_FALSE(file_exists(dir.file("new.qar")));
}

// One way an archive can be damaged, and the message that refuses it.
struct Damage {
    const char* name;
    std::string bytes;
    std::string message;
};

void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

class DamagedArchive : public testing::TestWithParam<Damage> {};

// Refused untouched for reading and for writing, naming the base name only.
TEST_P(DamagedArchive, IsRefusedUntouched) {
    TempDir dir;
    // A backslash separates too: a folder on Windows, part of the name elsewhere.
    std::filesystem::create_directory(dir.file("sub"));
    const std::string path = dir.file("sub\\c.qar");
    write_file(path, GetParam().bytes);
    EXPECT_EQ(GetParam().message, error_if(open_archive(path.c_str(), 0) == nullptr)) << "read";
    EXPECT_EQ(GetParam().message, error_if(open_archive(path.c_str(), 1) == nullptr)) << "write";
    EXPECT_EQ(GetParam().bytes, read_file(path)) << "the damaged file was changed";
}

INSTANTIATE_TEST_SUITE_P(ArchiveOpen, DamagedArchive, testing::Values(
    Damage{"ShortHeader", expected_small(250).substr(0, 27), "Could not read header of" + IN_C},
    Damage{"NegativeCount", raw_header(-1, 0) + raw_table(0), "Invalid header in" + IN_C},
    Damage{"MoreLiveSlotsThanCounted", raw_header(248, 0) + expected_small(250).substr(28),
           "Invalid header in" + IN_C},
    Damage{"TableCutShort", expected_small(250).substr(0, 6000),
           "Could not read dtable 1 of" + IN_C},
    Damage{"ChainTooShort", raw_header(100, 0) + raw_table(0),
           "Header has 2 dtables; actually 1 dtables in" + IN_C},
    Damage{"ChainTooLong", raw_header(0, 0) + raw_table(3632) + raw_table(7236) + raw_table(0),
           "Header has 1 dtables; actually 3 dtables in" + IN_C},
    Damage{"ChainLoops", raw_header(0, 0) + raw_table(28),
           "Header has 1 dtables; actually 2 dtables in" + IN_C},
    Damage{"TablesOverlap", raw_header(100, 0) + raw_table(3000) + raw_table(0),
           "Header has 2 dtables; actually 2 dtables in" + IN_C},
    Damage{"HugeCount", raw_header(INT32_MAX, 0) + raw_table(0),
           "Header has 21474837 dtables; actually 1 dtables in" + IN_C}),
    [](const testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST(ArchiveOpen, ARecordPastTheEndOfTheFileIsNotRead) {
    TempDir dir;
    const std::string path = dir.file("c.qar");
    write_file(path, raw_archive(0, {{"big", 3632, 0, ~0u, 0, 0}}, "abcd"));
    ArchiveHandle* handle = open_archive(path.c_str(), 0);
    ASSERT_NE(nullptr, handle) << last_error_text();
    EXPECT_EQ("Could not read record big from" + IN_C, error_if(read_back(handle, "big").empty()));
    close_archive(handle);
}

TEST(ArchiveOpen, DeleteOfAnEntryWithAnIndexBeyondTheTablesWritesNothing) {
    TempDir dir;
    const std::string path = dir.file("c.qar");
    const std::string file = raw_archive(0, {{"lost", 3632, 777, 4, 0, 0}}, "abcd");
    write_file(path, file);
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    ASSERT_NE(nullptr, handle) << last_error_text();
    EXPECT_EQ("Could not read dtable 7 of" + IN_C, error_if(!delete_record(handle, "lost")));
    close_archive(handle);
    EXPECT_EQ(file, read_file(path));
}

TEST(ArchiveStore, FatalErrorExitsWith107) {
    EXPECT_EXIT(fatal_error(nullptr), testing::ExitedWithCode(107), "");
}

// Through one handle: the 100th record chains a new table on, the 101st goes into it.
TEST(ArchiveRecords, TheHundredthAppendChainsANewTable) {
    TempDir dir;
    const std::string path = dir.file("c.qar");
    write_file(path, expected_small(99));
    ASSERT_TRUE(reopen_and_append(path, 99, 2)) << last_error_text();
    EXPECT_EQ(expected_small(101), read_file(path));
}

// At 99 and 150 the slot was written but not the header; at 100 and 200 also the
// table chained on. The record is listed and the next append mends the file.
TEST(ArchiveRecords, AnInterruptedAppendIsListedAndTheNextOneMendsTheHeader) {
    TempDir dir;
    const std::string path = dir.file("c.qar");
    for (int done : {99, 150, 100, 200}) {
        SCOPED_TRACE("interrupted after record " + std::to_string(done));
        std::string file = expected_small(done);
        put32(&file, 16, uint32_t(done - 1));
        write_file(path, file);
        EXPECT_TRUE(reopen_and_append(path, done, 1)) << last_error_text();
        EXPECT_EQ(expected_small(done + 1), read_file(path));
    }
}

// Bytes behind the first empty slot (a damaged file) must never surface as a
// record later: the append that fills the slot clears every slot behind it.
TEST(ArchiveRecords, AnAppendClearsTheSlotsBehindTheOneItFills) {
    TempDir dir;
    const std::string path = dir.file("c.qar");
    std::string junk = expected_small(3);
    junk.replace(28 + 4 + 5 * 36, 4, "junk");
    write_file(path, junk);
    EXPECT_TRUE(reopen_and_append(path, 3, 1)) << last_error_text();
    EXPECT_EQ(expected_small(4), read_file(path));
}

TEST(ArchiveRecords, AppendAndEncodeStoreTheLibrarysStreamOfTheMaskedBytes) {
    TempDir dir;
    const std::string path = dir.file("k.qar");
    const uint32_t key = key_from_password("123456789");
    EXPECT_EQ(0xFC891918u, key);
    ASSERT_EQ(1, create_archive(path.c_str(), key));
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    // Seven bytes: one word masked, three left; each content at sizes that grow and shrink the
    // encoder's reused buffers; the flags word's largest size, one more, one setting its top bit.
    std::vector<Bytes> cases = {{0, 0, 0, 0, 5, 6, 7}, Bytes(12, 0), Bytes(16, 0)};
    for (uint32_t size : {1u, 511u, 150000u, 512u, 65537u, 65536u})
        for (Content kind : {STEPS, NOISE, FAR}) cases.push_back(make_bytes(kind, size, size));
    for (uint32_t size : {16777215u, 16777216u, 10000000u}) cases.push_back(Bytes(size, 0));
    int seen = 0;
    ByteBuffer streams[2] = {};
    ByteBuffer work_block = {};
    for (size_t i = 0; i < cases.size(); ++i) {
        const Bytes m = masked(cases[i], key);
        const auto [bytes, flags] = expected_stored(m, &seen);
        uint32_t stored = 0;
        ASSERT_EQ(1, append_record(handle, Bytes(cases[i]).data(), uint32_t(cases[i].size()), 7,
                                   std::to_string(i).c_str(), &stored));
        const std::string file = read_file(path);
        const RawEntry e = raw_entries(file).back();
        EXPECT_EQ(bytes, file.substr(e.data_offset)) << i;
        EXPECT_EQ(file.size() - bytes.size(), size_t(e.data_offset)) << "offset of case " << i;
        EXPECT_EQ(bytes.size(), size_t(e.stored_size)) << "stored size of case " << i;
        EXPECT_EQ(flags, e.flags) << "flags of case " << i;
        if (m.size() > 16777215) continue;
        EncodedRecord encoded = {};
        ASSERT_EQ(1, encode_record(m.data(), uint32_t(m.size()), 1, streams,
                                   codec_work_area(&work_block), &encoded))
            << last_error_text();
        EXPECT_EQ(flags, encoded.flags) << "encode_record's choice, case " << i;
        EXPECT_EQ(bytes, std::string(encoded.stored, encoded.stored + encoded.stored_size))
            << "encode_record's stored bytes, case " << i;
    }
    release_buffer(&streams[0]);
    release_buffer(&streams[1]);
    release_buffer(&work_block);
    EXPECT_EQ(15, seen) << "every rule of the choice was exercised";
    close_archive(handle);
    handle = open_archive(path.c_str(), 0);
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_TRUE(cases[i] == read_back(handle, std::to_string(i))) << i;
    close_archive(handle);
}

// An archive of two records that hold the masked, compressed FAR content.
struct TwoRecords {
    TempDir dir;
    std::string path = dir.file("t.qar");
    uint32_t key = 0x5A5A5A5A;
    Bytes far = make_bytes(FAR, 20000, 4);
    std::pair<std::string, uint32_t> packed = expected_stored(masked(far, key));
    std::vector<RawEntry> entries = {
        {"level.map", 3632, 0, uint32_t(packed.first.size()), 1, packed.second},
        {"plain", 3632, 1, uint32_t(packed.first.size()), 1, packed.second}};
    std::string file = raw_archive(key, entries, packed.first);
    ArchiveHandle* handle;
    TwoRecords() {
        write_file(path, file);
        handle = open_archive(path.c_str(), 1);
    }
    ~TwoRecords() { close_archive(handle); }
};

TEST(ArchiveRecords, ReplaceAppendsTheMaskedBytesUncompressedAndRewritesTheEntry) {
    TwoRecords t;
    const Bytes fresh = make_bytes(NOISE, 333, 6);
    ASSERT_EQ(1, replace_record(t.handle, Bytes(fresh).data(), 333, 99, "LEVEL.MAP"));
    t.entries[0] = {"level.map", uint32_t(3632 + t.packed.first.size()), 0, 333, 99, 0};
    const Bytes m = masked(fresh, t.key);
    EXPECT_EQ(raw_archive(t.key, t.entries, t.packed.first + std::string(m.begin(), m.end())),
              read_file(t.path));
}

TEST(ArchiveRecords, ReplaceOfAMissingNameChangesNothing) {
    TwoRecords t;
    EXPECT_EQ(0, replace_record(t.handle, Bytes(5).data(), 5, 99, "nothere"));
    EXPECT_EQ(t.file, read_file(t.path));
}

TEST(ArchiveRecords, DeleteSetsTheDeletedBitAndNothingElse) {
    TwoRecords t;
    ASSERT_EQ(1, delete_record(t.handle, "plain")) << last_error_text();
    t.entries[1].flags |= 1;
    EXPECT_EQ(raw_archive(t.key, t.entries, t.packed.first), read_file(t.path));
}

TEST(ArchiveRecords, ReadIntoABufferOneByteShortReadsNothing) {
    TwoRecords t;
    Bytes buffer(20000, 0xEE);
    uint32_t read_size = 7;
    set_last_error("untouched");
    EXPECT_EQ(nullptr, read_record(t.handle, "level.map", &read_size, buffer.data(), 19999));
    EXPECT_EQ(Bytes(20000, 0xEE), buffer) << "the buffer was written";
    EXPECT_EQ(7u, read_size) << "the size was written";
    EXPECT_STREQ("untouched", last_error_text()) << "a short buffer is no error of the file";
}

TEST(ArchiveRecords, ReadIntoACallersBufferOfTheExactSize) {
    TwoRecords t;
    Bytes buffer(20000, 0xEE);
    uint32_t read_size = 7;
    EXPECT_EQ(buffer.data(), read_record(t.handle, "level.map", &read_size, buffer.data(), 20000));
    EXPECT_EQ(20000u, read_size);
    EXPECT_EQ(t.far, buffer);
}

// The snapshot keeps the record as it was at open.
TEST(ArchiveRecords, ARecordReplacedThroughTheHandleStillReadsAsAtOpen) {
    TwoRecords t;
    ASSERT_EQ(1, replace_record(t.handle, Bytes(5).data(), 5, 99, "level.map"));
    EXPECT_EQ(t.far, read_back(t.handle, "level.map"));
}

// A record is handed out only when its stream gives exactly its recorded size: one
// that ends early or runs past it is damaged, whether read into a new buffer or the caller's.
TEST(ArchiveRead, AStreamShorterOrLongerThanTheRecordedSizeIsRefused) {
    TempDir dir;
    const std::string path = dir.file("d.qar");
    const Bytes far = make_bytes(FAR, 4000, 9);
    const auto [packed, flags] = expected_stored(far);
    ASSERT_NE(0u, flags & 6) << "the content must compress";
    const uint32_t stored = uint32_t(packed.size()), method = flags & 6;
    write_file(path, raw_archive(0, {{"exact", 3632, 0, stored, 0, 4000u << 8 | method},
                                     {"long", 3632, 1, stored, 0, 3999u << 8 | method},
                                     {"short", 3632, 2, stored, 0, 4001u << 8 | method}},
                                 packed));
    ArchiveHandle* handle = open_archive(path.c_str(), 0);
    ASSERT_NE(nullptr, handle);
    EXPECT_TRUE(far == read_back(handle, "exact")) << "the intact record must read back";
    const std::pair<const char*, const char*> damaged[] = {
        {"long", "Error -5 during compression library operation: output overrun"},
        {"short", "Error -12 during compression library operation: output not consumed"}};
    for (const auto& [name, message] : damaged) {
        EXPECT_TRUE(read_back(handle, name).empty()) << name << " was handed out";
        EXPECT_EQ(message, std::string(last_error_text())) << name;
        Bytes buffer(5000);
        uint32_t size = 0;
        EXPECT_EQ(nullptr, read_record(handle, name, &size, buffer.data(), 5000))
            << name << " was read into the caller's buffer";
    }
    close_archive(handle);
}

TEST(FailedWrite, ASizeLimitLeavesEveryEarlierRecordAndLaterAppendsWork) {
    if (const char* why = file_size_limit_missing()) GTEST_SKIP() << why;
    // The limits cut the 99th record, the 100th record's data, the table it chains on, the 101st.
    const int64_t e99 = int64_t(expected_small(99).size());
    const int64_t e100 = int64_t(expected_small(100).size());
    for (int64_t limit : {e99 - 1, e99 + 1, e100 - 3604, e100 - 1, e100 + 1}) {
        TempDir dir;
        const std::string path = dir.file("t.qar");
        write_file(path, expected_small(98));
        // Appends under the limit until one fails; exits with the count.
        const int done = run_with_file_size_limit(limit, [&] {
            ArchiveHandle* handle = open_archive(path.c_str(), 1);
            int appended = 0;
            while (handle != nullptr && appended < 5 && append_small(handle, 98 + appended))
                ++appended;
            return handle != nullptr ? appended : 99;
        });
        ASSERT_TRUE(done >= 0 && done < 5) << limit << ": " << done;
        // Every record reads back, and a fresh open appends behind the unreferenced bytes.
        EXPECT_TRUE(reopen_and_append(path, 98 + done, 5 - done)) << limit << last_error_text();
        EXPECT_TRUE(reopen_and_append(path, 103, 0)) << limit;
    }
}

TEST(FailedWrite, AnAppendPastTwoGigabytesFailsAndWritesNothing) {
    TempDir dir;
    const std::string path = dir.file("big.qar");
    const uintmax_t start = 2147483647 - 3604 - 10;
    write_file(path, expected_small(99));
    std::filesystem::resize_file(path, start);  // sparse, unreferenced
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    // The 100th record chains a table on: 11 + 3604 bytes do not fit, 10 do.
    EXPECT_EQ(0, append_record(handle, Bytes(11).data(), 11, 0, "over", nullptr));
    EXPECT_EQ("Could not write data over to file \"big.qar\": the archive would grow past "
              "2147483647 bytes", std::string(last_error_text()));
    EXPECT_EQ(start, std::filesystem::file_size(path));
    EXPECT_EQ(1, append_record(handle, Bytes(10).data(), 10, 0, "last", nullptr));
    EXPECT_EQ(2147483647u, std::filesystem::file_size(path));
    close_archive(handle);
}
