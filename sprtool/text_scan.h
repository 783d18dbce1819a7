// Low-level input helpers shared by the text readers. They reproduce the C
// library's line input and number conversions as they behave on the platform
// the sprite tables come from (32-bit unsigned long, text-mode streams), so a
// source file reads the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Size of the readers' line buffer: a line of at most 1023 characters, its
// newline included, is handled at a time; a longer line arrives in pieces of
// 1023 characters.
constexpr size_t TEXT_LINE_BUFFER = 1024;

// Reads one line like fgets into `buf` of `size` bytes (size >= 2): stops after
// a newline or when size - 1 characters are stored, and always terminates.
// A CR that stands right before a LF is dropped, as a text-mode stream does,
// so CR LF files read like LF files. Zero bytes are stored as they come (the
// line then looks shorter to the C string functions). Returns false when the
// input ended before any character was read.
bool read_text_line(FILE* in, char* buf, size_t size);

// fopen(name, mode) for an input file or include, except that a directory
// counts as a file that cannot be opened (fopen accepts one here and every
// read then fails). Returns null on failure; the caller owns the stream.
FILE* open_source(const char* name, const char* mode);

// Reads one include file for the TXT and XML readers: opens `file` with
// open_source(file, mode) and hands it to read_nested one level deeper, then
// closes it. An include that lies SPRITE_MAX_INCLUDE_DEPTH deep, that comes
// after SPRITE_MAX_INCLUDE_FILES includes were opened (*opened counts them),
// or whose file cannot be opened prints "ERROR: could not open file \"%s\"
// for read\n" on standard error and reads nothing.
using NestedReader = void (*)(FILE* stb, FILE* in, int depth, int* opened);
void read_include(FILE* stb, const char* file, const char* mode, int depth, int* opened,
                  NestedReader read_nested);

// The C locale's white space: space, \t, \n, \v, \f, \r.
bool is_c_space(char c);

// strtoul(text, nullptr, 0) with a 32-bit unsigned long: leading white space
// is skipped, one optional sign, "0x"/"0X" selects hexadecimal, a leading 0
// octal, otherwise decimal; conversion stops at the first character that does
// not fit; no digits gives 0. A magnitude beyond 32 bits gives 4294967295
// (whatever the sign); otherwise a minus negates modulo 2^32, so "-2" gives
// 4294967294.
uint32_t strtoul32(const char* text);

// Scans one "%d" at *cursor: skips white space, takes an optional sign and at
// least one decimal digit, and moves *cursor behind the digits. The number is
// kept modulo 2^16 (its exact value's low 16 bits, so -1 gives 65535 and
// 70000 gives 4464) and no number overflows. Returns false, leaving *cursor
// alone, when there is no digit where the number should be.
bool scan_decimal16(const char** cursor, uint16_t* value);
