// The library against files laid out by hand and the compression library's own streams.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "platform.h"
#include "qar_bytes.h"
#include "qar_library.h"
#include "stored_oracle.h"
#include "test_support.h"

// The time of small record i, and the stamp it is stored as.
static int64_t small_time(int i) { return 1400000000 + i; }

// Appends small record i: "rec<i>", 1 + i % 7 bytes of the value i, too short to compress.
static qar_status append_small(qar_archive* handle, int i, qar_error* error) {
    Bytes data(1 + i % 7, uint8_t(i));
    const std::string name = "rec" + std::to_string(i);
    return qar_add(handle, name.c_str(), data.data(), data.size(), small_time(i), error);
}

// The file small records 0 .. n-1 make: each behind the last, an empty table behind every 100th.
static std::string expected_small(int n) {
    std::string file = raw_header(n, 0) + raw_table(0);
    size_t table = 28;
    for (int i = 0; i < n; ++i) {
        const RawEntry e = {"rec" + std::to_string(i), uint32_t(file.size()), i, 1u + i % 7,
                            qar_stamp_from_time(small_time(i)), 0};
        file.replace(table + 4 + i % 100 * 36, 36, raw_table(0, {e}).substr(4, 36));
        file += std::string(e.stored_size, char(i));
        if (i % 100 != 99) continue;
        put32(&file, table, uint32_t(file.size()));
        table = file.size();
        file += raw_table(0);
    }
    return file;
}

// Opens for writing, checks that small records 0 .. first-1 alone are listed, then appends n.
static bool reopen_and_append(const std::string& path, int first, int n, qar_error* error) {
    OpenArchive a(path, QAR_WRITE, 0);
    *error = a.error;
    if (a.handle == nullptr) return false;
    bool ok = qar_count(a.handle) == size_t(first);
    for (int i = 0; ok && i < first; ++i)
        ok = read_named(a.handle, "rec" + std::to_string(i)) == Bytes(1 + i % 7, uint8_t(i));
    for (int i = first; ok && i < first + n; ++i) ok = append_small(a.handle, i, error) == QAR_OK;
    return ok;
}

static const std::string IN_C = " file \"c.qar\"";

TEST(ArchiveOpen, CreateWritesTheEmptyArchiveWithItsKey) {
    TempDir dir;
    OpenArchive a(dir.file("a.qar"), QAR_CREATE_NEW, 0xA1B2C3D4u);
    ASSERT_NE(nullptr, a.handle) << a.error.message;
    EXPECT_EQ(raw_header(0, 0xA1B2C3D4u) + raw_table(0), read_file(dir.file("a.qar")));
}

