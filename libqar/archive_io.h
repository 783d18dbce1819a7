// Positioned reads and writes on an archive stream, shared by the handle and
// the record operations.
//
// All positions are 64-bit internally; the format's limit of 2,147,483,647
// bytes is enforced by the callers. Every write is flushed before it returns,
// so that a failure (a full disk, a file size limit) shows up here and not in
// a later, unrelated call, and so that the kernel sees the writes in the order
// they were made.
//
// A stream with a descriptor (from fopen) is read and written through that
// descriptor alone, never through the stream's buffer: callers must not mix
// in stream functions on it, other than fclose. Data is written with write()
// at the descriptor's position, so the position of each write is visible to
// tools that watch the process. Reads may run on several threads at once.
//
// Each call returns 1 on success; on failure 0 and *system_error gets the
// system's error number, or 0 when there is none (a read that failed because
// the file ends first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace libqar {

// Size of the file behind the stream, or -1 when it cannot be found.
int64_t stream_size(FILE* file);

// Reads exactly n bytes at offset.
int read_at(FILE* file, int64_t offset, void* buffer, size_t n, int* system_error);

// Writes exactly n bytes at offset (n > 0) and flushes.
int write_at(FILE* file, int64_t offset, const void* buffer, size_t n, int* system_error);

// Writes n bytes (n > 0) at the end of the file and flushes; *offset_out gets
// the position they were written at.
int write_at_end(FILE* file, const void* buffer, size_t n, int64_t* offset_out,
                 int* system_error);

}  // namespace libqar
