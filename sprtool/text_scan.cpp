#include "text_scan.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "sprite_table.h"

size_t read_text_line(FILE* in, char* buf, size_t size) {
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
    return n;
}

const char* next_line(LineCount* count, const char* buf, size_t length) {
    bool first_of_file = count->number == 0;
    if (count->at_start) ++count->number;
    count->at_start = length > 0 && buf[length - 1] == '\n';
    // Editors on some systems start UTF-8 files with a byte-order mark; it is
    // no part of the first name.
    if (first_of_file && length >= 3 && std::memcmp(buf, "\xEF\xBB\xBF", 3) == 0) return buf + 3;
    return buf;
}

bool is_blank(const char* text, const char* also) {
    for (; *text; ++text) {
        if (!is_c_space(*text) && !std::strchr(also, *text)) return false;
    }
    return true;
}

namespace {

// A byte as messages show it: a control byte as '?'.
char shown_char(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F ? '?' : c;
}

// A path named by a source file (an include) as messages show it, in double
// quotes: at most 4096 bytes (an XML attribute can be of any length; a path
// is not longer than this), every control byte as '?'.
std::string quoted_path(const char* path) {
    std::string out = "\"";
    for (size_t i = 0; i < 4096 && path[i] != '\0'; ++i) out += shown_char(path[i]);
    return out + '"';
}

}  // namespace

std::string source_label(const std::string& path) {
    // An include's path comes from the file that names it.
    return path.empty() ? "standard input" : quoted_path(path.c_str());
}

void warn_line(const std::string& path, long line, const std::string& text) {
    std::fprintf(stderr, "WARNING: %s line %ld: %s\n", source_label(path).c_str(), line,
                 text.c_str());
}

void report_row_notes(const std::string& path, long line, const RowNotes& notes,
                      const char* unit, ReadReport* report) {
    for (const ReadNote& note : notes.changed) {
        warn_line(path, line, note.text);
        ++report->noted[note.kind];
    }
    if (!notes.skipped.empty()) {
        warn_line(path, line, notes.skipped + ", " + unit + " skipped");
        ++report->skipped;
    }
}

std::string quote_text(const char* text, size_t length) {
    constexpr size_t kShown = 32;
    std::string out = "\"";
    for (size_t i = 0; i < length && i < kShown; ++i) out += shown_char(text[i]);
    if (length > kShown) out += "...";
    return out + '"';
}

FILE* open_source(const char* name, const char* mode) {
    FILE* f = plat_open_stream(name, mode);
    if (f && plat_stream_is_directory(f)) {
        plat_close_stream(f);
        errno = EISDIR;
        return nullptr;
    }
    return f;
}

void report_open_failure(const char* name, const char* what, int error) {
    std::fprintf(stderr, "ERROR: could not open file \"%s\" for %s: %s\n", name, what,
                 std::strerror(error));
}

void finish_source(FILE* in, const std::string& path, ReadReport* report) {
    if (std::ferror(in)) {
        std::fprintf(stderr, "ERROR: could not read file %s\n", source_label(path).c_str());
        ++report->failed_files;
    }
    std::fclose(in);
}

