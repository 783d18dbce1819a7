// The TXT and CSV forms of a sprite table.
//
// TXT is the form people edit: a heading comment, one row per sprite with the
// name in double quotes, "#" comment lines, and "@include" lines that pull in
// further TXT files at their place. CSV is the spreadsheet form: one row per
// sprite, fields separated by commas, semicolons or tabs.
//
// Readers work line by line through read_text_line (1024-byte buffer, longer
// lines come in pieces that are each handled as a line) and append one record
// per accepted line. A line that is not blank, no comment and gives no
// record, and a number stored other than written (out of its field's range,
// or not a number at all in CSV), each get a warning on standard error naming
// the source and the line; the values are stored all the same. A UTF-8
// byte-order mark at the start of a file is skipped. No operation closes a
// stream it was given; read_txt closes what its includes opened. Write errors
// are left in the streams' error flags.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

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

// Prints the CSV form of every record of `stb`.
void write_csv(FILE* out, FILE* stb);

// Reads CSV lines from `in` to its end and appends one record per line with at
// least two fields to `stb`. A line of nothing but separators and white space
// counts as blank.
void read_csv(FILE* stb, FILE* in, const std::string& path, ReadReport* report);

// What a row scan found to warn about in one line.
struct RowNotes {
    std::string skipped;               // why the line gives no record; empty when it gives one
    std::vector<std::string> changed;  // one note per number stored other than written
};

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
// skipped, no empty fields, the newline stays in the last field). Fills
// `entry` from zero and returns true when the line has at least two fields.
// `notes` as for scan_txt_row; a number field that is not a number also gets
// a note.
bool scan_csv_row(const char* line, SpriteEntry* entry, RowNotes* notes);
