// Archives and their records, checked against files laid out by hand and the library's own streams.
#include <lzo1x.h>
#include <lzo1y.h>

#include "archive_cases.h"
#include "record_codec.h"

static std::string open_error(const std::string& path, int for_write) {
    ArchiveHandle* handle = open_archive(path.c_str(), for_write);
    return handle == nullptr ? last_error_text() : (close_archive(handle), "(opened)");
}

static Bytes masked(Bytes data, uint32_t key) {
    for (size_t i = 0; i < data.size() / 4 * 4; ++i) data[i] ^= uint8_t(key >> (8 * (i % 4)));
    return data;
}

// What an append stores for these masked bytes, worked out with the library. *seen collects
// the rule that decided: 1 LZO1X shorter, 2 a tie, 4 LZO1Y shorter, 8 neither shorter.
static std::pair<std::string, uint32_t> expected_stored(const Bytes& m, int* seen) {
    static Bytes work(LZO1X_999_MEM_COMPRESS);
    lzo_uint n = m.size(), len[2] = {n + n / 64 + 19, n + n / 64 + 19}, plain = n;
    Bytes out[2] = {Bytes(len[0]), Bytes(len[0])}, scratch(n);
    EXPECT_EQ(LZO_E_OK, lzo1x_999_compress(m.data(), n, out[0].data(), &len[0], work.data()));
    EXPECT_EQ(LZO_E_OK, lzo1y_999_compress(m.data(), n, out[1].data(), &len[1], work.data()));
    const int y = len[1] < len[0];
    *seen |= len[y] >= n ? 8 : y ? 4 : len[0] == len[1] ? 2 : 1;
    if (len[y] >= n) return {std::string(m.begin(), m.end()), 0};
    EXPECT_EQ(LZO_E_OK, (y ? lzo1y_optimize : lzo1x_optimize)(out[y].data(), len[y], scratch.data(), &plain, nullptr));
    return {std::string(out[y].begin(), out[y].begin() + len[y]), uint32_t(n << 8 | (y ? 4 : 2))};
}

TEST(ArchiveOpen, NewMissingAndDamagedFiles) {
    TempDir dir;
    const std::string made = dir.file("a.qar"), missing = dir.file("new.qar");
    ASSERT_EQ(1, create_archive(made.c_str(), 0xA1B2C3D4u));
    EXPECT_EQ(0, create_archive(made.c_str(), 0));
    EXPECT_EQ("File \"" + made + "\" already exists", last_error_text());
    EXPECT_EQ(raw_header(0, 0xA1B2C3D4u) + raw_table(0), read_file(made));
    EXPECT_EQ("Could not open file \"" + missing + "\"", open_error(missing, 0));
    EXPECT_EQ("(opened)", open_error(missing, 1));
    EXPECT_EQ(raw_header(0, 0) + raw_table(0), read_file(missing));
    const std::string path = dir.file("sub\\c.qar"), in = " file \"c.qar\"", bad = "Invalid header in" + in, empty = raw_table(0);
    std::string good = expected_small(250), short_chain = good, overlap = expected_small(100);
    put32(&short_chain, le32(good, 28), 0);
    put32(&overlap, 28, 3000);
    const std::pair<std::string, std::string> cases[] = {
        {good, "(opened)"}, {good.substr(0, 27), "Could not read header of" + in}, {raw_header(0, 0, 2) + empty, bad},
        {raw_header(0, 0, 1, 50) + empty, bad}, {raw_header(-1, 0) + empty, bad}, {raw_header(248, 0) + good.substr(28), bad},
        {good.substr(0, 6000), "Could not read dtable 1 of" + in}, {short_chain, "Header has 3 dtables; actually 2 dtables in" + in},
        {raw_header(0, 0) + raw_table(3632) + raw_table(7236) + empty, "Header has 1 dtables; actually 3 dtables in" + in},
        {raw_header(0, 0) + raw_table(28), "Header has 1 dtables; actually 2 dtables in" + in},
        {overlap, "Header has 2 dtables; actually 2 dtables in" + in},
        {raw_header(INT32_MAX, 0) + empty, "Header has 21474837 dtables; actually 1 dtables in" + in}};
    for (const auto& [bytes, message] : cases) {  // the messages name the base name only
        write_file(path, bytes);
        for (int for_write : {0, 1}) EXPECT_EQ(message, open_error(path, for_write)) << message;
        EXPECT_EQ(bytes, read_file(path));
    }
    // 4 GB in a small file; indexes beyond the tables and onto another record; a slot fewer than counted.
    const std::vector<RawEntry> entries = {{"big", 3632, 0, ~0u, 0, 0}, {"lost", 3632, 777, 4, 0, 0}, {"moved", 3632, 0, 4, 0, 0}};
    const std::string file = raw_header(4, 0) + raw_table(0, entries) + "abcd";
    write_file(path, file);
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    auto error = [](bool failed) { return failed ? std::string(last_error_text()) : "(succeeded)"; };
    EXPECT_EQ("Could not read record big from" + in, error(read_back(handle, "big").empty()));
    EXPECT_EQ("Could not read dtable 7 of" + in, error(!delete_record(handle, "lost")));
    EXPECT_EQ("Could not read dtable 7 of" + in, error(!replace_record(handle, Bytes(4).data(), 4, 0, "lost")));
    EXPECT_EQ("Could not find record \"moved\" in" + in, error(!delete_record(handle, "moved")));
    EXPECT_EQ("Could not write data x to" + in + ": its directory does not match its header",
              error(!append_record(handle, Bytes(1).data(), 1, 0, "x", nullptr)));
    close_archive(handle);
    EXPECT_EQ(file, read_file(path));
}

