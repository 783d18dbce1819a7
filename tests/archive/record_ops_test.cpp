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

std::string bytes_of(const std::vector<uint8_t>& data) {
    return std::string(data.begin(), data.end());
}

// The stored stream for masked bytes, computed straight with the library:
// both 999 compressors, the shorter stream (LZO1X on a tie) when it is
// shorter than the data, then the method's optimiser. Empty flags: stored as is.
struct Expected {
    std::string stored;
    uint32_t flags;
};

Expected expected_stored(const std::vector<uint8_t>& masked) {
    EXPECT_EQ(LZO_E_OK, lzo_init());
    const lzo_uint size = masked.size();
    std::vector<uint8_t> work(LZO1X_999_MEM_COMPRESS);
    std::vector<uint8_t> x(size + size / 64 + 19), y(size + size / 64 + 19);
    lzo_uint lx = x.size(), ly = y.size();
    EXPECT_EQ(LZO_E_OK, lzo1x_999_compress(masked.data(), size, x.data(), &lx, work.data()));
    EXPECT_EQ(LZO_E_OK, lzo1y_999_compress(masked.data(), size, y.data(), &ly, work.data()));
    std::vector<uint8_t> scratch(size);
    lzo_uint scratch_size = size;
    if (lx <= ly && lx < size) {
        EXPECT_EQ(LZO_E_OK, lzo1x_optimize(x.data(), lx, scratch.data(), &scratch_size, nullptr));
        return {std::string(x.begin(), x.begin() + lx), uint32_t(size << 8 | 2)};
    }
    if (ly < size) {
        EXPECT_EQ(LZO_E_OK, lzo1y_optimize(y.data(), ly, scratch.data(), &scratch_size, nullptr));
        return {std::string(y.begin(), y.begin() + ly), uint32_t(size << 8 | 4)};
    }
    return {bytes_of(masked), 0};
}

// The entry of record index as the file holds it (tables in order).
std::string slot_in_file(const std::string& file, uint32_t table_offset, uint32_t slot) {
    return file.substr(table_slot_offset(table_offset, slot), 36);
}

struct ArchiveFixture : testing::Test {
    TempDir dir;
    std::string path = dir.file("t.qar");
    ArchiveHandle* handle = nullptr;

    void open_new(uint32_t key) {
        ASSERT_EQ(1, create_archive(path.c_str(), key)) << last_error_text();
        handle = must_open(path, 1);
        ASSERT_NE(nullptr, handle);
    }
    void reopen(int for_write) {
        close_archive(handle);
        handle = must_open(path, for_write);
        ASSERT_NE(nullptr, handle);
    }
    void TearDown() override {
        if (handle != nullptr) close_archive(handle);
    }
    std::vector<uint8_t> read_back(const char* name) {
        uint32_t size = 0;
        uint8_t* data = read_record_alloc(handle, name, &size);
        EXPECT_NE(nullptr, data) << last_error_text();
        if (data == nullptr) return {};
        std::vector<uint8_t> out(data, data + size);
        free(data);
        return out;
    }
};

}  // namespace

TEST_F(ArchiveFixture, ChainingAt99And100And101RecordsIsByteExact) {
    open_new(0);
    append_small_records(handle, 0, 99);
    EXPECT_EQ(expected_small_archive(99), read_file(path));
    EXPECT_EQ(1, handle->table_count);

    append_small_records(handle, 99, 1);
    std::string file = read_file(path);
    EXPECT_EQ(expected_small_archive(100), file);
    // Table 1 lies right behind record 99's bytes, and it is all zero.
    uint32_t table1 = get32(file, 28);
    EXPECT_EQ(get32(file, table_slot_offset(28, 99) + 16) + get32(file, table_slot_offset(28, 99) + 24),
              table1);
    EXPECT_EQ(std::string(3604, '\0'), file.substr(table1));
    EXPECT_EQ(2, handle->table_count);
    EXPECT_EQ(100, handle->next_index);

    append_small_records(handle, 100, 1);
    file = read_file(path);
    EXPECT_EQ(expected_small_archive(101), file);
    EXPECT_EQ(100u, get32(file, table_slot_offset(table1, 0) + 20)) << "index of record 100";

    reopen(0);
    EXPECT_EQ(101, handle->entry_count);
    EXPECT_EQ(2, handle->table_count);
    EXPECT_EQ(101, handle->next_index);
}

