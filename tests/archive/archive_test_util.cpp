#include "archive_test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "record_ops.h"
#include "test_support.h"

void put32(std::string* bytes, uint32_t value) {
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
    put32(&bytes, version);
    put32(&bytes, name_length);
    put32(&bytes, entries_per_table);
    put32(&bytes, uint32_t(record_count));
    put32(&bytes, key);
    put32(&bytes, 28);
    return bytes;
}

std::string entry_bytes(const std::string& name, uint32_t data_offset, int32_t index,
                        uint32_t stored_size, uint32_t time, uint32_t flags) {
    std::string bytes = name.substr(0, 16);
    bytes.resize(16, '\0');
    put32(&bytes, data_offset);
    put32(&bytes, uint32_t(index));
    put32(&bytes, stored_size);
    put32(&bytes, time);
    put32(&bytes, flags);
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
    static const char* const words[] = {"sprite ", "texture ", "korvath ", "map ", "level ",
                                        "sound ", "\n", "0123 "};
    std::vector<uint8_t> out;
    out.reserve(size);
    uint32_t state = seed;
    while (out.size() < size) {
        const char* word = words[next_random(&state) % 8];
        for (const char* p = word; *p != 0 && out.size() < size; ++p) out.push_back(uint8_t(*p));
    }
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

std::vector<std::vector<uint8_t>> append_small_records(ArchiveHandle* handle, int first, int n) {
    std::vector<std::vector<uint8_t>> contents;
    for (int i = first; i < first + n; ++i) {
        std::vector<uint8_t> data = small_record(i);
        contents.push_back(data);
        std::string name = "rec" + std::to_string(i);
        EXPECT_EQ(1, append_record(handle, data.data(), uint32_t(data.size()), 1000 + i,
                                   name.c_str(), nullptr))
            << last_error_text();
    }
    return contents;
}

std::string expected_small_archive(int count) {
    // Lay the file out by the format's rules: header, table 0, then each
    // record's bytes, with a new empty table right behind every 100th record.
    std::string tail;
    std::vector<std::vector<std::string>> tables(1);
    std::vector<uint32_t> table_offsets = {28};
    uint32_t position = 3632;
    for (int i = 0; i < count; ++i) {
        std::vector<uint8_t> data = small_record(i);
        tail.append(data.begin(), data.end());
        tables.back().push_back(entry_bytes("rec" + std::to_string(i), position, i,
                                            uint32_t(data.size()), uint32_t(1000 + i), 0));
        position += uint32_t(data.size());
        if ((i + 1) % 100 == 0) {
            table_offsets.push_back(position);
            tail += std::string(3604, '\0');  // placeholder, filled below
            position += 3604;
            tables.emplace_back();
        }
    }
    std::string file = header_bytes(count, 0);
    file += std::string(3604, '\0');
    file += tail;
    for (size_t t = 0; t < tables.size(); ++t) {
        uint32_t next = t + 1 < tables.size() ? table_offsets[t + 1] : 0;
        file.replace(table_offsets[t], 3604, table_bytes(next, tables[t]));
    }
    return file;
}

ArchiveHandle* must_open(const std::string& path, int for_write) {
    ArchiveHandle* handle = open_archive(path.c_str(), for_write);
    EXPECT_NE(nullptr, handle) << last_error_text();
    return handle;
}

int64_t file_size_of(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return -1;
    return int64_t(info.st_size);
}

std::string format_rule_violation(const std::string& file) {
    if (file.size() < 28) return "short header";
    if (file != header_bytes(int32_t(get32(file, 16)), get32(file, 20)) + file.substr(28))
        return "header fields";
    const int64_t count = int32_t(get32(file, 16));
    if (count < 0) return "negative count";
    const int64_t tables = count / 100 + 1;
    uint32_t offset = 28;
    for (int64_t t = 0; t < tables; ++t) {
        if (offset == 0 || size_t(offset) + 3604 > file.size()) return "table " + std::to_string(t) + " missing";
        const int64_t used = t + 1 < tables ? 100 : count % 100;
        for (int64_t s = 0; s < 100; ++s) {
            size_t slot = table_slot_offset(offset, uint32_t(s));
            if (s < used) {
                if (file[slot] == 0) return "empty slot " + std::to_string(t * 100 + s);
                if (int64_t(get32(file, slot + 20)) != t * 100 + s) return "index of slot " + std::to_string(t * 100 + s);
                uint64_t end = uint64_t(get32(file, slot + 16)) + get32(file, slot + 24);
                if (end > file.size()) return "data of slot " + std::to_string(t * 100 + s);
            } else if (file.substr(slot, 36) != std::string(36, '\0')) {
                return "unused slot " + std::to_string(t * 100 + s) + " not zero";
            }
        }
        uint32_t next = get32(file, offset);
        if ((t + 1 < tables) != (next != 0)) return "chain after table " + std::to_string(t);
        offset = next;
    }
    return "";
}