TEST(ArchiveStore, FatalErrorExitsWith107) { EXPECT_EXIT(fatal_error(nullptr), testing::ExitedWithCode(107), ""); }

TEST(ArchiveRecords, ChainingAt99And100And101IsByteExact) {
    TempDir dir;
    ArchiveHandle* handle = open_archive(dir.file("c.qar").c_str(), 1);
    for (int n : {99, 100, 101}) {
        ASSERT_TRUE(append_small(handle, n == 99 ? 0 : n - 1, n == 99 ? 99 : 1)) << last_error_text();
        EXPECT_EQ(expected_small(n), read_file(dir.file("c.qar"))) << n;
    }
    close_archive(handle);
}

TEST(ArchiveRecords, AppendStoresTheLibrarysShorterStreamOfTheMaskedBytes) {
    TempDir dir;
    const std::string path = dir.file("k.qar");
    const uint32_t key = key_from_password("123456789");
    EXPECT_EQ(std::make_pair(0u, 0xFC891918u), std::make_pair(key_from_password(""), key));
    ASSERT_EQ(LZO_E_OK, lzo_init());
    ASSERT_EQ(1, create_archive(path.c_str(), key));
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    const std::vector<Bytes> cases = {{0, 0, 0, 0, 5, 6, 7}, make_bytes(TEXT, 50000, 1), Bytes(12, 0), Bytes(1000, 0),
                                      make_bytes(NOISE, 4000, 3), make_bytes(FAR, 20000, 0)};
    int seen = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto [bytes, flags] = expected_stored(masked(cases[i], key), &seen);
        Bytes buffer = cases[i];
        uint32_t stored = 0, end = uint32_t(read_file(path).size());
        ASSERT_EQ(1, append_record(handle, buffer.data(), uint32_t(buffer.size()), 7, std::to_string(i).c_str(), &stored));
        const std::string file = read_file(path);
        const RawEntry e = raw_entries(file).back();
        EXPECT_EQ(std::make_tuple(bytes, end, uint32_t(bytes.size()), uint32_t(bytes.size()), flags, masked(cases[i], key)),
                  std::make_tuple(file.substr(end), e.data_offset, e.stored_size, stored, e.flags, buffer)) << i;  // buffer masked
    }
    EXPECT_EQ(15, seen) << "every rule of the choice was exercised";
    close_archive(handle);
    handle = open_archive(path.c_str(), 0);
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_TRUE(cases[i] == read_back(handle, std::to_string(i))) << i;
    close_archive(handle);
}

TEST(ArchiveRecords, SizesAroundTheTwentyFourBitLimit) {
    TempDir dir;
    const std::string path = dir.file("s.qar");
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    Bytes data(16777216);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 / 13);
    for (uint32_t size : {16777215u, 16777216u, 10000000u}) {  // largest in the flags; one more; bit 31 set
        uint32_t stored = 0xABCD, size_bits = size > 16777215u ? 0 : size << 8;
        ASSERT_EQ(1, append_record(handle, data.data(), size, 0, std::to_string(size).c_str(), &stored));
        const RawEntry e = raw_entries(read_file(path)).back();
        EXPECT_EQ(std::make_tuple(size_bits, size_bits != 0, size_bits != 0 ? e.stored_size : 0xABCDu),
                  std::make_tuple(e.flags & ~0xFFu, (e.flags & 6) != 0, stored)) << size;
        ArchiveHandle* reader = open_archive(path.c_str(), 0);
        EXPECT_TRUE(read_back(reader, std::to_string(size)) == Bytes(data.begin(), data.begin() + size)) << size;
        close_archive(reader);
    }
    close_archive(handle);
}