TEST(ArchiveOpen, CreateLeavesAnExistingFileAlone) {
    TempDir dir;
    write_file(dir.file("a.qar"), "mine");
    OpenArchive a(dir.file("a.qar"), QAR_CREATE_NEW, 0);
    EXPECT_EQ(QAR_EXISTS, a.error.status);
    EXPECT_EQ("File \"" + dir.file("a.qar") + "\" already exists", std::string(a.error.message));
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

TEST(ArchiveOpen, AMissingArchiveIsNotCreatedForReadingOrWriting) {
    TempDir dir;
    for (unsigned mode : {QAR_READ, QAR_WRITE}) {
        OpenArchive a(dir.file("new.qar"), mode, 0);
        EXPECT_EQ(QAR_NOT_FOUND, a.error.status) << "mode " << mode;
        EXPECT_EQ("Could not open file \"" + dir.file("new.qar") + "\": " + strerror(ENOENT),
                  std::string(a.error.message));
    }
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
    for (unsigned mode : {QAR_READ, QAR_WRITE}) {
        OpenArchive a(path, mode, 0);
        EXPECT_EQ(QAR_DAMAGED, a.error.status) << "mode " << mode;
        EXPECT_EQ(GetParam().message, std::string(a.error.message)) << "mode " << mode;
    }
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
    OpenArchive a(path, QAR_READ, 0);
    ASSERT_NE(nullptr, a.handle) << a.error.message;
    void* data = nullptr;
    size_t size = 0;
    qar_error error;
    EXPECT_EQ(QAR_DAMAGED, qar_read_alloc(a.handle, 0, &data, &size, &error));
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ("Could not read record big from" + IN_C, std::string(error.message));
    // Damaged before too small: a caller would otherwise size a buffer from the claim.
    EXPECT_EQ(QAR_DAMAGED, qar_read(a.handle, 0, nullptr, 0, &size, &error));
}

TEST(ArchiveOpen, DeleteOfAnEntryWithAnIndexBeyondTheTablesWritesNothing) {
    TempDir dir;
    const std::string path = dir.file("c.qar");
    const std::string file = raw_archive(0, {{"lost", 3632, 777, 4, 0, 0}}, "abcd");
    write_file(path, file);
    OpenArchive a(path, QAR_WRITE, 0);
    ASSERT_NE(nullptr, a.handle) << a.error.message;
    qar_error error;
    EXPECT_EQ(QAR_DAMAGED, qar_delete(a.handle, 0, &error));
    EXPECT_EQ("Could not read dtable 7 of" + IN_C, std::string(error.message));
    EXPECT_EQ(file, read_file(path));
}

// Through one handle: the 100th record chains a new table on, the 101st goes into it.
TEST(ArchiveRecords, TheHundredthAppendChainsANewTable) {
    TempDir dir;
    const std::string path = dir.file("c.qar");
    write_file(path, expected_small(99));
    qar_error error = {};
    ASSERT_TRUE(reopen_and_append(path, 99, 2, &error)) << error.message;
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
        qar_error error = {};
        EXPECT_TRUE(reopen_and_append(path, done, 1, &error)) << error.message;
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
    qar_error error = {};
    EXPECT_TRUE(reopen_and_append(path, 3, 1, &error)) << error.message;
    EXPECT_EQ(expected_small(4), read_file(path));
}

TEST(ArchiveRecords, AddAndEncodeStoreTheLibrarysStreamOfTheMaskedBytes) {
    TempDir dir;
    const std::string path = dir.file("k.qar");
    const uint32_t key = qar_key_from_password("123456789");
    EXPECT_EQ(0xFC891918u, key);
    OpenArchive a(path, QAR_CREATE_NEW, key);
    ASSERT_NE(nullptr, a.handle) << a.error.message;
    // Seven bytes: one word masked, three left; each content at sizes that grow and shrink the
    // encoder's reused buffers; the flags word's largest size, one more, one setting its top bit.
    std::vector<Bytes> cases = {{0, 0, 0, 0, 5, 6, 7}, Bytes(12, 0), Bytes(16, 0)};
    for (uint32_t size : {1u, 511u, 150000u, 512u, 65537u, 65536u})
        for (Content kind : {STEPS, NOISE, FAR}) cases.push_back(make_bytes(kind, size, size));
    for (uint32_t size : {16777215u, 16777216u, 10000000u}) cases.push_back(Bytes(size, 0));
    int seen = 0;
    qar_encoded* encoded = nullptr;
    ASSERT_EQ(QAR_OK, qar_encoded_new(&encoded, nullptr));
    for (size_t i = 0; i < cases.size(); ++i) {
        const Bytes m = masked(cases[i], key);
        const auto [bytes, flags] = expected_stored(m, &seen);
        qar_error error;
        ASSERT_EQ(QAR_OK, qar_add(a.handle, std::to_string(i).c_str(), cases[i].data(),
                                  cases[i].size(), QAR_TIME_UNKNOWN, &error))
            << error.message;
        const std::string file = read_file(path);
        const RawEntry e = raw_entries(file).back();
        EXPECT_EQ(bytes, file.substr(e.data_offset)) << i;
        EXPECT_EQ(file.size() - bytes.size(), size_t(e.data_offset)) << "offset of case " << i;
        EXPECT_EQ(bytes.size(), size_t(e.stored_size)) << "stored size of case " << i;
        EXPECT_EQ(flags, e.flags) << "flags of case " << i;
        // qar_encode alone, into the reused encoding, gives the bytes that were stored.
        ASSERT_EQ(QAR_OK, qar_encode(encoded, cases[i].data(), cases[i].size(), key, 0, nullptr,
                                     &error))
            << error.message;
        size_t stored_size = 0;
        const char* stored =
            static_cast<const char*>(qar_encoded_bytes(encoded, &stored_size, nullptr, nullptr));
        EXPECT_EQ(bytes, std::string(stored, stored_size)) << "qar_encode's bytes, case " << i;
    }
    qar_encoded_free(encoded);
    EXPECT_EQ(15, seen) << "every rule of the choice was exercised";
    OpenArchive r(path, QAR_READ, key);
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_TRUE(cases[i] == read_named(r.handle, std::to_string(i))) << i;
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
    qar_archive* handle = nullptr;
    qar_error error = {};
    TwoRecords() {
        write_file(path, file);
        qar_open_key(path.c_str(), QAR_WRITE, key, nullptr, nullptr, &handle, nullptr);
    }
    ~TwoRecords() { qar_close(handle, nullptr); }
};

TEST(ArchiveRecords, UpdateAppendsTheMaskedBytesUncompressedAndRewritesTheEntry) {
    TwoRecords t;
    const Bytes fresh = make_bytes(NOISE, 333, 6);
    ASSERT_EQ(QAR_OK, qar_update(t.handle, "LEVEL.MAP", fresh.data(), 333, 1400000000, &t.error))
        << t.error.message;
    t.entries[0] = {"level.map", uint32_t(3632 + t.packed.first.size()), 0, 333,
                    qar_stamp_from_time(1400000000), 0};
    const Bytes m = masked(fresh, t.key);
    EXPECT_EQ(raw_archive(t.key, t.entries, t.packed.first + std::string(m.begin(), m.end())),
              read_file(t.path));
}

TEST(ArchiveRecords, UpdateOfAMissingNameChangesNothing) {
    TwoRecords t;
    EXPECT_EQ(QAR_NOT_FOUND, qar_update(t.handle, "nothere", Bytes(5).data(), 5, 0, &t.error));
    EXPECT_STREQ("Could not find old record \"nothere\" in file \"t.qar\"", t.error.message);
    EXPECT_EQ(t.file, read_file(t.path));
}

TEST(ArchiveRecords, DeleteSetsTheDeletedBitAndNothingElse) {
    TwoRecords t;
    size_t position = 0;
    ASSERT_EQ(QAR_OK, qar_find(t.handle, "plain", &position, nullptr));
    ASSERT_EQ(QAR_OK, qar_delete(t.handle, position, &t.error)) << t.error.message;
    t.entries[1].flags |= 1;
    EXPECT_EQ(raw_archive(t.key, t.entries, t.packed.first), read_file(t.path));
}

TEST(ArchiveRecords, ReadIntoABufferOneByteShortReadsNothingAndGivesTheSize) {
    TwoRecords t;
    Bytes buffer(20000, 0xEE);
    size_t read_size = 7;
    EXPECT_EQ(QAR_BUFFER_TOO_SMALL, qar_read(t.handle, 0, buffer.data(), 19999, &read_size,
                                             &t.error));
    EXPECT_EQ(Bytes(20000, 0xEE), buffer) << "the buffer was written";
    EXPECT_EQ(20000u, read_size) << "the size the record needs";
}

TEST(ArchiveRecords, ReadIntoACallersBufferOfTheExactSize) {
    TwoRecords t;
    Bytes buffer(20000, 0xEE);
    size_t read_size = 7;
    EXPECT_EQ(QAR_OK, qar_read(t.handle, 0, buffer.data(), 20000, &read_size, &t.error))
        << t.error.message;
    EXPECT_EQ(20000u, read_size);
    EXPECT_EQ(t.far, buffer);
}

// The snapshot keeps the record as it was at open.
TEST(ArchiveRecords, ARecordUpdatedThroughTheHandleStillReadsAsAtOpen) {
    TwoRecords t;
    ASSERT_EQ(QAR_OK, qar_update(t.handle, "level.map", Bytes(5).data(), 5, 0, &t.error));
    EXPECT_EQ(t.far, read_named(t.handle, "level.map"));
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
    OpenArchive a(path, QAR_READ, 0);
    ASSERT_NE(nullptr, a.handle) << a.error.message;
    EXPECT_TRUE(far == read_named(a.handle, "exact")) << "the intact record must read back";
    const std::pair<const char*, const char*> damaged[] = {
        {"long", "Error -5 during compression library operation: output overrun"},
        {"short", "Error -12 during compression library operation: output not consumed"}};
    for (const auto& [name, message] : damaged) {
        size_t position = 0, size = 0;
        void* data = nullptr;
        qar_error error;
        ASSERT_EQ(QAR_OK, qar_find(a.handle, name, &position, nullptr));
        EXPECT_EQ(QAR_DAMAGED, qar_read_alloc(a.handle, position, &data, &size, &error)) << name;
        EXPECT_EQ(nullptr, data) << name << " was handed out";
        EXPECT_EQ(message, std::string(error.message)) << name;
        Bytes buffer(5000);
        EXPECT_EQ(QAR_DAMAGED, qar_read(a.handle, position, buffer.data(), 5000, &size, &error))
            << name << " was read into the caller's buffer";
    }
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
        // Appends under the limit until one fails, which must fail with the system's reason
        // and leave the handle refusing; exits with the count.
        const int done = run_with_file_size_limit(limit, [&] {
            OpenArchive a(path, QAR_WRITE, 0);
            qar_error error = {};
            int appended = 0;
            while (a.handle != nullptr && appended < 5 &&
                   append_small(a.handle, 98 + appended, &error) == QAR_OK)
                ++appended;
            const bool reason = std::string(error.message).find(strerror(EFBIG)) != std::string::npos;
            const bool refuses = a.handle != nullptr && append_small(a.handle, 0, &error) == QAR_REFUSED;
            return a.handle != nullptr && reason && refuses ? appended : 99;
        });
        ASSERT_TRUE(done >= 0 && done < 5) << limit << ": " << done;
        // Every record reads back, and a fresh open appends behind the unreferenced bytes.
        qar_error error = {};
        EXPECT_TRUE(reopen_and_append(path, 98 + done, 5 - done, &error)) << limit << error.message;
        EXPECT_TRUE(reopen_and_append(path, 103, 0, &error)) << limit;
    }
}

TEST(FailedWrite, AnAppendPastTwoGigabytesFailsAndWritesNothing) {
    TempDir dir;
    const std::string path = dir.file("big.qar");
    const uintmax_t start = 2147483647 - 3604 - 10;
    write_file(path, expected_small(99));
    std::filesystem::resize_file(path, start);  // sparse, unreferenced
    OpenArchive a(path, QAR_WRITE, 0);
    // The 100th record chains a table on: 11 + 3604 bytes do not fit, 10 do (noise, so that
    // neither compresses).
    qar_error error;
    EXPECT_EQ(QAR_TOO_LARGE, qar_add(a.handle, "over", make_bytes(NOISE, 11, 1).data(), 11, 0, &error));
    EXPECT_EQ("Could not write data over to file \"big.qar\": the archive would grow past "
              "2147483647 bytes", std::string(error.message));
    EXPECT_EQ(start, std::filesystem::file_size(path));
    EXPECT_EQ(QAR_OK, qar_add(a.handle, "last", make_bytes(NOISE, 10, 2).data(), 10, 0, &error))
        << error.message;
    EXPECT_EQ(2147483647u, std::filesystem::file_size(path));
}
