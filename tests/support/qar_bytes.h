// Archive bytes laid out by hand from the file format, so that tests check the store and
// the tools against the format rather than against the store's own encoders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RawEntry {
    std::string name;  // at most 16 bytes
    uint32_t data_offset;
    int32_t index;
    uint32_t stored_size;
    uint32_t time;
    uint32_t flags;
};

inline uint32_t le32(const std::string& b, size_t off) {
    return uint32_t(uint8_t(b[off])) | uint32_t(uint8_t(b[off + 1])) << 8 |
           uint32_t(uint8_t(b[off + 2])) << 16 | uint32_t(uint8_t(b[off + 3])) << 24;
}

inline void put32(std::string* b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[off + i] = char(v >> (8 * i));
}

inline std::string raw_header(int32_t record_count, uint32_t key) {
    std::string b = "QARF" + std::string(24, '\0');
    const uint32_t fields[] = {1, 16, 100, uint32_t(record_count), key, 28};  // version .. first table
    for (int i = 0; i < 6; ++i) put32(&b, 4 + 4 * i, fields[i]);
    return b;
}

// A 3604-byte directory table: the next table's offset, then the entries in slot order,
// zero-padded.
inline std::string raw_table(uint32_t next, const std::vector<RawEntry>& entries = {}) {
    std::string b(3604, '\0');
    put32(&b, 0, next);
    for (size_t i = 0; i < entries.size() && i < 100; ++i) {
        const RawEntry& e = entries[i];
        b.replace(4 + i * 36, e.name.size(), e.name);
        const uint32_t fields[] = {e.data_offset, uint32_t(e.index), e.stored_size, e.time, e.flags};
        for (int f = 0; f < 5; ++f) put32(&b, 4 + i * 36 + 16 + 4 * f, fields[f]);
    }
    return b;
}

// An archive of one table holding the entries, record_count their number, with data
// behind the table (so the first record's data lies at 3632).
inline std::string raw_archive(uint32_t key, const std::vector<RawEntry>& entries,
                               const std::string& data) {
    return raw_header(int32_t(entries.size()), key) + raw_table(0, entries) + data;
}

// Every used slot of every table along the chain, deleted ones included.
inline std::vector<RawEntry> raw_entries(const std::string& b) {
    std::vector<RawEntry> out;
    uint32_t table = b.size() >= 28 ? le32(b, 24) : 0;
    for (int guard = 0; table != 0 && guard < 1000 && table + 3604ull <= b.size(); ++guard) {
        for (size_t slot = table + 4; slot < table + 3604 && b[slot] != '\0'; slot += 36) {
            const std::string name = b.substr(slot, 16);
            out.push_back({name.substr(0, name.find('\0')), le32(b, slot + 16), int32_t(le32(b, slot + 20)),
                           le32(b, slot + 24), le32(b, slot + 28), le32(b, slot + 32)});
        }
        table = le32(b, table);
    }
    return out;
}

// A 52-byte sprite record: name, texture "t", four 16-bit numbers (the first u), flags 0.
inline std::string raw_sprite(const std::string& name, uint16_t u) {
    return name + std::string(32 - name.size(), '\0') + "t" + std::string(7, '\0') + char(u & 0xFF) + char(u >> 8) +
           std::string(10, '\0');
}

// CRC-32/BZIP2 bit by bit: the key a password gives.
inline uint32_t password_key(const std::string& password) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : password) {
        crc ^= uint32_t(c) << 24;
        for (int i = 0; i < 8; ++i) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return ~crc;
}
