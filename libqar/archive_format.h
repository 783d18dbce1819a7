// On-disk layout of a QAR archive.
//
// A QAR file is a 28-byte header, directory table 0 right behind it, and from
// offset 3632 on the stored bytes of records and further directory tables in the
// order they were written. All integers are 32-bit little-endian, there is no
// padding anywhere, and every offset is absolute. The structs below are the
// in-memory form; they are never copied over file bytes: use the encode_* and
// decode_* helpers, which go field by field.
#pragma once

#include <cstddef>
#include <cstdint>

namespace libqar {

constexpr char QAR_MAGIC[4] = {'Q', 'A', 'R', 'F'};
constexpr uint32_t QAR_VERSION = 1;
constexpr uint32_t QAR_NAME_LENGTH = 16;        // bytes of a record name
constexpr uint32_t QAR_ENTRIES_PER_TABLE = 100; // slots per directory table

constexpr size_t QAR_HEADER_SIZE = 4 + 6 * 4;                     // 28
constexpr size_t QAR_ENTRY_SIZE = QAR_NAME_LENGTH + 5 * 4;        // 36
constexpr size_t QAR_TABLE_SIZE = 4 + QAR_ENTRIES_PER_TABLE * QAR_ENTRY_SIZE; // 3604
constexpr uint32_t QAR_FIRST_TABLE_OFFSET = QAR_HEADER_SIZE;      // 28
constexpr size_t QAR_NEW_ARCHIVE_SIZE = QAR_HEADER_SIZE + QAR_TABLE_SIZE; // 3632

// Offsets are 32-bit signed file positions: an archive never grows past this.
constexpr int64_t QAR_MAX_FILE_SIZE = 2147483647;

// Largest record size that fits bits 8-31 of the flags word; larger records are
// always stored uncompressed.
constexpr uint32_t QAR_MAX_COMPRESSED_SIZE = 0xFFFFFF;

static_assert(QAR_HEADER_SIZE == 28, "header is 28 bytes");
static_assert(QAR_ENTRY_SIZE == 36, "directory entry is 36 bytes");
static_assert(QAR_TABLE_SIZE == 3604, "directory table is 3604 bytes");
static_assert(QAR_NEW_ARCHIVE_SIZE == 3632, "a new archive is 3632 bytes");

// Flags word of a DirectoryEntry.
constexpr uint32_t QAR_FLAG_DELETED = 1;     // bit 0
constexpr uint32_t QAR_COMPRESSION_MASK = 6; // bits 1-2
constexpr uint32_t QAR_COMPRESSION_NONE = 0;
constexpr uint32_t QAR_COMPRESSION_LZO1X = 2;
constexpr uint32_t QAR_COMPRESSION_LZO1Y = 4;
constexpr uint32_t QAR_COMPRESSION_UNKNOWN = 6; // never written

struct ArchiveHeader {
    char magic[4];                // "QARF"
    uint32_t version;             // 1
    uint32_t name_length;         // 16
    uint32_t entries_per_table;   // 100
    int32_t record_count;         // records ever appended, deleted ones included
    uint32_t key;                 // archive key; 0 means not masked
    uint32_t first_table_offset;  // always written as 28
};

struct DirectoryEntry {
    char name[QAR_NAME_LENGTH];   // lower-case, zero-padded, no terminator at 16 bytes
    uint32_t data_offset;         // where the stored bytes lie
    int32_t index;                // sequence number: table index/100, slot index%100
    uint32_t stored_size;         // number of stored bytes
    uint32_t time;                // time stamp (see the qartool time encoding)
    uint32_t flags;               // deleted bit, compression bits, uncompressed size << 8
};

struct DirectoryTable {
    uint32_t next_table_offset;   // 0 in the last table
    DirectoryEntry slots[QAR_ENTRIES_PER_TABLE];
};

// Little-endian field helpers.
inline uint32_t get_u32_le(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void put_u32_le(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Field-by-field conversion between file bytes and the structs above. The
// decoders read exactly the struct's size from the given pointer.
void encode_header(const ArchiveHeader& header, uint8_t out[QAR_HEADER_SIZE]);
void decode_header(const uint8_t in[QAR_HEADER_SIZE], ArchiveHeader* header);
void encode_entry(const DirectoryEntry& entry, uint8_t out[QAR_ENTRY_SIZE]);
void decode_entry(const uint8_t in[QAR_ENTRY_SIZE], DirectoryEntry* entry);
void encode_table(const DirectoryTable& table, uint8_t out[QAR_TABLE_SIZE]);
void decode_table(const uint8_t in[QAR_TABLE_SIZE], DirectoryTable* table);

// The header of a new, empty archive with the given key.
ArchiveHeader new_archive_header(uint32_t key);

// Number of used slots of a table: those before the first slot whose name
// begins with a zero byte. Readers ignore that slot and everything after it.
uint32_t table_used_slots(const DirectoryTable& table);

// The record's uncompressed size as the flags word holds it (an unsigned shift:
// sizes from 8 MiB on set bit 31 of the word).
inline uint32_t flags_uncompressed_size(uint32_t flags) { return flags >> 8; }

}  // namespace libqar
