#include "archive_test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "record_ops.h"
#include "test_support.h"

static void put32(std::string* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes->push_back(char((value >> (8 * i)) & 0xFF));
}

uint32_t get32(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | uint8_t(bytes.at(offset + i));
    return value;
}

void set32(std::string* bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes->at(offset + i) = char((value >> (8 * i)) & 0xFF);
}

std::string header_bytes(int32_t record_count, uint32_t key, uint32_t version,
                         uint32_t name_length, uint32_t entries_per_table, const char* magic) {
    std::string bytes(magic, 4);
    for (uint32_t v : {version, name_length, entries_per_table, uint32_t(record_count), key, 28u})
        put32(&bytes, v);
    return bytes;
}

std::string entry_bytes(const std::string& name, uint32_t data_offset, int32_t index,
                        uint32_t stored_size, uint32_t time, uint32_t flags) {
    std::string bytes = name.substr(0, 16);
    bytes.resize(16, '\0');
    for (uint32_t v : {data_offset, uint32_t(index), stored_size, time, flags}) put32(&bytes, v);
    return bytes;
}

std::string table_bytes(uint32_t next_table_offset, const std::vector<std::string>& entries) {
    std::string bytes;
    put32(&bytes, next_table_offset);
    for (const std::string& entry : entries) bytes += entry;
    bytes.resize(3604, '\0');
    return bytes;
}

static uint32_t next_random(uint32_t* state) {
    *state = *state * 1664525u + 1013904223u;
    return *state >> 8;
}

std::vector<uint8_t> compressible_bytes(size_t size, uint32_t seed) {
    static const char* const words[] = {"sprite ", "texture ", "korvath ", "map ",
                                        "level ",  "sound ",   "\n",       "0123 "};
    std::vector<uint8_t> out;
    out.reserve(size);
    uint32_t state = seed;
    while (out.size() < size)
        for (const char* p = words[next_random(&state) % 8]; *p != 0 && out.size() < size; ++p)
            out.push_back(uint8_t(*p));
    return out;
}

std::vector<uint8_t> noise_bytes(size_t size, uint32_t seed) {
    std::vector<uint8_t> out(size);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& byte : out) byte = uint8_t(next_random(&state));
    return out;
}

std::vector<uint8_t> small_record(int index) {
    return noise_bytes(size_t(1 + index % 7), uint32_t(index) + 77);
}

void append_small_records(ArchiveHandle* handle, int first, int n) {
    for (int i = first; i < first + n; ++i) {
        std::vector<uint8_t> data = small_record(i);
        std::string name = "rec" + std::to_string(i);
        ASSERT_EQ(1, append_record(handle, data.data(), uint32_t(data.size()), 1000 + i,
                                   name.c_str(), nullptr))
            << last_error_text();
    }
}

void build_small(const std::string& path, int n) {
    ASSERT_EQ(1, create_archive(path.c_str(), 0)) << last_error_text();
    ArchiveHandle* handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    append_small_records(handle, 0, n);
    close_archive(handle);
}

std::string expected_small_archive(int n) {
    // Header, table 0, then each record's bytes, with a new empty table right
    // behind every 100th record; the tables are filled in afterwards.
    std::string file = header_bytes(n, 0) + std::string(3604, '\0');
    std::vector<std::vector<std::string>> tables(1);
    std::vector<uint32_t> offsets = {28};
    for (int i = 0; i < n; ++i) {
        std::vector<uint8_t> data = small_record(i);
        tables.back().push_back(entry_bytes("rec" + std::to_string(i), uint32_t(file.size()), i,
                                            uint32_t(data.size()), uint32_t(1000 + i), 0));
        file.append(data.begin(), data.end());
        if ((i + 1) % 100 == 0) {
            offsets.push_back(uint32_t(file.size()));
            file += std::string(3604, '\0');
            tables.emplace_back();
        }
    }
    for (size_t t = 0; t < tables.size(); ++t)
        file.replace(offsets[t], 3604, table_bytes(t + 1 < tables.size() ? offsets[t + 1] : 0, tables[t]));
    return file;
}

void expect_small_records(const std::string& path, int n) {
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

ArchiveHandle* must_open(const std::string& path, int for_write) {
    ArchiveHandle* handle = open_archive(path.c_str(), for_write);
    EXPECT_NE(nullptr, handle) << last_error_text();
    return handle;
}

std::string open_error(const std::string& path, int for_write) {
    ArchiveHandle* handle = open_archive(path.c_str(), for_write);
    if (handle == nullptr) return last_error_text();
    close_archive(handle);
    return "(opened)";
}

int64_t file_size_of(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? int64_t(info.st_size) : -1;
}

std::string format_rule_violation(const std::string& file) {
    if (file.size() < 28) return "short header";
    const int32_t count = int32_t(get32(file, 16));
    if (count < 0 || file.compare(0, 28, header_bytes(count, get32(file, 20))) != 0)
        return "header fields";
    const int64_t tables = count / 100 + 1;
    uint32_t offset = 28;
    for (int64_t t = 0; t < tables; ++t) {
        const std::string at = " at record " + std::to_string(t * 100);
        if (offset == 0 || size_t(offset) + 3604 > file.size()) return "missing table" + at;
        const int64_t used = t + 1 < tables ? 100 : count % 100;
        for (uint32_t s = 0; s < 100; ++s) {
            size_t slot = slot_at(offset, s);
            uint64_t end = uint64_t(get32(file, slot + 16)) + get32(file, slot + 24);
            if (s >= used && file.compare(slot, 36, std::string(36, '\0')) != 0)
                return "unused slot not zero" + at;
            if (s < used && (file[slot] == 0 || get32(file, slot + 20) != t * 100 + s ||
                             end > file.size()))
                return "bad used slot " + std::to_string(s) + at;
        }
        offset = get32(file, offset);
        if ((t + 1 < tables) != (offset != 0)) return "chain" + at;
    }
    return "";
}