TEST(ArchiveRecords, IndexReplaceDeleteAndReadIntoACallersBuffer) {
    TempDir dir;
    const std::string path = dir.file("t.qar");
    const Bytes text = make_bytes(TEXT, 20000, 4), fresh = make_bytes(NOISE, 333, 6);
    Bytes buffer, small(19999, 0xEE), exact(20000);
    uint32_t stored = 0, size = 7;
    ASSERT_EQ(1, create_archive(path.c_str(), 0x5A5A5A5A));
    ArchiveHandle* handle = open_archive(path.c_str(), 1);
    for (const char* name : {"Level.Map", "plain", "b", "_a", "Sixteen-Bytes-XYZZY", "a"}) {
        buffer = name[0] == 'L' || name[0] == 'p' ? text : fresh;  // both compressed
        ASSERT_EQ(1, append_record(handle, buffer.data(), uint32_t(buffer.size()), 1, name, &stored));
    }
    close_archive(handle);
    handle = open_archive(path.c_str(), 1);
    std::string order, expected = read_file(path);
    for (int i = 0; i < handle->entry_count; ++i) order += std::string(handle->entries[i].name, 16).c_str() + std::string(" ");
    EXPECT_EQ("_a a b level.map plain sixteen-bytes-xy ", order);
    EXPECT_EQ(std::make_pair(handle->entries + 5, (DirectoryEntry*)nullptr),
              std::make_pair(find_entry(handle, "SIXTEEN-BYTES-XY.more"), find_entry(handle, "sixteen-bytes-x")));
    EXPECT_EQ(0, replace_record(handle, buffer.data(), 333, 99, "nothere"));
    EXPECT_STREQ("Could not find old record \"nothere\" in file \"t.qar\"", last_error_text());
    EXPECT_EQ(expected, read_file(path));
    ASSERT_EQ(1, replace_record(handle, (buffer = fresh).data(), 333, 99, "LEVEL.MAP")) << last_error_text();
    ASSERT_EQ(1, delete_record(handle, "plain"));
    // Slot 0 starts at 32: data offset at 48, stored size 56, time 60, flags 64; slot 1's flags at 100.
    for (auto [at, value] : {std::pair{48, uint32_t(expected.size())}, {56, 333u}, {60, 99u}, {64, 0u}}) put32(&expected, size_t(at), value);
    const Bytes m = masked(fresh, 0x5A5A5A5A);
    expected.append(m.begin(), m.end())[100] |= 1;  // the deleted bit and nothing else
    EXPECT_EQ(expected, read_file(path));
    set_last_error("untouched");  // the snapshot keeps the record as it was at open
    EXPECT_EQ(nullptr, read_record(handle, "level.map", &size, small.data(), 19999));
    EXPECT_EQ(std::make_tuple(Bytes(19999, 0xEE), 7u, std::string("untouched")), std::make_tuple(small, size, std::string(last_error_text())));
    EXPECT_TRUE(read_record(handle, "level.map", &size, exact.data(), 20000) == exact.data() && text == exact);
    close_archive(handle);
    handle = open_archive(path.c_str(), 0);
    EXPECT_EQ(std::make_tuple(5, true, fresh), std::make_tuple(handle->entry_count, !find_entry(handle, "plain"), read_back(handle, "level.map")));
    close_archive(handle);
}

TEST(CodecThreaded, StoresExactlyTheSequentialBytesForAnyRecord) {
    // Every content at sizes around the threshold and the worker's copy buffers; then hundreds in a row.
    auto encode = [](auto fn, Bytes d) {  // "flags:stored bytes"
        d.push_back(0);  // so that even an empty record has an address
        uint32_t stored = 0, flags = 0;
        uint8_t* out = fn(d.data(), uint32_t(d.size() - 1), &stored, &flags);
        std::string e = out == nullptr ? "failed" : std::to_string(flags) + ":" + std::string(out, out + stored);
        return flags != 0 ? (free(out), e) : e;
    };
    auto same = [&](const Bytes& r) { return encode(encode_record_sequential, r) == encode(encode_record_threaded, r); };
    for (uint32_t size : {0u, 1u, 12u, 1000u, CODEC_PARALLEL_MIN_SIZE - 1, CODEC_PARALLEL_MIN_SIZE,
                          CODEC_PARALLEL_MIN_SIZE + 1, 10007u, 65536u, 65537u, 150000u})
        for (Content kind : {ZEROS, TEXT, NOISE, FAR}) EXPECT_TRUE(same(make_bytes(kind, size, size))) << kind << " " << size;
    for (int i = 0; i < 600; ++i) EXPECT_TRUE(same(make_bytes(i % 2 ? TEXT : FAR, 1 + 13 * i, i))) << i;
}
