// Appending, replacing, deleting and reading records, checked against the
// file's bytes.
#include <gtest/gtest.h>
#include <lzo1x.h>
#include <lzo1y.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive_handle.h"
#include "archive_test_util.h"
#include "record_codec.h"
#include "record_ops.h"
#include "test_support.h"

namespace {

std::string str(const std::vector<uint8_t>& data) { return std::string(data.begin(), data.end()); }

// Masking done here, not by the store: whole little-endian words XOR key.
std::vector<uint8_t> masked_by_hand(std::vector<uint8_t> data, uint32_t key) {
    for (size_t i = 0; i + 4 <= data.size(); i += 4)
        for (size_t b = 0; b < 4; ++b) data[i + b] ^= uint8_t(key >> (8 * b));
    return data;
}

// The stored bytes and flags for masked bytes, computed straight with the
// library: both 999 compressors, the shorter stream (LZO1X on a tie) when it
// is shorter than the data, rewritten by that method's optimiser.
std::pair<std::string, uint32_t> expected_stored(const std::vector<uint8_t>& masked) {
    EXPECT_EQ(LZO_E_OK, lzo_init());
    const lzo_uint size = masked.size();
    std::vector<uint8_t> work(LZO1X_999_MEM_COMPRESS), x(size + size / 64 + 19), y(x.size()), scratch(size);
    lzo_uint lx = x.size(), ly = y.size(), scratch_size = size;
    EXPECT_EQ(LZO_E_OK, lzo1x_999_compress(masked.data(), size, x.data(), &lx, work.data()));
    EXPECT_EQ(LZO_E_OK, lzo1y_999_compress(masked.data(), size, y.data(), &ly, work.data()));
    if (lx <= ly && lx < size) {
        EXPECT_EQ(LZO_E_OK, lzo1x_optimize(x.data(), lx, scratch.data(), &scratch_size, nullptr));
        return {std::string(x.begin(), x.begin() + lx), uint32_t(size << 8 | 2)};
    }
    if (ly < size) {
        EXPECT_EQ(LZO_E_OK, lzo1y_optimize(y.data(), ly, scratch.data(), &scratch_size, nullptr));
        return {std::string(y.begin(), y.begin() + ly), uint32_t(size << 8 | 4)};
    }
    return {str(masked), 0};
}

struct Records : testing::Test {
    TempDir dir;
    std::string path = dir.file("t.qar");
    ArchiveHandle* handle = nullptr;

    void open_new(uint32_t key) {
        ASSERT_EQ(1, create_archive(path.c_str(), key)) << last_error_text();
        handle = must_open(path, 1);
    }
    void reopen(int for_write) {
        close_archive(handle);
        handle = must_open(path, for_write);
    }
    void TearDown() override {
        if (handle != nullptr) close_archive(handle);
    }
    int append(std::vector<uint8_t> data, const char* name, uint32_t* stored = nullptr) {
        return append_record(handle, data.data(), uint32_t(data.size()), 7, name, stored);
    }
    std::vector<uint8_t> read_back(const char* name) {
        uint32_t size = 0;
        uint8_t* data = read_record_alloc(handle, name, &size);
        EXPECT_NE(nullptr, data) << last_error_text();
        std::vector<uint8_t> out(data, data + (data != nullptr ? size : 0));
        free(data);
        return out;
    }
};

}  // namespace

TEST_F(Records, ChainingAt99And100And101RecordsIsByteExact) {
    open_new(0);
    append_small_records(handle, 0, 99);
    EXPECT_EQ(expected_small_archive(99), read_file(path));
    EXPECT_EQ(1, handle->table_count);
    append_small_records(handle, 99, 1);
    EXPECT_EQ(expected_small_archive(100), read_file(path));
    EXPECT_EQ(2, handle->table_count);
    append_small_records(handle, 100, 1);
    EXPECT_EQ(expected_small_archive(101), read_file(path));
    reopen(0);
    EXPECT_EQ(101, handle->entry_count);
    EXPECT_EQ(101, handle->next_index);
}

TEST_F(Records, StoredBytesAreTheLibrarysStreamOfTheMaskedBytes) {
    const uint32_t key = 0x11223344;
    open_new(key);
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
        {"ten", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}, {"text.txt", compressible_bytes(50000, 1)},
        {"small.txt", compressible_bytes(300, 2)}, {"noise.bin", noise_bytes(4000, 3)},
        {"zeros.bin", std::vector<uint8_t>(70001, 0)}};
    for (const auto& [name, plain] : cases) {
        const std::vector<uint8_t> masked = masked_by_hand(plain, key);
        const auto [stored_bytes, flags] = expected_stored(masked);
        std::vector<uint8_t> buffer = plain;
        uint32_t stored = 0;
        const uint32_t offset = uint32_t(file_size_of(path));
        ASSERT_EQ(1, append_record(handle, buffer.data(), uint32_t(buffer.size()), 7, name, &stored))
            << last_error_text();
        EXPECT_EQ(masked, buffer) << "the caller's buffer holds the masked bytes";
        EXPECT_EQ(stored_bytes.size(), stored);
        const std::string file = read_file(path);
        EXPECT_EQ(stored_bytes, file.substr(offset)) << name;
        const int index = handle->next_index - 1;
        EXPECT_EQ(entry_bytes(name, offset, index, stored, 7, flags), file.substr(slot_at(28, index), 36));
    }
    EXPECT_EQ(str(masked_by_hand({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, key)), read_file(path).substr(3632, 10));
    reopen(0);
    for (const auto& [name, plain] : cases) EXPECT_EQ(plain, read_back(name)) << name;
}

