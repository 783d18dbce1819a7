// The TXT and CSV forms of a sprite table.
//
// TXT is the form people edit: a heading comment, one row per sprite with the
// name in double quotes, "#" comment lines, and "@include" lines that pull in
// further TXT files at their place. CSV is the spreadsheet form: one row per
// sprite, fields separated by commas, semicolons or tabs; a cell may be
// written in double quotes, as spreadsheets write it.
//
// Readers work line by line through read_text_line (1024-byte buffer, longer
// lines come in pieces that are each handled as a line) and append one record
// per accepted line. A line that is not blank, no comment and gives no
// record, and a value stored other than written (a number out of its field's
// range, or in CSV not a number at all, a CSV name or texture cut to its
// field, a CSV row whose missing numbers become 0), each get a warning on
// standard error naming the source and the line; the values are stored all
// the same. A UTF-8 byte-order mark at the start of a file is skipped; a file
// that starts with a UTF-16 one is refused with an "ERROR:" line naming the
// encoding and counts as a failed file. No operation closes a stream it was
// given; read_txt closes what its includes opened. Write errors are left in
// the streams' error flags.
#pragma once

#include <cstdio>
#include <string>

#include "sprite_table.h"
#include "text_scan.h"

// Prints the TXT form of every record of `stb` (opened for binary reading).
void write_txt(FILE* out, FILE* stb);

// Reads TXT lines from `in` to its end and appends one record per accepted row
// to `stb`. `path` is the name `in` was opened under (empty for standard
// input); messages show it, and includes not found in the current directory
// are looked for beside it (see read_include). An include that cannot be
// read is reported and counted in `report`, and reading goes on.
void read_txt(FILE* stb, FILE* in, const std::string& path, ReadReport* report);

// Prints the CSV form of every record of `stb`: name, texture, the four
// numbers in decimal and the flags as 0x and 8 hex digits, separated by
// commas. A name or texture is written as it is unless csv_cell_needs_quotes.
void write_csv(FILE* out, FILE* stb);

// Reads CSV lines from `in` to its end and appends one record per line with at
// least two fields to `stb`. A line of nothing but separators and white space
// counts as blank.
void read_csv(FILE* stb, FILE* in, const std::string& path, ReadReport* report);

// Which text field of a record a value is meant for.
enum SpriteTextField { SPRITE_FIELD_NAME, SPRITE_FIELD_TEXTURE };

// The rules of what the text forms carry, for a name or texture of `length`
// bytes (as stored, up to its first zero byte):
//
// csv_cell_needs_quotes: write_csv puts the value in double quotes, each quote
// in it doubled, because it would not read back as written otherwise: it is
// empty, holds a separator (comma, semicolon, tab) or a double quote, or
// starts with the bytes of a byte-order mark (which the reader takes for the
// file's own at its start).
bool csv_cell_needs_quotes(const char* text, size_t length);

// csv_can_carry: write_csv then read_csv gives the value back: it holds no
// line break (the readers work line by line). Either field.
bool csv_can_carry(const char* text, size_t length);

// txt_can_carry: write_txt then read_txt gives the value back. A name has 1 to
// 32 characters and holds no double quote or line break; a texture has 1 to 8
// characters and holds no white space. The other rows are skipped on reading.
bool txt_can_carry(SpriteTextField field, const char* text, size_t length);

// The per-line steps of the readers, exposed for tests and fuzzing. `line` is
// one line as read_text_line delivers it (its newline, if any, included).

// True when a non-empty, non-comment TXT line is an include line. `file`
// (33 bytes) receives the file name, at most 32 characters. It is empty when
// the input ends before the name's first character: "@include" followed by
// white space only, or, on a last line without newline, any beginning of
// "@include" from "@" on, or "@include" and its opening quote alone.
bool scan_txt_include(const char* line, char file[SPRITE_NAME_SIZE + 1]);

// The TXT row scan: a double-quoted name of 1 to 32 characters at the very
// start, a texture of 1 to 8 non-blank characters, four decimal numbers (low
// 16 bits kept), then "0x" and 1 to 8 hex digits; the rest is ignored. Fills
// `entry` from zero and returns true when all seven fields were scanned.
// `notes` (may be null) gets the reason a line that is not blank was refused,
// or the numbers of an accepted line that were out of range.
bool scan_txt_row(const char* line, SpriteEntry* entry, RowNotes* notes);

// The CSV row: fields split at runs of ',', ';' and tab (leading separators
// skipped, no empty fields, the newline stays in the last field). A field
// that starts with a double quote is a quoted cell: it runs to the closing
// quote, separators included, a doubled quote inside standing for one, and
// it may be empty; anything after the closing quote up to the next separator
// is kept behind its text. A quote that is never closed is text. Fills
// `entry` from zero and returns true when the line has at least two fields.
// `notes` as for scan_txt_row; a number field that is not a number, a name or
// texture cut to its field and missing number fields also get a note.
bool scan_csv_row(const char* line, SpriteEntry* entry, RowNotes* notes);
