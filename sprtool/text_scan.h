// Low-level input helpers shared by the text readers. They reproduce the C
// library's line input and number conversions as they behave on the platform
// the sprite tables come from (32-bit unsigned long, text-mode streams), so a
// source file reads the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Size of the readers' line buffer: a line of at most 1023 characters, its
// newline included, is handled at a time; a longer line arrives in pieces of
// 1023 characters.
constexpr size_t TEXT_LINE_BUFFER = 1024;

// Reads one line like fgets into `buf` of `size` bytes (size >= 2): stops after
// a newline or when size - 1 characters are stored, and always terminates.
// A CR that stands right before a LF is dropped, as a text-mode stream does,
// so CR LF files read like LF files. Zero bytes are stored as they come (the
// line then looks shorter to the C string functions). Returns the number of
// characters stored: 0 when the input ended before any character was read.
size_t read_text_line(FILE* in, char* buf, size_t size);

// Line numbers for messages while read_text_line hands out pieces: all the
// pieces of one long line carry that line's number.
struct LineCount {
    long number = 0;      // of the piece handed out last, from 1
    bool at_start = true;
};

// Counts the piece `buf` of `length` characters that read_text_line stored and
// returns where its text starts: behind a UTF-8 byte-order mark at the very
// start of a file, at `buf` otherwise.
const char* next_line(LineCount* count, const char* buf, size_t length);

// True when the text holds nothing but white space and the characters of
// `also` (may be empty).
bool is_blank(const char* text, const char* also);

// The kinds of warning about a value that was stored other than written, or
// a piece of input that was passed over without a record being skipped.
enum NoteKind {
    NOTE_NUMBER = 0,   // a number out of its field's range, or no number at all
    NOTE_CUT,          // a name or texture longer than its field, stored cut
    NOTE_MISSING,      // a CSV row without some number fields, stored as 0
    NOTE_ELEMENT,      // an XML element inside the table that is no sprite or include
    NOTE_ATTRIBUTE,    // an XML sprite attribute that is none of the seven
    NOTE_KINDS
};

// What one W command's reading came to. Every reader adds to it, and every
// count has had its own message on standard error.
struct ReadReport {
    int failed_files = 0;          // inputs and includes not opened, read to the end or parsed
    int skipped = 0;               // rows or sprites that gave no record
    int noted[NOTE_KINDS] = {};    // warnings of each kind
    int includes_opened = 0;       // for SPRITE_MAX_INCLUDE_FILES
};

// One warning about a row or element, without its source and line.
struct ReadNote {
    NoteKind kind;
    std::string text;
};

// What a row scan found to warn about in one line or element.
struct RowNotes {
    std::string skipped;        // why it gives no record; empty when it gives one
    std::vector<ReadNote> changed;  // one note per value stored other than written
};

// Prints each note of one row as a warning with the source and line, and the
// reason it was skipped (adding ", row skipped" or ", sprite skipped" as
// `unit` says), and counts them in `report`.
void report_row_notes(const std::string& path, long line, const RowNotes& notes,
                      const char* unit, ReadReport* report);

// How messages show a source: its name in double quotes (at most 4096 bytes,
// control bytes as '?'), or "standard input" for an empty name.
std::string source_label(const std::string& path);

// Prints "WARNING: <source> line <line>: <text>" on standard error.
void warn_line(const std::string& path, long line, const std::string& text);

// A piece of input text as messages quote it: in double quotes, at most 32
// characters (then "..."), control bytes shown as '?'.
std::string quote_text(const char* text, size_t length);

// fopen(name, mode) for an input file or include, except that a directory
// counts as a file that cannot be opened (fopen accepts one here and every
// read then fails; errno is then EISDIR). Returns null, errno set, on
// failure; the caller owns the stream.
FILE* open_source(const char* name, const char* mode);

// "ERROR: could not open file \"<name>\" for <what>: <reason>" on standard
// error, the reason being the system's text for `error`.
void report_open_failure(const char* name, const char* what, int error);

// Closes a source that was read to its end. A read error is reported as
// "ERROR: could not read file \"<name>\"" and counted as a failed file.
void finish_source(FILE* in, const std::string& path, ReadReport* report);

// Reads one include file for the TXT and XML readers, named on line `line`
// of `parent`. `file` is looked up as written (relative to the current
// directory) and, when not found there and relative, in the directory of
// `parent`. The file found is handed to read_nested one level deeper under
// the path it was found at, then closed with finish_source. An include that
// lies SPRITE_MAX_INCLUDE_DEPTH deep, that comes after
// SPRITE_MAX_INCLUDE_FILES includes were opened, or whose file cannot be
// opened in either place prints "ERROR: <parent> line <line>: could not open
// file \"<file>\" for read: <reason>" on standard error, reads nothing and
// counts as a failed file.
using NestedReader = void (*)(FILE* stb, FILE* in, const std::string& path, int depth,
                              ReadReport* report);
void read_include(FILE* stb, const char* file, const char* mode, const std::string& parent,
                  long line, int depth, ReadReport* report, NestedReader read_nested);

// The C locale's white space: space, \t, \n, \v, \f, \r.
bool is_c_space(char c);

// strtoul(text, nullptr, 0) with a 32-bit unsigned long: leading white space
// is skipped, one optional sign, "0x"/"0X" selects hexadecimal, a leading 0
// octal, otherwise decimal; conversion stops at the first character that does
// not fit; no digits gives 0. A magnitude beyond 32 bits gives 4294967295
// (whatever the sign); otherwise a minus negates modulo 2^32, so "-2" gives
// 4294967294.
uint32_t strtoul32(const char* text);

// Converts a number field of CSV or XML with strtoul32 into *value and tells
// whether it was well written: a number alone between white space, from 0 to
// `max`. Otherwise returns the note for the reader's warning, naming `field`,
// quoting the text and saying what was stored (the value's low bits that fit
// `max`: 16 or 32 bits). A well-written number returns an empty string.
std::string convert_number(const char* field, const char* text, uint32_t max, uint32_t* value);

// Stores `text` in a name or texture field of `size` bytes (see
// set_sprite_text). A text longer than the field is cut to it, and `notes`
// (may be null) gets a NOTE_CUT note naming `label` ("name", "texture").
void store_sprite_text(char* field, size_t size, const char* label, const std::string& text,
                       RowNotes* notes);

// The note for a number that was stored as `stored` but written as the
// `length` characters at `text`, out of the range 0 to `max`.
std::string out_of_range_note(const char* field, const char* text, size_t length, uint32_t max,
                              uint32_t stored);

// Scans one "%d" at *cursor: skips white space, takes an optional sign and at
// least one decimal digit, and moves *cursor behind the digits. The number is
// kept modulo 2^16 (its exact value's low 16 bits, so -1 gives 65535 and
// 70000 gives 4464) and no number overflows. *fits, when given, tells whether
// the number lay within 0 to 65535. Returns false, leaving *cursor alone, when
// there is no digit where the number should be.
bool scan_decimal16(const char** cursor, uint16_t* value, bool* fits = nullptr);