TEST_F(ArchiveFixture, StoredBytesAreTheLibrarysStreamOfTheMaskedBytes) {
    const uint32_t key = key_from_password("secret");
    open_new(key);
    struct Case {
        const char* name;
        std::vector<uint8_t> data;
    };
    std::vector<Case> cases = {
        {"text.txt", compressible_bytes(50000, 1)},
        {"small.txt", compressible_bytes(300, 2)},
        {"noise.bin", noise_bytes(4000, 3)},
        {"zeros.bin", std::vector<uint8_t>(70000, 0)},
        {"odd.bin", compressible_bytes(1023, 4)},
    };
    std::string file_before = read_file(path);
    for (Case& c : cases) {
        std::vector<uint8_t> masked = c.data;
        mask_with_key(masked.data(), uint32_t(masked.size()), key);
        Expected expected = expected_stored(masked);

        std::vector<uint8_t> buffer = c.data;
        uint32_t stored_size = 0xDEADBEEF;
        int64_t offset = file_size_of(path);
        ASSERT_EQ(1, append_record(handle, buffer.data(), uint32_t(buffer.size()), 7, c.name,
                                   &stored_size))
            << last_error_text();
        EXPECT_EQ(masked, buffer) << "the caller's buffer holds the masked bytes";
        EXPECT_EQ(expected.stored.size(), stored_size);
        std::string file = read_file(path);
        EXPECT_EQ(expected.stored, file.substr(size_t(offset))) << c.name;
        int index = handle->next_index - 1;
        EXPECT_EQ(entry_bytes(c.name, uint32_t(offset), index, stored_size, 7, expected.flags),
                  slot_in_file(file, 28, uint32_t(index)));
    }
    reopen(0);
    for (Case& c : cases) EXPECT_EQ(c.data, read_back(c.name)) << c.name;
    int compressed = 0;
    for (int i = 0; i < handle->entry_count; ++i) compressed += (handle->entries[i].flags & 6) != 0;
    EXPECT_EQ(4, compressed) << "all but the noise compress";
}

TEST_F(ArchiveFixture, MaskedUncompressedRecordAndKeyZero) {
    const uint32_t key = 0x11223344;
    open_new(key);
    std::vector<uint8_t> ten = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    std::vector<uint8_t> buffer = ten;
    uint32_t stored = 0;
    ASSERT_EQ(1, append_record(handle, buffer.data(), 10, 5, "ten", &stored));
    const std::vector<uint8_t> masked = {1 ^ 0x44, 2 ^ 0x33, 3 ^ 0x22, 4 ^ 0x11, 5 ^ 0x44,
                                         6 ^ 0x33, 7 ^ 0x22, 8 ^ 0x11, 9, 10};
    EXPECT_EQ(masked, buffer);
    EXPECT_EQ(10u, stored);
    EXPECT_EQ(bytes_of(masked), read_file(path).substr(3632));
    reopen(0);
    EXPECT_EQ(ten, read_back("ten"));

    // Key 0: an incompressible record is stored byte for byte.
    close_archive(handle);
    handle = nullptr;
    unlink(path.c_str());
    open_new(0);
    std::vector<uint8_t> noise = noise_bytes(1000, 9);
    buffer = noise;
    ASSERT_EQ(1, append_record(handle, buffer.data(), 1000, 5, "noise", &stored));
    EXPECT_EQ(noise, buffer);
    std::string file = read_file(path);
    EXPECT_EQ(bytes_of(noise), file.substr(3632));
    EXPECT_EQ(entry_bytes("noise", 3632, 0, 1000, 5, 0), slot_in_file(file, 28, 0));
}

