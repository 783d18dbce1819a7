// What the two system files and platform_shared.cpp share inside the platform
// layer; callers outside the layer use platform.h only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform.h"

// ---------------------------------------------------------------------------
// Each system's file provides these.

// The system's conversions between seconds since 1970 (UTC) and calendar
// fields. plat_system_timegm returns a negative value for a time before 1970;
// the others return 0 when the system cannot convert.
int64_t plat_system_timegm(struct tm* fields);
int plat_system_gmtime(int64_t seconds, struct tm* out);
int plat_system_localtime(int64_t seconds, struct tm* out);

// Ends the process as an interruption from outside would, the removal
// plat_remove_on_interrupt arranged included.
[[noreturn]] void plat_interrupt_self();

// A stream's position beyond 2 GiB as well: plat_seek_stream returns 0 on
// success, plat_tell_stream a negative value on failure.
int plat_seek_stream(FILE* file, int64_t offset, int whence);
int64_t plat_tell_stream(FILE* file);

// ---------------------------------------------------------------------------
// platform_shared.cpp provides these.

// The name matcher behind plat_name_matches; fold_case makes ASCII letters
// match whatever their case.
int plat_match_name(const char* name, const char* pattern, bool fold_case);

// A stream without a system file behind it (a memory stream) is read and
// written through the stream functions; the results are as for plat_read_at,
// plat_write_at, plat_write_at_end and plat_stream_size.
int64_t plat_buffered_size(FILE* file);
int plat_buffered_read_at(FILE* file, int64_t offset, void* buffer, size_t n);
int plat_buffered_write_at(FILE* file, int64_t offset, const void* buffer, size_t n);
int plat_buffered_write_at_end(FILE* file, const void* buffer, size_t n, int64_t* offset_out);

inline char plat_fold_ascii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

inline bool plat_is_separator(char c) { return c == '/' || c == '\\'; }

inline bool plat_is_dot_or_dotdot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}
