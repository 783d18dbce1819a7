#include "text_forms.h"

#include <cstring>
#include <string>

#include "text_scan.h"

void write_txt(FILE* out, FILE* stb) {
    std::fputs("# NAME............................ TEXTURE. U.... V.... W.... H.... FLAGS.....\n",
               out);
    SpriteEntry e;
    while (read_sprite(stb, &e)) {
        char quoted[SPRITE_NAME_SIZE + 3];
        size_t n = sprite_text_length(e.name, SPRITE_NAME_SIZE);
        quoted[0] = '"';
        std::memcpy(quoted + 1, e.name, n);
        quoted[n + 1] = '"';
        quoted[n + 2] = '\0';
        std::fprintf(out, "%-34.34s %-8.8s %5d %5d %5d %5d 0x%08x\n", quoted, e.texture, e.u, e.v,
                     e.width, e.height, static_cast<unsigned>(e.flags));
    }
}

bool scan_txt_include(const char* line, char file[SPRITE_NAME_SIZE + 1]) {
    std::memset(file, 0, SPRITE_NAME_SIZE + 1);
    // Any non-zero result counts, EOF included: a line that ends before the
    // opening quote is an include line with an empty name.
    return std::sscanf(line, "@include \"%32[^\"]\"", file) != 0;
}

bool scan_txt_row(const char* line, SpriteEntry* entry) {
    char name[SPRITE_NAME_SIZE + 1] = {};
    char texture[SPRITE_TEXTURE_SIZE + 1] = {};
    int used = 0;
    if (std::sscanf(line, "\"%32[^\"]\" %8s%n", name, texture, &used) != 2) return false;
    // The four numbers are scanned by hand: "%d" into an int has no defined
    // result for out-of-range values, and only their low 16 bits are kept.
    const char* p = line + used;
    uint16_t numbers[4];
    for (uint16_t& n : numbers) {
        if (!scan_decimal16(&p, &n)) return false;
    }
    unsigned flags = 0;
    if (std::sscanf(p, " 0x%8x", &flags) != 1) return false;
    *entry = empty_sprite();
    set_sprite_text(entry->name, SPRITE_NAME_SIZE, name);
    set_sprite_text(entry->texture, SPRITE_TEXTURE_SIZE, texture);
    entry->u = numbers[0];
    entry->v = numbers[1];
    entry->width = numbers[2];
    entry->height = numbers[3];
    entry->flags = flags;
    return true;
}

namespace {

void read_txt_nested(FILE* stb, FILE* in, int depth, int* opened) {
    char line[TEXT_LINE_BUFFER];
    while (read_text_line(in, line, sizeof line)) {
        if (line[0] == '#' || line[0] == '\0') continue;
        char file[SPRITE_NAME_SIZE + 1];
        if (scan_txt_include(line, file)) {
            read_include(stb, file, "r", depth, opened, read_txt_nested);
            continue;
        }
        SpriteEntry e;
        if (scan_txt_row(line, &e)) append_sprite(stb, e);
    }
}

}  // namespace

void read_txt(FILE* stb, FILE* in) {
    int opened = 0;
    read_txt_nested(stb, in, 0, &opened);
}

void write_csv(FILE* out, FILE* stb) {
    SpriteEntry e;
    while (read_sprite(stb, &e)) {
        std::fprintf(out, "%.32s,%.8s,%d,%d,%d,%d,0x%08x\n", e.name, e.texture, e.u, e.v, e.width,
                     e.height, static_cast<unsigned>(e.flags));
    }
}

bool scan_csv_row(const char* line, SpriteEntry* entry) {
    static const char separators[] = ",;\t";
    std::string fields[7];
    size_t count = 0;
    const char* p = line;
    while (count < 7) {
        p += std::strspn(p, separators);
        if (*p == '\0') break;
        size_t length = std::strcspn(p, separators);
        fields[count++].assign(p, length);
        p += length;
    }
    if (count < 2) return false;
    *entry = empty_sprite();
    set_sprite_text(entry->name, SPRITE_NAME_SIZE, fields[0].c_str());
    set_sprite_text(entry->texture, SPRITE_TEXTURE_SIZE, fields[1].c_str());
    uint16_t* numbers[4] = {&entry->u, &entry->v, &entry->width, &entry->height};
    for (size_t i = 0; i < 4 && 2 + i < count; ++i) {
        *numbers[i] = static_cast<uint16_t>(strtoul32(fields[2 + i].c_str()));
    }
    if (count > 6) entry->flags = strtoul32(fields[6].c_str());
    return true;
}

void read_csv(FILE* stb, FILE* in) {
    char line[TEXT_LINE_BUFFER];
    while (read_text_line(in, line, sizeof line)) {
        SpriteEntry e;
        if (scan_csv_row(line, &e)) append_sprite(stb, e);
    }
}