TEST_F(ArchiveFixture, NamesAreCutToSixteenBytesAndLowerCased) {
    open_new(0);
    std::vector<uint8_t> data = {1, 2, 3};
    ASSERT_EQ(1, append_record(handle, data.data(), 3, 0, "Textures.PAK", nullptr));
    ASSERT_EQ(1, append_record(handle, data.data(), 3, 0, "ABCDEFGHIJKLMNOPQRST", nullptr));
    std::string file = read_file(path);
    EXPECT_EQ(std::string("textures.pak\0\0\0\0", 16), file.substr(table_slot_offset(28, 0), 16));
    EXPECT_EQ("abcdefghijklmnop", file.substr(table_slot_offset(28, 1), 16));
    // Not visible through the handle that appended them; visible after reopening.
    EXPECT_EQ(nullptr, find_entry(handle, "textures.pak"));
    EXPECT_EQ(0, handle->entry_count);
    reopen(0);
    EXPECT_NE(nullptr, find_entry(handle, "TEXTURES.pak"));
    EXPECT_NE(nullptr, find_entry(handle, "abcdefghijklmnopXYZ"));
    EXPECT_EQ(2, handle->entry_count);
}

TEST_F(ArchiveFixture, EmptyRecordsAndEmptyNamesAreNotStored) {
    open_new(0);
    uint8_t byte = 1;
    uint32_t stored = 0;
    EXPECT_EQ(0, append_record(handle, &byte, 0, 0, "empty", &stored));
    EXPECT_STREQ("Could not write data empty to file \"t.qar\"", last_error_text());
    EXPECT_EQ(0, append_record(handle, &byte, 1, 0, "", &stored));
    EXPECT_EQ(header_bytes(0, 0) + std::string(3604, '\0'), read_file(path));
    // The handle is still usable.
    EXPECT_EQ(1, append_record(handle, &byte, 1, 0, "one", &stored)) << last_error_text();
}

TEST_F(ArchiveFixture, ReplaceStoresUncompressedAndKeepsNameAndIndex) {
    open_new(0x5A5A5A5A);
    std::vector<uint8_t> original = compressible_bytes(20000, 5);
    std::vector<uint8_t> buffer = original;
    uint32_t stored = 0;
    ASSERT_EQ(1, append_record(handle, buffer.data(), 20000, 1, "Level.Map", &stored));
    buffer = original;
    ASSERT_EQ(1, append_record(handle, buffer.data(), 20000, 1, "other", &stored));
    reopen(1);
    ASSERT_NE(0u, find_entry(handle, "level.map")->flags & 6);
    std::string header_before = read_file(path).substr(0, 28);
    int64_t size_before = file_size_of(path);

    std::vector<uint8_t> fresh = noise_bytes(333, 6);
    buffer = fresh;
    ASSERT_EQ(1, replace_record(handle, buffer.data(), 333, 99, "LEVEL.MAP")) << last_error_text();
    std::string file = read_file(path);
    EXPECT_EQ(size_before + 333, int64_t(file.size()));
    EXPECT_EQ(header_before, file.substr(0, 28));
    EXPECT_EQ(entry_bytes("level.map", uint32_t(size_before), 0, 333, 99, 0),
              slot_in_file(file, 28, 0));
    // The snapshot still describes the old data.
    EXPECT_EQ(original, read_back("level.map"));
    reopen(0);
    EXPECT_EQ(fresh, read_back("level.map"));
    EXPECT_EQ(original, read_back("other"));
}

