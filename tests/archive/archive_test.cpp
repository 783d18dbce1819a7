// The archive store checked against files laid out by hand and the compression library's
// own streams: layout, opening, records, the codec's worker, and the files that interrupted
// and failed writes leave behind.
#include <gtest/gtest.h>
#include <lzo1x.h>
#include <lzo1y.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "qar_bytes.h"
#include "record_codec.h"
#include "record_ops.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;
enum Content { ZEROS, TEXT, NOISE, FAR };

static uint32_t next_random(uint32_t* seed) {
    *seed = *seed * 1664525u + 1013904223u;
    return *seed;
}

// TEXT compresses well, NOISE does not, FAR repeats bytes 1500 back (where LZO1X is shorter).
static Bytes make_bytes(Content kind, size_t size, uint32_t seed) {
    static const char* const words[] = {"sprite ", "texture ", "map ", "level ", "\n", "0123 "};
    std::string text;
    while (kind == TEXT && text.size() < size)
        text += words[(next_random(&seed) >> 16) % 6];
    Bytes out(text.begin(), text.end());
    out.resize(size);
    for (size_t i = 0; kind > TEXT && i < size; ++i) {
        const uint8_t far = i >= 1500 && i % 9 != 0 ? out[i - 1500] : uint8_t(i * 31 + seed);
        out[i] = kind == NOISE ? uint8_t(next_random(&seed) >> 24) : far;
    }
    return out;
}

// Small record i: "rec<i>", 1 + i % 7 bytes of the value i, time 1000 + i, stored as is.
static bool append_small(ArchiveHandle* handle, int first, int n) {
    for (int i = first; i < first + n; ++i) {
        Bytes d(1 + i % 7, uint8_t(i));
        const std::string name = "rec" + std::to_string(i);
        if (!append_record(handle, d.data(), uint32_t(d.size()), 1000 + i, name.c_str(), nullptr))
            return false;
    }
    return true;
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
        if (i % 100 != 99)
            continue;
        put32(&file, table, uint32_t(file.size()));
        table = file.size();
        file += raw_table(0);
    }
    return file;
}

// A record's plain bytes read into a new buffer; empty when the read fails.
static Bytes read_back(ArchiveHandle* handle, const std::string& name) {
    uint32_t size = 0;
    uint8_t* data = read_record_alloc(handle, name.c_str(), &size);
    const Bytes out = data != nullptr ? Bytes(data, data + size) : Bytes();
    free(data);
    return out;
}

// True when the archive opens read-only listing exactly small records 0 .. n-1, each intact.
static bool small_records_intact(const std::string& path, int n) {
    ArchiveHandle* handle = open_archive(path.c_str(), 0);
    bool ok = handle != nullptr && handle->entry_count == n;
    for (int i = 0; ok && i < n; ++i)
        ok = read_back(handle, "rec" + std::to_string(i)) == Bytes(1 + i % 7, uint8_t(i));
    if (handle != nullptr)
        close_archive(handle);
    return ok;
}

// Opens the archive for writing and appends small records first .. first+n-1 behind as many.
static bool reopen_and_append(const std::string& path, int first, int n) {
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    if (handle == nullptr)
        return false;
    const bool ok = handle->entry_count == first && handle->next_index == first &&
                    append_small(handle, first, n);
    close_archive(handle);
    return ok;
}

static std::string open_error(const std::string& path, int for_write) {
    ArchiveHandle* handle = open_archive(path.c_str(), for_write);
    if (handle == nullptr)
        return last_error_text();
    close_archive(handle);
    return "(opened)";
}

static std::string error_if(bool failed) {
    return failed ? std::string(last_error_text()) : "(succeeded)";
}

static Bytes masked(Bytes data, uint32_t key) {
    for (size_t i = 0; i < data.size() / 4 * 4; ++i)
        data[i] ^= uint8_t(key >> (8 * (i % 4)));
    return data;
}

