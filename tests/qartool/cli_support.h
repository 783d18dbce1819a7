// Helpers for the end-to-end tests: run the built qartool in a scratch
// directory, and build or read archive bytes without the archive store, so
// the tests check the program against the file format itself.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

struct RawEntry {
    std::string name;  // at most 16 bytes
    uint32_t data_offset;
    int32_t index;
    uint32_t stored_size;
    uint32_t time;
    uint32_t flags;
};

inline ProcessResult qartool(const std::string& cwd, std::vector<std::string> args) {
    args.insert(args.begin(), QARTOOL_PATH);
    return run_process(args, cwd);
}

inline uint32_t le32(const std::string& b, size_t off) {
    return uint32_t(uint8_t(b[off])) | uint32_t(uint8_t(b[off + 1])) << 8 |
           uint32_t(uint8_t(b[off + 2])) << 16 | uint32_t(uint8_t(b[off + 3])) << 24;
}

inline void put32(std::string* b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[off + i] = char(v >> (8 * i));
}

// An archive with one directory table holding the entries in slot order,
// record_count equal to their number, and data behind the table.
inline std::string craft_archive(uint32_t key, const std::vector<RawEntry>& entries,
                                 const std::string& data) {
    std::string b(3632, '\0');
    b.replace(0, 4, "QARF");
    put32(&b, 4, 1);
    put32(&b, 8, 16);
    put32(&b, 12, 100);
    put32(&b, 16, uint32_t(entries.size()));
    put32(&b, 20, key);
    put32(&b, 24, 28);
    for (size_t i = 0; i < entries.size(); ++i) {
        size_t slot = 28 + 4 + i * 36;
        b.replace(slot, entries[i].name.size(), entries[i].name);
        put32(&b, slot + 16, entries[i].data_offset);
        put32(&b, slot + 20, uint32_t(entries[i].index));
        put32(&b, slot + 24, entries[i].stored_size);
        put32(&b, slot + 28, entries[i].time);
        put32(&b, slot + 32, entries[i].flags);
    }
    return b + data;
}

// Every used slot of every table, deleted ones included, in slot order.
inline std::vector<RawEntry> read_entries(const std::string& b) {
    std::vector<RawEntry> entries;
    uint32_t table = le32(b, 24);
    for (int guard = 0; table != 0 && guard < 1000 && table + 3604 <= b.size(); ++guard) {
        for (size_t s = 0; s < 100; ++s) {
            size_t slot = table + 4 + s * 36;
            if (b[slot] == '\0') break;
            std::string name = b.substr(slot, 16);
            name = name.substr(0, name.find('\0'));
            entries.push_back({name, le32(b, slot + 16), int32_t(le32(b, slot + 20)),
                               le32(b, slot + 24), le32(b, slot + 28), le32(b, slot + 32)});
        }
        table = le32(b, table);
    }
    return entries;
}

// CRC-32/BZIP2, bit by bit: the key a password gives.
inline uint32_t password_key(const std::string& password) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : password) {
        crc ^= uint32_t(c) << 24;
        for (int i = 0; i < 8; ++i) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return ~crc;
}

inline void set_mtime(const std::string& path, int64_t seconds) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(seconds), 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

inline int64_t mtime_of(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? int64_t(st.st_mtim.tv_sec) : -1;
}
