#include "text_forms.h"

#include <cctype>
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

namespace {

const char* const kNumberFields[4] = {"u", "v", "width", "height"};

const char* skip_space(const char* p) {
    while (is_c_space(*p)) ++p;
    return p;
}

size_t token_length(const char* p) {
    size_t n = 0;
    while (p[n] != '\0' && !is_c_space(p[n])) ++n;
    return n;
}

std::string quote_token(const char* p) {
    return quote_text(p, token_length(p));
}

// Why the row scan refused a line, found by walking the row's fields in the
// scan's order. Only refused lines come here, so a texture longer than its
// field (whose rest the scan would take as the next field) is named first.
std::string txt_row_problem(const char* line) {
    if (line[0] != '"') return "no quoted name at the start of the line";
    const char* close = std::strchr(line + 1, '"');
    if (!close) return "the name has no closing quote";
    size_t name_length = size_t(close - line - 1);
    if (name_length == 0) return "the name is empty";
    if (name_length > SPRITE_NAME_SIZE) return "the name is longer than 32 characters";
    const char* p = skip_space(close + 1);
    size_t texture_length = token_length(p);
    if (texture_length == 0) return "the texture is missing";
    if (texture_length > SPRITE_TEXTURE_SIZE) {
        return "texture " + quote_token(p) + " is longer than 8 characters";
    }
    p += texture_length;
    for (const char* field : kNumberFields) {
        p = skip_space(p);
        if (*p == '\0') return std::string(field) + " is missing";
        uint16_t ignored;
        if (!scan_decimal16(&p, &ignored)) {
            return field + (' ' + quote_token(p)) + " is not a number";
        }
    }
    p = skip_space(p);
    if (*p == '\0') return "flags is missing";
    return "flags " + quote_token(p) + " is not 0x and 1 to 8 hex digits";
}

}  // namespace

bool scan_txt_row(const char* line, SpriteEntry* entry, RowNotes* notes) {
    if (notes) {
        notes->skipped.clear();
        notes->changed.clear();
    }
    char name[SPRITE_NAME_SIZE + 1] = {};
    char texture[SPRITE_TEXTURE_SIZE + 1] = {};
    int used = 0;
    bool ok = std::sscanf(line, "\"%32[^\"]\" %8s%n", name, texture, &used) == 2;
    // The four numbers are scanned by hand: "%d" into an int has no defined
    // result for out-of-range values, and only their low 16 bits are kept.
    const char* p = line + used;
    uint16_t numbers[4];
    const char* number_text[4];
    bool fits[4];
    for (int i = 0; ok && i < 4; ++i) {
        p = skip_space(p);
        number_text[i] = p;
        ok = scan_decimal16(&p, &numbers[i], &fits[i]);
    }
    unsigned flags = 0;
    int flags_start = 0;
    int flags_end = 0;
    ok = ok && std::sscanf(p, " %n0x%8x%n", &flags_start, &flags, &flags_end) == 1;
    if (!ok) {
        if (notes && !is_blank(line, "")) notes->skipped = txt_row_problem(line);
        return false;
    }
    *entry = empty_sprite();
    set_sprite_text(entry->name, SPRITE_NAME_SIZE, name);
    set_sprite_text(entry->texture, SPRITE_TEXTURE_SIZE, texture);
    entry->u = numbers[0];
    entry->v = numbers[1];
    entry->width = numbers[2];
    entry->height = numbers[3];
    entry->flags = flags;
    if (!notes) return true;
    for (int i = 0; i < 4; ++i) {
        if (fits[i]) continue;
        size_t length = size_t(p - number_text[i]);
        if (i < 3) length = size_t(number_text[i + 1] - number_text[i]);
        while (length > 0 && is_c_space(number_text[i][length - 1])) --length;
        notes->changed.push_back(
            {NOTE_NUMBER,
             out_of_range_note(kNumberFields[i], number_text[i], length, 0xFFFFu, numbers[i])});
    }
    // The scan takes 8 digits; more of them mean the flags were cut.
    if (std::isxdigit(static_cast<unsigned char>(p[flags_end]))) {
        const char* text = p + flags_start;
        std::string note = "flags " + quote_token(text);
        char stored[64];
        std::snprintf(stored, sizeof stored, " has more than 8 hex digits, stored as 0x%08x",
                      flags);
        notes->changed.push_back({NOTE_NUMBER, note + stored});
    }
    return true;
}