// What an append stores for these masked bytes, worked out with the library: the shorter
// optimised stream, LZO1X on a tie, or the bytes themselves when neither is shorter, with
// the flags. *seen collects the rule that decided: 1 LZO1X, 2 a tie, 4 LZO1Y, 8 stored.
static std::pair<std::string, uint32_t> expected_stored(const Bytes& m, int* seen) {
    static Bytes work(LZO1X_999_MEM_COMPRESS);
    const lzo_uint n = m.size();
    Bytes out[2] = {Bytes(n + n / 64 + 19), Bytes(n + n / 64 + 19)};
    lzo_uint len[2] = {out[0].size(), out[1].size()};
    EXPECT_EQ(LZO_E_OK, lzo1x_999_compress(m.data(), n, out[0].data(), &len[0], work.data()));
    EXPECT_EQ(LZO_E_OK, lzo1y_999_compress(m.data(), n, out[1].data(), &len[1], work.data()));
    const int y = len[1] < len[0];
    *seen |= len[y] >= n ? 8 : y ? 4 : len[0] == len[1] ? 2 : 1;
    if (len[y] >= n)
        return {std::string(m.begin(), m.end()), 0};
    Bytes scratch(n);
    lzo_uint plain = n;
    auto optimize = y ? lzo1y_optimize : lzo1x_optimize;
    EXPECT_EQ(LZO_E_OK, optimize(out[y].data(), len[y], scratch.data(), &plain, nullptr));
    return {std::string(out[y].data(), out[y].data() + len[y]), uint32_t(n << 8 | (y ? 4 : 2))};
}

TEST(ArchiveOpen, NewMissingAndDamagedFiles) {
    TempDir dir;
    const std::string made = dir.file("a.qar");
    const std::string missing = dir.file("new.qar");
    ASSERT_EQ(1, create_archive(made.c_str(), 0xA1B2C3D4u));
    EXPECT_EQ(0, create_archive(made.c_str(), 0));
    EXPECT_EQ(raw_header(0, 0xA1B2C3D4u) + raw_table(0), read_file(made));
    EXPECT_EQ("Could not open file \"" + missing + "\"", open_error(missing, 0));
    EXPECT_EQ("(opened)", open_error(missing, 1));
    EXPECT_EQ(raw_header(0, 0) + raw_table(0), read_file(missing));
    // Each damaged file is refused untouched, for reading and writing, naming the base name.
    const std::string path = dir.file("sub\\c.qar");
    const std::string in = " file \"c.qar\"";
    const std::string bad = "Invalid header in" + in;
    const std::string empty = raw_table(0);
    const std::string good = expected_small(250);
    auto tables = [&](int counted, int found) {
        return "Header has " + std::to_string(counted) + " dtables; actually " +
               std::to_string(found) + " dtables in" + in;
    };
    std::string short_chain = good;
    put32(&short_chain, le32(good, 28), 0);
    std::string overlap = expected_small(100);
    put32(&overlap, 28, 3000);
    const std::string cases[][2] = {
        {good, "(opened)"},
        {good.substr(0, 27), "Could not read header of" + in},
        {raw_header(0, 0, 2) + empty, bad},
        {raw_header(0, 0, 1, 50) + empty, bad},
        {raw_header(-1, 0) + empty, bad},
        {raw_header(248, 0) + good.substr(28), bad},  // more live slots than counted
        {good.substr(0, 6000), "Could not read dtable 1 of" + in},
        {short_chain, tables(3, 2)},
        {raw_header(0, 0) + raw_table(3632) + raw_table(7236) + empty, tables(1, 3)},
        {raw_header(0, 0) + raw_table(28), tables(1, 2)},  // a loop
        {overlap, tables(2, 2)},
        {raw_header(INT32_MAX, 0) + empty, tables(21474837, 1)},
    };
    for (const auto& [bytes, message] : cases) {
        write_file(path, bytes);
        EXPECT_EQ(message, open_error(path, 0)) << message;
        EXPECT_EQ(message, open_error(path, 1)) << message;
        EXPECT_EQ(bytes, read_file(path));
    }
}