TEST_F(ArchiveFixture, ReplacingAMissingNameWritesNothing) {
    open_new(0);
    std::vector<uint8_t> data = {1, 2, 3, 4};
    std::string before = read_file(path);
    EXPECT_EQ(0, replace_record(handle, data.data(), 4, 0, "nothere"));
    EXPECT_STREQ("Could not find old record \"nothere\" in file \"t.qar\"", last_error_text());
    EXPECT_EQ(before, read_file(path));
}

TEST_F(ArchiveFixture, DeleteSetsOnlyTheDeletedBit) {
    open_new(0);
    append_small_records(handle, 0, 3);
    reopen(1);
    std::string before = read_file(path);
    ASSERT_EQ(1, delete_record(handle, "REC1")) << last_error_text();
    std::string after = read_file(path);
    std::string expected = before;
    expected[table_slot_offset(28, 1) + 32] |= 1;
    EXPECT_EQ(expected, after);
    // Still there through this handle: readable, and deletable again.
    EXPECT_FALSE(read_back("rec1").empty());
    EXPECT_EQ(1, delete_record(handle, "rec1"));
    EXPECT_EQ(expected, read_file(path));
    EXPECT_EQ(0, delete_record(handle, "missing"));
    EXPECT_STREQ("Could not find record \"missing\" in file \"t.qar\"", last_error_text());
    reopen(0);
    EXPECT_EQ(2, handle->entry_count);
    EXPECT_EQ(nullptr, find_entry(handle, "rec1"));
}

TEST_F(ArchiveFixture, DeletingRecord250RewritesTableTwoOnly) {
    open_new(0);
    append_small_records(handle, 0, 260);
    reopen(1);
    std::string before = read_file(path);
    ASSERT_EQ(1, delete_record(handle, "rec250"));
    std::string after = read_file(path);
    size_t table2 = handle->table_offsets[2];
    std::string expected = before;
    expected[table_slot_offset(table2, 50) + 32] |= 1;
    EXPECT_EQ(expected, after);

    // Table 2 gone from under the handle: its number is in the message.
    ASSERT_EQ(0, truncate(path.c_str(), off_t(table2)));
    EXPECT_EQ(0, delete_record(handle, "rec251"));
    EXPECT_STREQ("Could not read dtable 2 of file \"t.qar\"", last_error_text());
}

TEST_F(ArchiveFixture, ReadIntoACallersBuffer) {
    open_new(0x01020304);
    std::vector<uint8_t> plain = noise_bytes(100, 1);
    std::vector<uint8_t> text = compressible_bytes(5000, 2);
    std::vector<uint8_t> buffer = plain;
    uint32_t stored = 0;
    ASSERT_EQ(1, append_record(handle, buffer.data(), 100, 0, "plain", &stored));
    buffer = text;
    ASSERT_EQ(1, append_record(handle, buffer.data(), 5000, 0, "text", &stored));
    reopen(0);
    ASSERT_NE(0u, find_entry(handle, "text")->flags & 6);

    set_last_error("untouched");
    for (const auto& [name, data] : {std::pair{"plain", plain}, std::pair{"text", text}}) {
        std::vector<uint8_t> small(data.size() - 1, 0xEE);
        uint32_t size = 12345;
        EXPECT_EQ(nullptr, read_record(handle, name, &size, small.data(), uint32_t(small.size())));
        EXPECT_EQ(std::vector<uint8_t>(data.size() - 1, 0xEE), small) << name;
        EXPECT_EQ(12345u, size);
        EXPECT_STREQ("untouched", last_error_text());

        std::vector<uint8_t> exact(data.size());
        EXPECT_EQ(exact.data(), read_record(handle, name, &size, exact.data(), uint32_t(exact.size())));
        EXPECT_EQ(data, exact);
        EXPECT_EQ(data.size(), size_t(size));
    }
    uint32_t size = 0;
    EXPECT_EQ(nullptr, read_record_alloc(handle, "absent", &size));
}