namespace {

// A byte-order mark of UTF-16 at the start of a file: the name of its
// encoding, or null when the text does not start with one.
const char* utf16_encoding(const char* text, size_t length) {
    if (length >= 2 && std::memcmp(text, "\xFF\xFE", 2) == 0) return "UTF-16 little-endian";
    if (length >= 2 && std::memcmp(text, "\xFE\xFF", 2) == 0) return "UTF-16 big-endian";
    return nullptr;
}

// Hands each line of `in` to `handle` with its number, the text starting
// behind a UTF-8 byte-order mark. A file in UTF-16, whose every other byte
// is zero, would give nothing but garbled rows: it is refused whole.
template <typename Handle>
void for_each_line(FILE* in, const std::string& path, ReadReport* report, Handle handle) {
    char buf[TEXT_LINE_BUFFER];
    LineCount count;
    size_t length;
    while ((length = read_text_line(in, buf, sizeof buf)) != 0) {
        const char* encoding = count.number == 0 ? utf16_encoding(buf, length) : nullptr;
        if (encoding) {
            std::fprintf(stderr, "ERROR: %s is %s text; only ASCII and UTF-8 are read\n",
                         source_label(path).c_str(), encoding);
            ++report->failed_files;
            return;
        }
        const char* line = next_line(&count, buf, length);
        handle(line, count.number);
    }
}

using RowScan = bool (*)(const char* line, SpriteEntry* entry, RowNotes* notes);

// Appends the record of one row line, and prints and counts its notes.
void read_row(FILE* stb, RowScan scan, const char* line, const std::string& path, long number,
              RowNotes* notes, ReadReport* report) {
    SpriteEntry e;
    if (scan(line, &e, notes)) append_sprite(stb, e);
    report_row_notes(path, number, *notes, "row", report);
}

void read_txt_nested(FILE* stb, FILE* in, const std::string& path, int depth,
                     ReadReport* report) {
    RowNotes notes;
    for_each_line(in, path, report, [&](const char* line, long number) {
        if (line[0] == '#' || line[0] == '\0') return;
        char file[SPRITE_NAME_SIZE + 1];
        if (scan_txt_include(line, file)) {
            read_include(stb, file, "rb", path, number, depth, report, read_txt_nested);
        } else {
            read_row(stb, scan_txt_row, line, path, number, &notes, report);
        }
    });
}

}  // namespace

void read_txt(FILE* stb, FILE* in, const std::string& path, ReadReport* report) {
    read_txt_nested(stb, in, path, 0, report);
}

bool csv_cell_needs_quotes(const char* text, size_t length) {
    if (length == 0 || utf16_encoding(text, length)) return true;
    if (length >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) return true;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != '\0' && std::strchr(",;\t\"", text[i])) return true;
    }
    return false;
}

bool csv_can_carry(const char* text, size_t length) {
    return std::memchr(text, '\n', length) == nullptr;
}

bool txt_can_carry(SpriteTextField field, const char* text, size_t length) {
    if (length == 0) return false;
    if (field == SPRITE_FIELD_NAME) {
        return length <= SPRITE_NAME_SIZE && !std::memchr(text, '"', length) &&
               !std::memchr(text, '\n', length);
    }
    if (length > SPRITE_TEXTURE_SIZE) return false;
    for (size_t i = 0; i < length; ++i) {
        if (is_c_space(text[i])) return false;
    }
    return true;
}

