// The sprite record and the STB file.
//
// An STB file is a header-less run of 52-byte SpriteEntry records, back to
// back, in the order they were appended. Record i starts at byte 52 * i; the
// number of records is the file size divided by 52, rounded down, and a short
// tail is ignored by every reader. Integers are little-endian. The struct below
// is the in-memory form; it is never copied over file bytes: encode_sprite and
// decode_sprite go field by field.
//
// The tool interprets no field: no range checks, no uniqueness, no sorting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr size_t SPRITE_NAME_SIZE = 32;
constexpr size_t SPRITE_TEXTURE_SIZE = 8;
constexpr size_t SPRITE_ENTRY_SIZE = SPRITE_NAME_SIZE + SPRITE_TEXTURE_SIZE + 4 * 2 + 4;
static_assert(SPRITE_ENTRY_SIZE == 52, "a sprite record is 52 bytes");

// How deep TXT and XML includes may nest. An include met at this depth is
// reported like a file that cannot be opened, so a file that includes itself
// ends after this many levels.
constexpr int SPRITE_MAX_INCLUDE_DEPTH = 32;

// How many include files one top-level read may open in all. The depth bound
// alone does not bound the work: a file that includes itself twice would be
// read 2^32 times within it. An include met once this many files have been
// opened is reported like a file that cannot be opened.
constexpr int SPRITE_MAX_INCLUDE_FILES = 1024;

struct SpriteEntry {
    char name[SPRITE_NAME_SIZE];        // zero-filled behind the text; no terminator at 32
    char texture[SPRITE_TEXTURE_SIZE];  // same rule at 8
    uint16_t u;
    uint16_t v;
    uint16_t width;
    uint16_t height;
    uint32_t flags;
};

// A record of 52 zero bytes: every reader starts each record from this.
SpriteEntry empty_sprite();

// Copies at most `size` characters of the C string `text` into `field` and
// zero-fills the rest of the field (no terminator when the text fills it).
void set_sprite_text(char* field, size_t size, const char* text);

// Same, from a text of known length that need not be terminated; the copy
// still stops at a zero byte.
void set_sprite_text_n(char* field, size_t size, const char* text, size_t length);

// Length of a name or texture field: up to its first zero byte, at most `size`.
size_t sprite_text_length(const char* field, size_t size);

void encode_sprite(const SpriteEntry& entry, unsigned char out[SPRITE_ENTRY_SIZE]);
SpriteEntry decode_sprite(const unsigned char in[SPRITE_ENTRY_SIZE]);

// Reads the next whole record from an STB stream opened for binary reading.
// Returns false at the end of the table: fewer than 52 bytes left, or a read
// error (which ends the table like the end of the file does).
bool read_sprite(FILE* stb, SpriteEntry* entry);

// Writes the 52 bytes of `entry` at the current end of an STB stream opened
// for binary writing. Write errors are left in the stream's error flag; the
// caller checks it once when it closes the stream.
void append_sprite(FILE* stb, const SpriteEntry& entry);

// Prints the list view of every record of `stb` to `out`: two heading lines
// and one fixed-width row per record. Neither stream is closed.
void list_sprites(FILE* out, FILE* stb);