TEST(ArchiveOpen, DamagedEntriesFailTheirOperationAndWriteNothing) {
    TempDir dir;
    const std::string path = dir.file("c.qar");
    const std::string in = " file \"c.qar\"";
    // 4 GB in a small file; an index beyond the tables; one onto another slot; 4 counted, 3 used.
    const std::vector<RawEntry> entries = {
        {"big", 3632, 0, ~0u, 0, 0}, {"lost", 3632, 777, 4, 0, 0}, {"moved", 3632, 0, 4, 0, 0}};
    const std::string file = raw_header(4, 0) + raw_table(0, entries) + "abcd";
    write_file(path, file);
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    Bytes four(4);
    EXPECT_EQ("Could not read record big from" + in, error_if(read_back(handle, "big").empty()));
    EXPECT_EQ("Could not read dtable 7 of" + in, error_if(!delete_record(handle, "lost")));
    EXPECT_EQ("Could not read dtable 7 of" + in,
              error_if(!replace_record(handle, four.data(), 4, 0, "lost")));
    EXPECT_EQ("Could not find record \"moved\" in" + in, error_if(!delete_record(handle, "moved")));
    EXPECT_EQ("Could not write data x to" + in + ": its directory does not match its header",
              error_if(!append_record(handle, four.data(), 1, 0, "x", nullptr)));
    close_archive(handle);
    EXPECT_EQ(file, read_file(path));
}

TEST(ArchiveStore, FatalErrorExitsWith107) {
    EXPECT_EXIT(fatal_error(nullptr), testing::ExitedWithCode(107), "");
}

TEST(ArchiveRecords, ChainingAt99And100And101IsByteExact) {
    TempDir dir;
    ArchiveHandle* handle = open_archive(dir.file("c.qar").c_str(), 1);
    ASSERT_TRUE(append_small(handle, 0, 98));
    for (int n : {99, 100, 101}) {
        ASSERT_TRUE(append_small(handle, n - 1, 1)) << last_error_text();
        EXPECT_EQ(expected_small(n), read_file(dir.file("c.qar"))) << n;
    }
    close_archive(handle);
}

TEST(ArchiveRecords, AppendStoresTheLibrarysShorterStreamOfTheMaskedBytes) {
    TempDir dir;
    const std::string path = dir.file("k.qar");
    const uint32_t key = key_from_password("123456789");
    EXPECT_EQ(0xFC891918u, key);
    ASSERT_EQ(LZO_E_OK, lzo_init());
    ASSERT_EQ(1, create_archive(path.c_str(), key));
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    const std::vector<Bytes> cases = {
        {0, 0, 0, 0, 5, 6, 7},  // one word masked, three bytes left
        make_bytes(TEXT, 50000, 1), Bytes(12, 0), Bytes(1000, 0),
        make_bytes(NOISE, 4000, 3), make_bytes(FAR, 20000, 0)};
    int seen = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto [bytes, flags] = expected_stored(masked(cases[i], key), &seen);
        const uint32_t size = uint32_t(bytes.size());
        const uint32_t end = uint32_t(read_file(path).size());
        Bytes buffer = cases[i];
        uint32_t stored = 0;
        ASSERT_EQ(1, append_record(handle, buffer.data(), uint32_t(buffer.size()), 7,
                                   std::to_string(i).c_str(), &stored));
        const std::string file = read_file(path);
        const RawEntry e = raw_entries(file).back();
        EXPECT_EQ(bytes, file.substr(end)) << i;
        EXPECT_EQ(std::make_tuple(end, size, size, flags),
                  std::make_tuple(e.data_offset, e.stored_size, stored, e.flags)) << i;
        EXPECT_EQ(masked(cases[i], key), buffer) << i << ": the caller's buffer ends up masked";
    }
    EXPECT_EQ(15, seen) << "every rule of the choice was exercised";
    close_archive(handle);
    handle = open_archive(path.c_str(), 0);
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(cases[i], read_back(handle, std::to_string(i))) << i;
    close_archive(handle);
}