namespace {

// Writes a name or texture field as a CSV cell: as it is, or in double
// quotes with each quote doubled where it would not read back otherwise.
void put_csv_cell(FILE* out, const char* field, size_t size) {
    const size_t n = sprite_text_length(field, size);
    if (!csv_cell_needs_quotes(field, n)) {
        std::fwrite(field, 1, n, out);
        return;
    }
    std::putc('"', out);
    for (size_t i = 0; i < n; ++i) {
        if (field[i] == '"') std::putc('"', out);
        std::putc(field[i], out);
    }
    std::putc('"', out);
}

const char kCsvSeparators[] = ",;\t";

// Reads the cell at `p`, which starts with a double quote, into `cell`
// without its quotes, a doubled quote inside standing for one; whatever
// follows the closing quote up to the next separator is kept behind it.
// Returns the end of the cell, or null when the quote is never closed.
const char* read_quoted_cell(const char* p, std::string* cell) {
    for (++p; *p != '\0'; ++p) {
        if (*p != '"') {
            *cell += *p;
        } else if (p[1] == '"') {
            *cell += '"';
            ++p;
        } else {
            ++p;
            const size_t rest = std::strcspn(p, kCsvSeparators);
            cell->append(p, rest);
            return p + rest;
        }
    }
    return nullptr;
}

// "u, v and flags": the names of the number fields from `first` (0-4) on.
std::string missing_fields(size_t first) {
    static const char* const names[5] = {"u", "v", "width", "height", "flags"};
    std::string list;
    for (size_t i = first; i < 5; ++i) {
        if (i > first) list += i == 4 ? " and " : ", ";
        list += names[i];
    }
    return list + (first == 4 ? " is" : " are") + " missing, stored as 0";
}

}  // namespace

void write_csv(FILE* out, FILE* stb) {
    SpriteEntry e;
    while (read_sprite(stb, &e)) {
        put_csv_cell(out, e.name, SPRITE_NAME_SIZE);
        std::putc(',', out);
        put_csv_cell(out, e.texture, SPRITE_TEXTURE_SIZE);
        std::fprintf(out, ",%d,%d,%d,%d,0x%08x\n", e.u, e.v, e.width, e.height,
                     static_cast<unsigned>(e.flags));
    }
}

bool scan_csv_row(const char* line, SpriteEntry* entry, RowNotes* notes) {
    if (notes) {
        notes->skipped.clear();
        notes->changed.clear();
    }
    std::string fields[7];
    size_t count = 0;
    const char* p = line;
    while (count < 7) {
        p += std::strspn(p, kCsvSeparators);
        if (*p == '\0') break;
        std::string& field = fields[count++];
        const char* end = *p == '"' ? read_quoted_cell(p, &field) : nullptr;
        if (end) {
            p = end;
            continue;
        }
        // A quote that is never closed is part of the text, as it always was.
        field.clear();
        size_t length = std::strcspn(p, kCsvSeparators);
        field.assign(p, length);
        p += length;
    }
    if (count < 2) {
        // Spreadsheets write empty rows as a run of separators.
        if (notes && !is_blank(line, kCsvSeparators)) notes->skipped = "no texture after the name";
        return false;
    }
    *entry = empty_sprite();
    store_sprite_text(entry->name, SPRITE_NAME_SIZE, "name", fields[0], notes);
    store_sprite_text(entry->texture, SPRITE_TEXTURE_SIZE, "texture", fields[1], notes);
    uint16_t* numbers[4] = {&entry->u, &entry->v, &entry->width, &entry->height};
    for (size_t i = 0; i < 5 && 2 + i < count; ++i) {
        const char* text = fields[2 + i].c_str();
        uint32_t value;
        std::string note = i < 4 ? convert_number(kNumberFields[i], text, 0xFFFFu, &value)
                                 : convert_number("flags", text, 0xFFFFFFFFu, &value);
        if (i < 4) {
            *numbers[i] = static_cast<uint16_t>(value);
        } else {
            entry->flags = value;
        }
        if (notes && !note.empty()) notes->changed.push_back({NOTE_NUMBER, note});
    }
    if (notes && count < 7) notes->changed.push_back({NOTE_MISSING, missing_fields(count - 2)});
    return true;
}

void read_csv(FILE* stb, FILE* in, const std::string& path, ReadReport* report) {
    RowNotes notes;
    for_each_line(in, path, report, [&](const char* line, long number) {
        read_row(stb, scan_csv_row, line, path, number, &notes, report);
    });
}
