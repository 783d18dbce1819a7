// Helpers for the archive store's tests: archive bytes laid out by hand from
// the format (independently of the store's encoders), record contents, and
// checks of a file against the format's rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive_handle.h"

uint32_t get32(const std::string& bytes, size_t offset);
void set32(std::string* bytes, size_t offset, uint32_t value);

std::string header_bytes(int32_t record_count, uint32_t key, uint32_t version = 1,
                         uint32_t name_length = 16, uint32_t entries_per_table = 100,
                         const char* magic = "QARF");
std::string entry_bytes(const std::string& name, uint32_t data_offset, int32_t index,
                        uint32_t stored_size, uint32_t time, uint32_t flags);
// A 3604-byte table: next offset, then the given entries, zero-padded.
std::string table_bytes(uint32_t next_table_offset, const std::vector<std::string>& entries = {});
inline size_t slot_at(size_t table_offset, uint32_t slot) { return table_offset + 4 + slot * 36; }

// Deterministic contents: text that compresses well, and noise that does not.
std::vector<uint8_t> compressible_bytes(size_t size, uint32_t seed);
std::vector<uint8_t> noise_bytes(size_t size, uint32_t seed);

// Small record i: named "rec<i>", 1 + i % 7 bytes of noise, time 1000 + i,
// appended uncompressed (no stored size out).
std::vector<uint8_t> small_record(int index);
void append_small_records(ArchiveHandle* handle, int first, int n);
// Builds a new archive at path (key 0) holding small records 0 .. n-1.
void build_small(const std::string& path, int n);
// The exact file that build_small(path, n) must produce, laid out by hand.
std::string expected_small_archive(int n);
// Every small record 0 .. n-1 is listed and reads back as appended.
void expect_small_records(const std::string& path, int n);

// Opens the path or fails the current test with the last error text.
ArchiveHandle* must_open(const std::string& path, int for_write);
// The last error text of a failed open, or "(opened)".
std::string open_error(const std::string& path, int for_write);
int64_t file_size_of(const std::string& path);

// "" when the file keeps every rule a writer keeps (header fields; exactly
// record_count / 100 + 1 chained tables; full tables before the last and
// record_count % 100 used slots in it; each slot's index its position; unused
// slots zero; data inside the file), else the first rule broken.
std::string format_rule_violation(const std::string& file);
