#include "text_scan.h"

#include <cerrno>
#include <cstdlib>

#include "platform.h"
#include "sprite_table.h"

bool read_text_line(FILE* in, char* buf, size_t size) {
    size_t n = 0;
    while (n + 1 < size) {
        int c = plat_getc_unlocked(in);  // one thread: no per-character locking
        if (c == EOF) break;
        if (c == '\r') {
            int next = plat_getc_unlocked(in);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, in);
            }
        }
        buf[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[n] = '\0';
    return n > 0;
}

FILE* open_source(const char* name, const char* mode) {
    FILE* f = std::fopen(name, mode);
    if (f && plat_stream_is_directory(f)) {
        std::fclose(f);
        return nullptr;
    }
    return f;
}

void read_include(FILE* stb, const char* file, const char* mode, int depth, int* opened,
                  NestedReader read_nested) {
    FILE* f = depth < SPRITE_MAX_INCLUDE_DEPTH && *opened < SPRITE_MAX_INCLUDE_FILES
                  ? open_source(file, mode)
                  : nullptr;
    if (!f) {
        std::fprintf(stderr, "ERROR: could not open file \"%s\" for read\n", file);
        return;
    }
    ++*opened;
    read_nested(stb, f, depth + 1, opened);
    std::fclose(f);
}

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

uint32_t strtoul32(const char* text) {
    const char* p = text;
    while (is_c_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
        // strtoull would accept white space or a second sign here; strtoul
        // does not: the sign must be followed by the number itself.
        if (is_c_space(*p) || *p == '+' || *p == '-') return 0;
    }
    errno = 0;
    unsigned long long magnitude = std::strtoull(p, nullptr, 0);
    if (errno == ERANGE || magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

bool scan_decimal16(const char** cursor, uint16_t* value) {
    const char* p = *cursor;
    while (is_c_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p < '0' || *p > '9') return false;
    uint32_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) v = (v * 10 + uint32_t(*p - '0')) & 0xFFFFu;
    if (negative) v = (0x10000u - v) & 0xFFFFu;
    *value = static_cast<uint16_t>(v);
    *cursor = p;
    return true;
}
