// Small helpers for the unit tests: in-memory streams and record fixtures.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sprite_table.h"

// A temporary stream holding `data`, positioned at its start. Owned by the
// caller (fclose).
inline FILE* stream_with(const std::string& data) {
    FILE* f = std::tmpfile();
    std::fwrite(data.data(), 1, data.size(), f);
    std::rewind(f);
    return f;
}

// Everything in `f`, from its start.
inline std::string stream_contents(FILE* f) {
    std::rewind(f);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return out;
}

inline SpriteEntry sprite(const char* name, const char* texture, uint16_t u, uint16_t v,
                          uint16_t w, uint16_t h, uint32_t flags) {
    SpriteEntry e = empty_sprite();
    set_sprite_text(e.name, SPRITE_NAME_SIZE, name);
    set_sprite_text(e.texture, SPRITE_TEXTURE_SIZE, texture);
    e.u = u;
    e.v = v;
    e.width = w;
    e.height = h;
    e.flags = flags;
    return e;
}

inline std::string stb_of(const std::vector<SpriteEntry>& entries) {
    std::string out;
    for (const SpriteEntry& e : entries) {
        unsigned char buf[SPRITE_ENTRY_SIZE];
        encode_sprite(e, buf);
        out.append(reinterpret_cast<const char*>(buf), sizeof buf);
    }
    return out;
}

// Runs a writer (out, stb) over the table and returns its text.
template <typename Writer>
std::string write_form(Writer writer, const std::vector<SpriteEntry>& entries) {
    FILE* stb = stream_with(stb_of(entries));
    FILE* out = std::tmpfile();
    writer(out, stb);
    std::string text = stream_contents(out);
    std::fclose(out);
    std::fclose(stb);
    return text;
}

// Runs a reader (stb, in) over the text and returns the STB bytes it appended.
template <typename Reader>
std::string read_form(Reader reader, const std::string& text) {
    FILE* in = stream_with(text);
    FILE* stb = std::tmpfile();
    reader(stb, in);
    std::string bytes = stream_contents(stb);
    std::fclose(stb);
    std::fclose(in);
    return bytes;
}

// The table that the round-trip tests use: full-width names and textures,
// extreme numbers and flags.
inline std::vector<SpriteEntry> sample_table() {
    return {
        sprite("hero_walk_right_frame_0123456789", "chars_01", 0, 0, 32, 48, 0x00000001),
        sprite("a", "t", 65535, 65535, 65535, 65535, 0xFFFFFFFF),
        sprite("ui/button.pressed", "ui", 128, 256, 64, 16, 0x0000AB12),
    };
}

inline bool operator==(const SpriteEntry& a, const SpriteEntry& b) {
    return std::memcmp(a.name, b.name, sizeof a.name) == 0 &&
           std::memcmp(a.texture, b.texture, sizeof a.texture) == 0 && a.u == b.u &&
           a.v == b.v && a.width == b.width && a.height == b.height && a.flags == b.flags;
}