TEST_F(ArchiveFixture, DamagedEntriesFailCleanly) {
    // Record "big" claims 4 GB at an offset inside a 4 KB file; "far" starts
    // beyond the end; "lost" has an index beyond the tables; "moved" has an
    // index whose slot holds another record.
    std::vector<std::string> entries = {
        entry_bytes("big", 3632, 0, 0xFFFFFFFFu, 0, 0),
        entry_bytes("far", 0xFFFFFFF0u, 1, 16, 0, 0),
        entry_bytes("lost", 3632, 777, 4, 0, 0),
        entry_bytes("moved", 3632, 0, 4, 0, 0),
        entry_bytes("badstream", 3632, 4, 4, 0, (100u << 8) | 2),
    };
    write_file(path, header_bytes(5, 0) + table_bytes(0, entries) + "abcd");
    handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    uint32_t size = 0;
    EXPECT_EQ(nullptr, read_record_alloc(handle, "big", &size));
    EXPECT_STREQ("Could not read record big from file \"t.qar\"", last_error_text());
    EXPECT_EQ(nullptr, read_record_alloc(handle, "far", &size));
    EXPECT_STREQ("Could not read record far from file \"t.qar\"", last_error_text());
    EXPECT_EQ(nullptr, read_record_alloc(handle, "badstream", &size));
    EXPECT_EQ(0u, std::string(last_error_text()).rfind("Error -", 0)) << last_error_text();

    std::string before = read_file(path);
    uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(0, delete_record(handle, "lost"));
    EXPECT_STREQ("Could not read dtable 7 of file \"t.qar\"", last_error_text());
    EXPECT_EQ(0, replace_record(handle, data, 4, 0, "lost"));
    EXPECT_STREQ("Could not read dtable 7 of file \"t.qar\"", last_error_text());
    EXPECT_EQ(0, delete_record(handle, "moved"));
    EXPECT_STREQ("Could not find record \"moved\" in file \"t.qar\"", last_error_text());
    EXPECT_EQ(0, replace_record(handle, data, 4, 0, "moved"));
    EXPECT_EQ(before, read_file(path)) << "nothing written for damaged entries";
}

TEST_F(ArchiveFixture, SizesAroundTheTwentyFourBitLimit) {
    open_new(0);
    struct Case {
        const char* name;
        uint32_t size;
        uint32_t flags_or_zero;  // expected high bits; 0 = stored uncompressed
    };
    const Case cases[] = {
        {"max24", 16777215u, 0xFFFFFF00u},
        {"over24", 16777216u, 0},
        {"tenmillion", 10000000u, 10000000u << 8},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> data = compressible_bytes(c.size, c.size);
        uint32_t stored = 0xABCDABCD;
        int64_t offset = file_size_of(path);
        ASSERT_EQ(1, append_record(handle, data.data(), c.size, 0, c.name, &stored))
            << last_error_text();
        std::string slot = slot_in_file(read_file(path), 28, uint32_t(handle->next_index - 1));
        uint32_t flags = get32(slot, 32);
        if (c.flags_or_zero == 0) {
            EXPECT_EQ(0u, flags);
            EXPECT_EQ(c.size, get32(slot, 24));
            EXPECT_EQ(0xABCDABCDu, stored) << "no compression tried, stored size untouched";
            EXPECT_EQ(int64_t(c.size), file_size_of(path) - offset);
        } else {
            EXPECT_EQ(c.flags_or_zero, flags & 0xFFFFFF00u) << c.name;
            EXPECT_NE(0u, flags & 6);
            EXPECT_EQ(stored, get32(slot, 24));
            EXPECT_LT(stored, c.size);
        }
    }
    reopen(0);
    for (const Case& c : cases) {
        std::vector<uint8_t> back = read_back(c.name);
        EXPECT_EQ(size_t(c.size), back.size()) << c.name;
        EXPECT_TRUE(back == compressible_bytes(c.size, c.size)) << c.name;
    }
}
