// Operations on the records of an open archive. All report failure through
// their result and the last error text (archive_handle.h).
#pragma once

#include <cstdint>

#include "archive_handle.h"

// Appends a new record at the end of the file, fills the next directory slot
// (chaining a new empty table when a table fills up) and raises the header's
// record count. With a non-zero key, data is masked in place first (so the
// caller's buffer holds masked bytes afterwards, success or not). Compression
// is tried only when stored_size_out is given and size <= 16,777,215; it then
// receives the stored size. Records of 0 bytes cannot be stored.
int append_record(ArchiveHandle* handle, uint8_t* data, uint32_t size, uint32_t time,
                  const char* name, uint32_t* stored_size_out);

// Writes new data for an existing record (masked, never compressed) at the end
// of the file and points the record's entry at it. The name is looked up in
// the snapshot before anything is written.
int replace_record(ArchiveHandle* handle, uint8_t* data, uint32_t size, uint32_t time,
                   const char* name);

// Sets the deleted bit of a record's entry in the file. The snapshot keeps it.
int delete_record(ArchiveHandle* handle, const char* name);

// Reads a record's plain bytes (decompressed and unmasked). With a buffer, the
// record is read into it when it fits capacity (null, and no message, when it
// does not); without one (buffer null), into a new buffer the caller frees
// with free(). size_out receives the record's size.
uint8_t* read_record(ArchiveHandle* handle, const char* name, uint32_t* size_out,
                     uint8_t* buffer, uint32_t capacity);
uint8_t* read_record_alloc(ArchiveHandle* handle, const char* name, uint32_t* size_out);

// The handle's sorted snapshot of live entries and its count. Always 1.
int get_directory(ArchiveHandle* handle, DirectoryEntry** entries_out, int32_t* count_out);

// Lowers A-Z in place up to the first zero byte; returns its argument.
char* lower_case_name(char* text);
