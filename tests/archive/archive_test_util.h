// Helpers for the archive store's tests: archive bytes built by hand from the
// layout (independently of the store's own encoders), record contents, and
// small file utilities.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive_handle.h"

// Little-endian 32-bit value appended to / read from a byte string.
void put32(std::string* bytes, uint32_t value);
uint32_t get32(const std::string& bytes, size_t offset);
void set32(std::string* bytes, size_t offset, uint32_t value);

// A 28-byte header with the given fields (magic "QARF" unless told otherwise).
std::string header_bytes(int32_t record_count, uint32_t key, uint32_t version = 1,
                         uint32_t name_length = 16, uint32_t entries_per_table = 100,
                         const char* magic = "QARF");

// One 36-byte directory entry.
std::string entry_bytes(const std::string& name, uint32_t data_offset, int32_t index,
                        uint32_t stored_size, uint32_t time, uint32_t flags);

// A 3604-byte table: next offset, then the given entries, zero-padded.
std::string table_bytes(uint32_t next_table_offset, const std::vector<std::string>& entries = {});

// Offsets inside an archive file.
inline size_t table_slot_offset(size_t table_offset, uint32_t slot) {
    return table_offset + 4 + slot * 36;
}

// Deterministic contents: text that compresses well, and noise that does not.
std::vector<uint8_t> compressible_bytes(size_t size, uint32_t seed);
std::vector<uint8_t> noise_bytes(size_t size, uint32_t seed);

// The contents of small record i: 1 + i % 7 bytes of noise.
std::vector<uint8_t> small_record(int index);

// Appends n records named "rec<i>" with noise contents of 1 + i % 7 bytes,
// stored uncompressed (no stored size out), times 1000 + i. Returns the
// contents by index.
std::vector<std::vector<uint8_t>> append_small_records(ArchiveHandle* handle, int first, int n);

// The expected file bytes of an archive built by append_small_records from
// records first_index .. count-1 on an empty archive with key 0: the layout
// computed from the format, not by the store.
std::string expected_small_archive(int count);

// Opens the path or fails the current test with the last error text.
ArchiveHandle* must_open(const std::string& path, int for_write);

// File size, or -1.
int64_t file_size_of(const std::string& path);

// Checks an archive's bytes against every rule a writer keeps: header fields,
// a chain of exactly record_count / 100 + 1 tables, full tables before the
// last, record_count % 100 used slots in the last, each slot's index equal to
// its position, nothing after the first empty slot, data inside the file.
// Returns "" when all hold, else a description of the first broken rule.
std::string format_rule_violation(const std::string& file);