TEST(ArchiveRecords, SizesAroundTheTwentyFourBitLimit) {
    TempDir dir;
    const std::string path = dir.file("s.qar");
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    Bytes data(16777216);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7 / 13);
    // The largest size the flags hold, one more (stored as is), one whose flags set bit 31.
    for (uint32_t size : {16777215u, 16777216u, 10000000u}) {
        const uint32_t size_bits = size > 16777215u ? 0 : size << 8;
        uint32_t stored = 0xABCD;
        const std::string name = std::to_string(size);
        ASSERT_EQ(1, append_record(handle, data.data(), size, 0, name.c_str(), &stored));
        const RawEntry e = raw_entries(read_file(path)).back();
        EXPECT_EQ(size_bits, e.flags & ~0xFFu) << size;
        EXPECT_EQ(size_bits != 0, (e.flags & 6) != 0) << size;
        EXPECT_EQ(size_bits != 0 ? e.stored_size : 0xABCDu, stored) << size;
        ArchiveHandle* reader = open_archive(path.c_str(), 0);
        EXPECT_TRUE(read_back(reader, name) == Bytes(data.begin(), data.begin() + size)) << size;
        close_archive(reader);
    }
    close_archive(handle);
}

TEST(ArchiveRecords, ReplaceDeleteAndReadIntoACallersBuffer) {
    TempDir dir;
    const std::string path = dir.file("t.qar");
    const Bytes text = make_bytes(TEXT, 20000, 4);
    const Bytes fresh = make_bytes(NOISE, 333, 6);
    Bytes buffer;
    uint32_t size = 7;
    ASSERT_EQ(1, create_archive(path.c_str(), 0x5A5A5A5A));
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    for (const char* name : {"Level.Map", "plain"}) {  // both compressed
        buffer = text;
        ASSERT_EQ(1, append_record(handle, buffer.data(), 20000, 1, name, &size));
    }
    close_archive(handle);
    handle = open_archive(path.c_str(), 1);
    std::string expected = read_file(path);
    buffer = fresh;
    EXPECT_EQ(0, replace_record(handle, buffer.data(), 333, 99, "nothere"));
    EXPECT_STREQ("Could not find old record \"nothere\" in file \"t.qar\"", last_error_text());
    EXPECT_EQ(expected, read_file(path));
    buffer = fresh;
    ASSERT_EQ(1, replace_record(handle, buffer.data(), 333, 99, "LEVEL.MAP")) << last_error_text();
    ASSERT_EQ(1, delete_record(handle, "plain"));
    // Slot 0: data offset at 48, stored size 56, time 60, flags 64; slot 1's flags at 100.
    put32(&expected, 48, uint32_t(expected.size()));
    put32(&expected, 56, 333);
    put32(&expected, 60, 99);
    put32(&expected, 64, 0);
    expected[100] |= 1;  // the deleted bit and nothing else
    const Bytes m = masked(fresh, 0x5A5A5A5A);
    EXPECT_EQ(expected + std::string(m.begin(), m.end()), read_file(path));
    // The snapshot keeps the record as it was at open; one byte short reads nothing.
    Bytes small(19999, 0xEE);
    Bytes exact(20000);
    size = 7;
    set_last_error("untouched");
    EXPECT_EQ(nullptr, read_record(handle, "level.map", &size, small.data(), 19999));
    EXPECT_EQ(std::make_tuple(Bytes(19999, 0xEE), 7u, std::string("untouched")),
              std::make_tuple(small, size, std::string(last_error_text())));
    EXPECT_EQ(exact.data(), read_record(handle, "level.map", &size, exact.data(), 20000));
    EXPECT_EQ(text, exact);
    close_archive(handle);
    handle = open_archive(path.c_str(), 0);
    EXPECT_EQ(1, handle->entry_count);
    EXPECT_EQ(fresh, read_back(handle, "level.map"));
    close_archive(handle);
}

// "flags:stored bytes" of one encoding path, or "failed".
static std::string encode_with(decltype(&encode_record) encode, Bytes data) {
    data.push_back(0);  // so that even an empty record has an address
    uint32_t stored = 0;
    uint32_t flags = 0;
    uint8_t* out = encode(data.data(), uint32_t(data.size() - 1), &stored, &flags);
    if (out == nullptr)
        return "failed";
    const std::string result = std::to_string(flags) + ":" + std::string(out, out + stored);
    if (flags != 0)
        free(out);
    return result;
}

