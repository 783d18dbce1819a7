#include "sprite_table.h"

#include <cstring>

namespace {

void put16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint16_t get16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t get32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Field offsets inside the 52-byte record.
constexpr size_t OFF_TEXTURE = SPRITE_NAME_SIZE;
constexpr size_t OFF_U = OFF_TEXTURE + SPRITE_TEXTURE_SIZE;
constexpr size_t OFF_V = OFF_U + 2;
constexpr size_t OFF_WIDTH = OFF_V + 2;
constexpr size_t OFF_HEIGHT = OFF_WIDTH + 2;
constexpr size_t OFF_FLAGS = OFF_HEIGHT + 2;
static_assert(OFF_FLAGS + 4 == SPRITE_ENTRY_SIZE, "fields fill the record");

}  // namespace

SpriteEntry empty_sprite() {
    SpriteEntry e;
    std::memset(&e, 0, sizeof e);
    return e;
}

void set_sprite_text_n(char* field, size_t size, const char* text, size_t length) {
    size_t n = 0;
    while (n < size && n < length && text[n] != '\0') {
        field[n] = text[n];
        ++n;
    }
    std::memset(field + n, 0, size - n);
}

void set_sprite_text(char* field, size_t size, const char* text) {
    set_sprite_text_n(field, size, text, size);
}

size_t sprite_text_length(const char* field, size_t size) {
    size_t n = 0;
    while (n < size && field[n] != '\0') ++n;
    return n;
}

void encode_sprite(const SpriteEntry& e, unsigned char out[SPRITE_ENTRY_SIZE]) {
    std::memcpy(out, e.name, SPRITE_NAME_SIZE);
    std::memcpy(out + OFF_TEXTURE, e.texture, SPRITE_TEXTURE_SIZE);
    put16(out + OFF_U, e.u);
    put16(out + OFF_V, e.v);
    put16(out + OFF_WIDTH, e.width);
    put16(out + OFF_HEIGHT, e.height);
    put32(out + OFF_FLAGS, e.flags);
}

SpriteEntry decode_sprite(const unsigned char in[SPRITE_ENTRY_SIZE]) {
    SpriteEntry e;
    std::memcpy(e.name, in, SPRITE_NAME_SIZE);
    std::memcpy(e.texture, in + OFF_TEXTURE, SPRITE_TEXTURE_SIZE);
    e.u = get16(in + OFF_U);
    e.v = get16(in + OFF_V);
    e.width = get16(in + OFF_WIDTH);
    e.height = get16(in + OFF_HEIGHT);
    e.flags = get32(in + OFF_FLAGS);
    return e;
}

bool read_sprite(FILE* stb, SpriteEntry* entry) {
    unsigned char buf[SPRITE_ENTRY_SIZE];
    if (std::fread(buf, 1, sizeof buf, stb) != sizeof buf) return false;
    *entry = decode_sprite(buf);
    return true;
}

void append_sprite(FILE* stb, const SpriteEntry& entry) {
    unsigned char buf[SPRITE_ENTRY_SIZE];
    encode_sprite(entry, buf);
    std::fwrite(buf, 1, sizeof buf, stb);
}

void list_sprites(FILE* out, FILE* stb) {
    std::fputs("NAME                             TEXTURE  U     V     W     H     FLAGS     \n", out);
    std::fputs("-------------------------------- -------- ----- ----- ----- ----- ----------\n", out);
    SpriteEntry e;
    while (read_sprite(stb, &e)) {
        // The precisions keep printf inside each field: a full name has no
        // terminator and must not run on into the texture.
        std::fprintf(out, "%-32.32s %-8.8s %5d %5d %5d %5d 0x%08x\n", e.name, e.texture, e.u, e.v,
                     e.width, e.height, static_cast<unsigned>(e.flags));
    }
}
