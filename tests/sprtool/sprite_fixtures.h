// Records and streams for the sprite tests.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sprite_table.h"

inline SpriteEntry sprite(const char* name, const char* texture, uint16_t u, uint16_t v = 0,
                          uint16_t w = 0, uint16_t h = 0, uint32_t flags = 0) {
    SpriteEntry e = empty_sprite();
    set_sprite_text(e.name, SPRITE_NAME_SIZE, name);
    set_sprite_text(e.texture, SPRITE_TEXTURE_SIZE, texture);
    e.u = u, e.v = v, e.width = w, e.height = h, e.flags = flags;
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

// Runs a reader (stb, in) over `text` and returns the STB bytes it appended.
template <typename Reader>
std::string read_form(Reader reader, const std::string& text) {
    FILE* in = std::tmpfile();
    FILE* stb = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), in);
    std::rewind(in);
    reader(stb, in);
    std::rewind(stb);
    std::string bytes;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, stb)) > 0;) bytes.append(buf, n);
    std::fclose(stb);
    std::fclose(in);
    return bytes;
}