TEST_F(Records, NamesAreCutLowerCasedAndOnlySeenAfterReopening) {
    open_new(0);
    ASSERT_EQ(1, append({1, 2, 3}, "Textures.PAK"));
    ASSERT_EQ(1, append({1, 2, 3}, "ABCDEFGHIJKLMNOPQRST"));
    const std::string file = read_file(path);
    EXPECT_EQ(std::string("textures.pak\0\0\0\0", 16), file.substr(slot_at(28, 0), 16));
    EXPECT_EQ("abcdefghijklmnop", file.substr(slot_at(28, 1), 16));
    EXPECT_EQ(nullptr, find_entry(handle, "textures.pak"));
    reopen(0);
    EXPECT_NE(nullptr, find_entry(handle, "TEXTURES.pak"));
    EXPECT_NE(nullptr, find_entry(handle, "abcdefghijklmnopXYZ"));
}

TEST_F(Records, EmptyRecordsAndEmptyNamesAreNotStored) {
    open_new(0);
    uint32_t stored = 0;
    EXPECT_EQ(0, append({}, "empty", &stored));
    EXPECT_STREQ("Could not write data empty to file \"t.qar\"", last_error_text());
    EXPECT_EQ(0, append({1}, "", &stored));
    EXPECT_EQ(header_bytes(0, 0) + std::string(3604, '\0'), read_file(path));
    EXPECT_EQ(1, append({1}, "one", &stored)) << "the handle is still usable";
}

TEST_F(Records, ReplaceStoresUncompressedKeepsNameIndexAndHeader) {
    open_new(0x5A5A5A5A);
    const std::vector<uint8_t> original = compressible_bytes(20000, 5);
    uint32_t stored = 0;
    ASSERT_EQ(1, append(original, "Level.Map", &stored));
    reopen(1);
    ASSERT_NE(0u, find_entry(handle, "level.map")->flags & 6);
    const std::string before = read_file(path);

    const std::vector<uint8_t> fresh = noise_bytes(333, 6);
    std::vector<uint8_t> buffer = fresh;
    ASSERT_EQ(1, replace_record(handle, buffer.data(), 333, 99, "LEVEL.MAP")) << last_error_text();
    std::string expected = before + str(masked_by_hand(fresh, 0x5A5A5A5A));
    expected.replace(slot_at(28, 0), 36, entry_bytes("level.map", uint32_t(before.size()), 0, 333, 99, 0));
    EXPECT_EQ(expected, read_file(path));
    EXPECT_EQ(original, read_back("level.map")) << "the snapshot still points at the old data";

    EXPECT_EQ(0, replace_record(handle, buffer.data(), 333, 0, "nothere"));
    EXPECT_STREQ("Could not find old record \"nothere\" in file \"t.qar\"", last_error_text());
    EXPECT_EQ(expected, read_file(path)) << "a missing name adds no bytes";
    reopen(0);
    EXPECT_EQ(fresh, read_back("level.map"));
}

TEST_F(Records, DeleteSetsOnlyTheDeletedBitOfItsTable) {
    open_new(0);
    append_small_records(handle, 0, 260);
    reopen(1);
    std::string expected = read_file(path);
    ASSERT_EQ(1, delete_record(handle, "REC250")) << last_error_text();
    expected[slot_at(handle->table_offsets[2], 50) + 32] |= 1;
    EXPECT_EQ(expected, read_file(path));
    // Still in this handle's snapshot: readable and deletable again.
    EXPECT_EQ(small_record(250), read_back("rec250"));
    EXPECT_EQ(1, delete_record(handle, "rec250"));
    EXPECT_EQ(expected, read_file(path));
    EXPECT_EQ(0, delete_record(handle, "missing"));
    EXPECT_STREQ("Could not find record \"missing\" in file \"t.qar\"", last_error_text());
    reopen(1);
    EXPECT_EQ(259, handle->entry_count);
    EXPECT_EQ(nullptr, find_entry(handle, "rec250"));
    // Table 2 gone from under the handle: its number is in the message.
    ASSERT_EQ(0, truncate(path.c_str(), off_t(handle->table_offsets[2])));
    EXPECT_EQ(0, delete_record(handle, "rec251"));
    EXPECT_STREQ("Could not read dtable 2 of file \"t.qar\"", last_error_text());
}