TEST(CodecThreaded, StoresExactlyTheSequentialBytesForAnyRecord) {
    auto same = [](const Bytes& r) {
        return encode_with(encode_record_sequential, r) == encode_with(encode_record_threaded, r);
    };
    // Every content at sizes around the threshold and the worker's copy buffers.
    const uint32_t threshold = CODEC_PARALLEL_MIN_SIZE;
    for (uint32_t size : {0u, 1u, 12u, 1000u, threshold - 1, threshold, threshold + 1, 10007u,
                          65536u, 65537u, 150000u}) {
        for (Content kind : {ZEROS, TEXT, NOISE, FAR})
            EXPECT_TRUE(same(make_bytes(kind, size, size))) << kind << " " << size;
    }
    // Then hundreds in a row, as an add of many files hands them over.
    for (int i = 0; i < 600; ++i)
        EXPECT_TRUE(same(make_bytes(i % 2 ? TEXT : FAR, 1 + 13 * i, i))) << i;
}

TEST(InterruptedAppend, TheCompletedRecordIsListedAndTheNextAppendMendsTheFile) {
    // 99, 150: the slot was written, the header not; 100, 200: the table chained on, too.
    for (int done : {99, 150, 100, 200}) {
        TempDir dir;
        std::string file = expected_small(done);
        put32(&file, 16, uint32_t(done - 1));
        write_file(dir.file("a.qar"), file);
        EXPECT_TRUE(small_records_intact(dir.file("a.qar"), done)) << done;
        EXPECT_TRUE(reopen_and_append(dir.file("a.qar"), done, 1)) << done << last_error_text();
        EXPECT_EQ(expected_small(done + 1), read_file(dir.file("a.qar"))) << done;
    }
}

// Run in a child: appends small records from 98 on under a file size limit until one fails,
// and exits with the number appended.
[[noreturn]] static void append_until_full(const std::string& path, rlim_t limit) {
    const struct rlimit rl = {limit, RLIM_INFINITY};
    signal(SIGXFSZ, SIG_IGN);
    ArchiveHandle* handle = nullptr;
    if (setrlimit(RLIMIT_FSIZE, &rl) == 0)
        handle = open_archive(path.c_str(), 1);
    int done = 0;
    while (handle != nullptr && done < 5 && append_small(handle, 98 + done, 1))
        ++done;
    _exit(handle != nullptr ? done : 99);
}

TEST(FailedWrite, AFullDiskLeavesEveryEarlierRecordAndALaterAppendCompletes) {
    // The limits cut the 99th record, the 100th record's data, the table it chains on, the 101st.
    const int64_t e99 = int64_t(expected_small(99).size());
    const int64_t e100 = int64_t(expected_small(100).size());
    for (int64_t limit : {e99 - 1, e99 + 1, e100 - 3604, e100 - 1, e100 + 1}) {
        TempDir dir;
        const std::string path = dir.file("t.qar");
        write_file(path, expected_small(98));
        if (fork() == 0)
            append_until_full(path, rlim_t(limit));
        int status = -1;
        wait(&status);
        const int done = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        ASSERT_TRUE(done >= 0 && done < 5) << limit << ": " << status;
        EXPECT_TRUE(small_records_intact(path, 98 + done)) << limit;
        EXPECT_TRUE(reopen_and_append(path, 98 + done, 5 - done)) << limit << last_error_text();
        EXPECT_TRUE(small_records_intact(path, 103)) << limit;
    }
}

TEST(SizeLimit, AppendsThatWouldPassTwoGigabytesFailAndWriteNothing) {
    TempDir dir;
    const std::string path = dir.file("big.qar");
    const uintmax_t max = 2147483647;
    const uintmax_t start = max - 3604 - 10;
    write_file(path, expected_small(99));
    ASSERT_EQ(0, truncate(path.c_str(), off_t(start)));  // sparse, unreferenced
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    // The 100th record chains a table on: 11 + 3604 bytes do not fit, 10 do.
    Bytes data(11);
    EXPECT_EQ(0, append_record(handle, data.data(), 11, 0, "over", nullptr));
    EXPECT_STREQ("Could not write data over to file \"big.qar\": "
                 "the archive would grow past 2147483647 bytes",
                 last_error_text());
    EXPECT_EQ(start, std::filesystem::file_size(path));
    EXPECT_TRUE(small_records_intact(path, 99));
    EXPECT_EQ(1, append_record(handle, data.data(), 10, 0, "last", nullptr)) << last_error_text();
    EXPECT_EQ(max, std::filesystem::file_size(path));
    close_archive(handle);
}
