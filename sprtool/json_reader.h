// Reading the JSON form of a sprite table: a top-level array with one object
// per sprite, as write_json writes it.
//
// Members "name" and "texture" are strings; "u", "v", "width" and "height"
// integers from 0 to 65535; "flags" a string of "0x" and 1 to 8 hexadecimal
// digits, or an integer from 0 to 4294967295. Members may come in any order;
// other members are ignored, whatever their value. Every code point of a
// string, up to U+00FF, becomes that one byte (so raw UTF-8 "é" and "\u00E9"
// both give 0xE9, the inverse of how write_json writes bytes from 0x80 up). A
// name of more than 32 bytes or a texture of more than 8 is refused, never cut.
#pragma once

#include <cstdio>
#include <string>

#include "text_scan.h"

// Parses all of `in` (opened for binary reading) and appends one record per
// good sprite to `stb`, in array order; `path` names the source in messages
// (empty for standard input). A UTF-8 byte-order mark at the start is
// skipped.
//
// A file that is not valid JSON (UTF-8 included) or whose top level is not an
// array prints "ERROR: \"<path>\" line <l>, column <c>: <reason>" on standard
// error and counts as a failed file; the records of its sprites before the
// error have been appended, so the caller must not keep the table. A read
// error of `in` prints nothing here: the stream's error flag is left for the
// caller to report. A sprite
// that is not an object, lacks a member, has a member of the wrong type or
// out of range, a code point above U+00FF or an over-long string, or a member
// twice, prints "WARNING: \"<path>\" sprite <n>: <member>: <reason>, sprite
// skipped" (sprites counted from 1), is counted in report->skipped, and the
// rest are read.
void read_json(FILE* stb, FILE* in, const std::string& path, ReadReport* report);