namespace {

// Both separators count, so that a source tree written on either kind of
// system finds its includes.
std::string directory_of(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool is_relative_name(const char* name) {
    if (name[0] == '/' || name[0] == '\\') return false;
    bool drive = ((name[0] | 0x20) >= 'a' && (name[0] | 0x20) <= 'z') && name[1] == ':';
    return !drive;
}

}  // namespace

void read_include(FILE* stb, const char* file, const char* mode, const std::string& parent,
                  long line, int depth, ReadReport* report, NestedReader read_nested) {
    FILE* f = nullptr;
    std::string path = file;
    std::string why;
    if (depth >= SPRITE_MAX_INCLUDE_DEPTH) {
        why = "includes nest deeper than " + std::to_string(SPRITE_MAX_INCLUDE_DEPTH);
    } else if (report->includes_opened >= SPRITE_MAX_INCLUDE_FILES) {
        why = "more than " + std::to_string(SPRITE_MAX_INCLUDE_FILES) + " include files";
    } else {
        f = open_source(file, mode);
        int error = errno;
        // The current directory comes first so that every source tree that
        // builds from its top keeps building; the includer's directory lets
        // the same tree build from anywhere.
        std::string dir = directory_of(parent);
        if (!f && !dir.empty() && is_relative_name(file)) {
            path = dir + file;
            f = open_source(path.c_str(), mode);
            // The reason that counts is the one of a file that is there.
            if (!f && error == ENOENT) error = errno;
        }
        if (!f) why = std::strerror(error);
    }
    if (!f) {
        std::fprintf(stderr, "ERROR: %s line %ld: could not open file %s for read: %s\n",
                     source_label(parent).c_str(), line, quoted_path(file).c_str(), why.c_str());
        ++report->failed_files;
        return;
    }
    ++report->includes_opened;
    read_nested(stb, f, path, depth + 1, report);
    finish_source(f, path, report);
}

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

namespace {

// strtoul32's conversion, with what the warnings need to know about it.
struct Conversion {
    uint32_t value;
    const char* end;  // first character not converted; the start when no digits
    bool wrapped;     // negative and not zero: the value is the negation modulo 2^32
    bool saturated;   // beyond 32 bits: the value is 4294967295
};

Conversion convert_u32(const char* text) {
    Conversion c = {0, text, false, false};
    const char* p = text;
    while (is_c_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
        // strtoull would accept white space or a second sign here; strtoul
        // does not: the sign must be followed by the number itself.
        if (is_c_space(*p) || *p == '+' || *p == '-') return c;
    }
    errno = 0;
    char* stop = nullptr;
    unsigned long long magnitude = std::strtoull(p, &stop, 0);
    if (stop != p) c.end = stop;
    if (errno == ERANGE || magnitude > 0xFFFFFFFFull) {
        c.value = 0xFFFFFFFFu;
        c.saturated = true;
        return c;
    }
    c.value = static_cast<uint32_t>(magnitude);
    c.wrapped = negative && c.value != 0;
    if (negative) c.value = 0u - c.value;
    return c;
}

}  // namespace

uint32_t strtoul32(const char* text) {
    return convert_u32(text).value;
}

void store_sprite_text(char* field, size_t size, const char* label, const std::string& text,
                       RowNotes* notes) {
    set_sprite_text_n(field, size, text.c_str(), text.size());
    if (notes && std::strlen(text.c_str()) > size) {
        notes->changed.push_back(
            {NOTE_CUT, label + (' ' + quote_text(text.c_str(), text.size())) +
                           " is longer than " + std::to_string(size) +
                           " characters, stored as its first " + std::to_string(size)});
    }
}

std::string out_of_range_note(const char* field, const char* text, size_t length, uint32_t max,
                              uint32_t stored) {
    char range[64];
    if (max == 0xFFFFu) {
        std::snprintf(range, sizeof range, " is out of range 0-65535, stored as %u", stored);
    } else {
        std::snprintf(range, sizeof range, " is out of range 0-0xffffffff, stored as 0x%08x",
                      stored);
    }
    return field + (' ' + quote_text(text, length)) + range;
}

std::string convert_number(const char* field, const char* text, uint32_t max, uint32_t* value) {
    Conversion c = convert_u32(text);
    *value = c.value & max;
    const bool is_number = c.end != text && is_blank(c.end, "");
    if (is_number && !c.wrapped && !c.saturated && c.value <= max) return "";
    const char* start = text;
    while (is_c_space(*start)) ++start;
    size_t length = std::strlen(start);
    while (length > 0 && is_c_space(start[length - 1])) --length;
    if (!is_number) {
        char stored[40];
        std::snprintf(stored, sizeof stored, max == 0xFFFFu ? "%u" : "0x%08x", *value);
        return field + (' ' + quote_text(start, length)) + " is not a number, stored as " +
               stored;
    }
    return out_of_range_note(field, start, length, max, *value);
}

bool scan_decimal16(const char** cursor, uint16_t* value, bool* fits) {
    const char* p = *cursor;
    while (is_c_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p < '0' || *p > '9') return false;
    uint32_t v = 0;
    bool big = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        uint32_t next = v * 10 + uint32_t(*p - '0');
        big = big || next > 0xFFFFu;
        v = next & 0xFFFFu;
    }
    if (fits) *fits = !big && !(negative && v != 0);
    if (negative) v = (0x10000u - v) & 0xFFFFu;
    *value = static_cast<uint16_t>(v);
    *cursor = p;
    return true;
}