TEST_F(Records, ReadIntoACallersBufferThatIsOneByteTooSmallOrExact) {
    open_new(0x01020304);
    const std::vector<uint8_t> plain = noise_bytes(100, 1), text = compressible_bytes(5000, 2);
    uint32_t stored = 0;
    ASSERT_EQ(1, append(plain, "plain", &stored));
    ASSERT_EQ(1, append(text, "text", &stored));
    reopen(0);
    set_last_error("untouched");
    for (const auto& [name, data] : {std::pair{"plain", plain}, std::pair{"text", text}}) {
        std::vector<uint8_t> small(data.size() - 1, 0xEE), exact(data.size());
        uint32_t size = 12345;
        EXPECT_EQ(nullptr, read_record(handle, name, &size, small.data(), uint32_t(small.size())));
        EXPECT_EQ(std::vector<uint8_t>(data.size() - 1, 0xEE), small) << name;
        EXPECT_EQ(12345u, size);
        EXPECT_STREQ("untouched", last_error_text());
        EXPECT_EQ(exact.data(), read_record(handle, name, &size, exact.data(), uint32_t(exact.size())));
        EXPECT_EQ(data, exact);
    }
}

TEST_F(Records, DamagedEntriesFailCleanlyAndWriteNothing) {
    // "big" claims 4 GB inside a 4 KB file; "far" starts beyond the end; "lost"
    // has an index beyond the tables; "moved" an index whose slot holds
    // another record; "badstream" a stream the decoder rejects.
    const std::vector<std::string> entries = {
        entry_bytes("big", 3632, 0, 0xFFFFFFFFu, 0, 0), entry_bytes("far", 0xFFFFFFF0u, 1, 16, 0, 0),
        entry_bytes("lost", 3632, 777, 4, 0, 0), entry_bytes("moved", 3632, 0, 4, 0, 0),
        entry_bytes("badstream", 3632, 4, 4, 0, (100u << 8) | 2)};
    const std::string file = header_bytes(5, 0) + table_bytes(0, entries) + "abcd";
    write_file(path, file);
    handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    uint32_t size = 0;
    for (const char* name : {"big", "far"}) {
        EXPECT_EQ(nullptr, read_record_alloc(handle, name, &size));
        EXPECT_EQ("Could not read record " + std::string(name) + " from file \"t.qar\"", last_error_text());
    }
    EXPECT_EQ(nullptr, read_record_alloc(handle, "badstream", &size));
    EXPECT_EQ(0u, std::string(last_error_text()).rfind("Error -", 0)) << last_error_text();
    uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(0, delete_record(handle, "lost"));
    EXPECT_STREQ("Could not read dtable 7 of file \"t.qar\"", last_error_text());
    EXPECT_EQ(0, replace_record(handle, data, 4, 0, "lost"));
    EXPECT_STREQ("Could not read dtable 7 of file \"t.qar\"", last_error_text());
    EXPECT_EQ(0, delete_record(handle, "moved"));
    EXPECT_STREQ("Could not find record \"moved\" in file \"t.qar\"", last_error_text());
    EXPECT_EQ(0, replace_record(handle, data, 4, 0, "moved"));
    EXPECT_EQ(file, read_file(path));
}

TEST_F(Records, SizesAroundTheTwentyFourBitLimit) {
    open_new(0);
    const struct {
        const char* name;
        uint32_t size;
        uint32_t size_bits;  // bits 8-31 of the flags word; 0: stored uncompressed
    } cases[] = {{"max24", 16777215u, 0xFFFFFF00u}, {"over24", 16777216u, 0}, {"ten_million", 10000000u, 10000000u << 8}};
    for (const auto& c : cases) {
        uint32_t stored = 0xABCDABCD;
        ASSERT_EQ(1, append(compressible_bytes(c.size, c.size), c.name, &stored)) << last_error_text();
        const std::string slot = read_file(path).substr(slot_at(28, handle->next_index - 1), 36);
        EXPECT_EQ(c.size_bits, get32(slot, 32) & 0xFFFFFF00u) << c.name;
        EXPECT_EQ(c.size_bits == 0 ? 0u : 1u, (get32(slot, 32) & 6) != 0 ? 1u : 0u) << c.name;
        EXPECT_EQ(c.size_bits == 0 ? c.size : stored, get32(slot, 24));
        if (c.size_bits == 0) {
            EXPECT_EQ(0xABCDABCDu, stored) << "compression not tried";
        }
    }
    reopen(0);
    for (const auto& c : cases) EXPECT_TRUE(read_back(c.name) == compressible_bytes(c.size, c.size)) << c.name;
}
