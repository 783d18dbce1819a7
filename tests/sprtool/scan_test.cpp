// Line and element scans, include bounds, and what each text form carries back.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstdio>
#include <cstring>

#include "sprite_check.h"
#include "test_support.h"
#include "text_forms.h"
#include "text_scan.h"
#include "xml_json_forms.h"

// A record as "name|texture|u|v|width|height|flags" (hex flags), "" when refused; the
// scans start from junk so that unset fields show.
static std::string shown(bool ok, const SpriteEntry& e) {
    auto text = [](std::string field) { return field.erase(field.find_last_not_of('\0') + 1); };
    char nums[64];
    std::snprintf(nums, sizeof nums, "|%u|%u|%u|%u|%x", e.u, e.v, e.width, e.height, e.flags);
    return ok ? text({e.name, sizeof e.name}) + "|" + text({e.texture, sizeof e.texture}) + nums
              : "";
}

static SpriteEntry junk() {
    SpriteEntry e;
    std::memset(&e, 'j', sizeof e);
    return e;
}

template <bool (*scan)(const char*, SpriteEntry*, RowNotes*)>
static std::string record(const char* line) {
    SpriteEntry e = junk();
    return shown(scan(line, &e, nullptr), e);
}

static std::string xml(const char* element) {
    tinyxml2::XMLDocument doc;
    SpriteEntry e = junk();
    const bool ok = doc.Parse(element) == tinyxml2::XML_SUCCESS;
    return shown(ok && sprite_from_xml(*doc.RootElement(), &e, nullptr), e);
}

// The warning a line gets: why it gives no record, or which number was stored otherwise.
template <bool (*scan)(const char*, SpriteEntry*, RowNotes*)>
static std::string note(const char* line) {
    RowNotes notes;
    SpriteEntry e;
    scan(line, &e, &notes);
    std::string all = notes.skipped.empty() ? "" : notes.skipped + ", skipped";
    for (const ReadNote& n : notes.changed) all += n.text;
    return all;
}

static std::string number(const char* text) { return std::to_string(strtoul32(text)); }

// The file an include line names: "" when the input ends before the name, "-" for none.
static std::string include(const char* line) {
    char out[SPRITE_NAME_SIZE + 1];
    return scan_txt_include(line, out) ? out : "-";
}

constexpr auto txt = record<scan_txt_row>;
constexpr auto csv = record<scan_csv_row>;
constexpr auto txt_note = note<scan_txt_row>;
constexpr auto csv_note = note<scan_csv_row>;

struct ScanCase {
    std::string (*scan)(const char*);
    const char* in;
    const char* out;
};

TEST(Scan, EachLineGivesItsRecordOrWarning) {
    const ScanCase cases[] = {
        {number, "0X1f", "31"},
        {number, "010", "8"},
        {number, "08", "0"},  // 8 is no octal digit
        {number, " \t\n+7", "7"},
        {number, "- 5", "0"},  // no space between sign and digits
        {number, "4294967296", "4294967295"},
        {number, "0x100000000", "4294967295"},
        {txt, "\"a b\"\tt 1\t-1 +3 70000 0xDeadBeef9", "a b|t|1|65535|3|4464|deadbeef"},
        {txt, "\"n\" abcdefgh1 2 3 4 0x5\n", "n|abcdefgh|1|2|3|4|5"},
        {csv, "a;b;010;0x10;70000;x;-1", "a|b|8|16|4464|0|ffffffff"},
        {csv, ",;\t a\t;b;1;2;3;4;0x80000000;junk\n", " a|b|1|2|3|4|80000000"},
        {csv, "0123456789012345678901234567890123,texture_long", "01234567890123456789012345678901|texture_|0|0|0|0|0"},
        {xml, "<sprite name=\"n\" texture=\"t\" v=\"-1\" height=\"x\" flags=\" 010\"/>", "n|t|0|65535|0|0|8"},
        {xml, "<sprite width=\"7\" texture=\"\" name=\"a&amp;b&#x0A;\"/>", "a&b\n||0|0|7|0|0"},
        {xml, "<sprite texture=\"t\" u=\"1\"/>", ""},
        {xml, "<sprite name=\"n\" u=\"1\"/>", ""},
        {include, "@include \"m\"x\n", "m"},
        {include, "@include\"x\"", "x"},
        {include, "@include \"\"\n", "-"},
        {include, "@inc\n", "-"},
        {include, " @include", "-"},  // it must start the line
        {include, "@inc", ""},
        {include, "@include\n", ""},
        {include, "@include \"abc\n", "abc\n"},
        {include, "@include \"0123456789012345678901234567890123\"\n", "01234567890123456789012345678901"},
        {txt_note, "\"\" t 1 2 3 4 0x0\n", "the name is empty, skipped"},
        {txt_note, "\"n t 1 2 3 4 0x0\n", "the name has no closing quote, skipped"},
        {txt_note, "\"012345678901234567890123456789012\" t 1 2 3 4 0x0", "the name is longer than 32 characters, skipped"},
        {txt_note, "\"n\"   \n", "the texture is missing, skipped"},
        {txt_note, "\"n\" chars_012 0 0 32 48 0x1", "texture \"chars_012\" is longer than 8 characters, skipped"},
        {txt_note, "\"n\" t 1 2 3 4 12\n", "flags \"12\" is not 0x and 1 to 8 hex digits, skipped"},
        {txt_note, "\"n\" t 1 2 3 4 0x123456789\n", "flags \"0x123456789\" has more than 8 hex digits, stored as 0x12345678"},
        {txt_note, "\"n\" t 0 -0 65535 -1 0x0\n", "height \"-1\" is out of range 0-65535, stored as 65535"},
        {csv_note, "n,t,0x10,077,65536,0,0\n", "width \"65536\" is out of range 0-65535, stored as 0"},
        {csv_note, "n,t,1,2,3,4,4294967296\n", "flags \"4294967296\" is out of range 0-0xffffffff, stored as 0xffffffff"},
        {csv_note, "n,t,12x,0,0,0,0\n", "u \"12x\" is not a number, stored as 12"},
    };
    for (const ScanCase& c : cases) EXPECT_EQ(c.scan(c.in), c.out) << "scanning " << c.in;
}

// A file that includes itself ends at the depth bound; one that includes itself twice at the
// bound on files per input. Each include past a bound is a file that could not be read.
TEST(Scan, SelfIncludesEndAtTheBounds) {
    TempDir d;
    const std::string row = "\"s\" t 1 2 3 4 0x0\n";
    write_file(d.file("self.txt"), "@include \"self.txt\"\n" + row);
    write_file(d.file("two.txt"), "@include \"two.txt\"\n@include \"two.txt\"\n" + row);
    const struct { const char* file; long records; } cases[] = {
        {"self.txt", 1 + SPRITE_MAX_INCLUDE_DEPTH}, {"two.txt", 1 + SPRITE_MAX_INCLUDE_FILES}};
    for (const auto& c : cases) {
        FILE* stb = std::tmpfile();
        FILE* in = std::fopen(d.file(c.file).c_str(), "r");
        ASSERT_TRUE(stb && in) << "cannot open the streams for " << c.file;
        ReadReport report;
        read_txt(stb, in, d.file(c.file), &report);
        EXPECT_EQ(std::ftell(stb), c.records * long(SPRITE_ENTRY_SIZE)) << c.file;
        EXPECT_GT(report.failed_files, 0) << c.file << ": an include past a bound was not counted";
        std::fclose(in);
        std::fclose(stb);
    }
}

// Whether a writer then its reader give back one record whose name (or texture) is `text`.
static bool carried(void (*write)(FILE*, FILE*),
                    void (*read)(FILE*, FILE*, const std::string&, ReadReport*),
                    SpriteTextField field, const std::string& text) {
    SpriteEntry e = empty_sprite();
    set_sprite_text(e.name, SPRITE_NAME_SIZE, field == SPRITE_FIELD_NAME ? text.c_str() : "n");
    set_sprite_text(e.texture, SPRITE_TEXTURE_SIZE,
                    field == SPRITE_FIELD_TEXTURE ? text.c_str() : "t");
    FILE *table = std::tmpfile(), *form = std::tmpfile(), *back = std::tmpfile();
    append_sprite(table, e);
    std::rewind(table);
    write(form, table);
    std::rewind(form);
    ReadReport report;
    read(back, form, "form", &report);
    std::rewind(back);
    SpriteEntry got;
    const bool same = read_sprite(back, &got) && std::memcmp(&got, &e, sizeof e) == 0 &&
                      !read_sprite(back, &got);
    for (FILE* f : {table, form, back}) std::fclose(f);
    return same;
}

struct Carry {
    std::string text;
    const char* txt_name;  // why TXT cannot carry it back as a name; null: it can
    const char* txt_texture;
    const char* csv;  // as a name or a texture
};

// Which values each form carries back, in the words k uses, agrees with its writer and reader.
TEST(Scan, WhatEachFormCarriesBackAgreesWithItsWriterAndReader) {
    const char *empty = "it is empty", *space = "it holds white space",
               *quote = "it holds a double quote", *newline = "it holds a line break";
    const Carry cases[] = {
        {"plain", nullptr, nullptr, nullptr},
        {"", empty, empty, nullptr},
        {"a b", nullptr, space, nullptr},
        {"a,b", nullptr, nullptr, nullptr},
        {"a\tb", nullptr, space, nullptr},
        {"cr\r", nullptr, space, nullptr},
        {"say \"hi\"", quote, space, nullptr},
        {"\"", quote, nullptr, nullptr},
        {"a\nb", newline, space, newline},
        {"line\nbreak", newline, nullptr, newline},  // too long for a texture
        {"\xEF\xBB\xBF" "bom", nullptr, nullptr, nullptr},
        {"\xFF\xFE" "x", nullptr, nullptr, nullptr},
        {"hero idle, #1 \\ \xC3\xA9", nullptr, nullptr, nullptr},
        {"a,b;\"c\"\td", quote, nullptr, nullptr},
        {"hero_walk_right_frame_0123456789", nullptr, nullptr, nullptr},
    };
    for (const Carry& c : cases) {
        const std::string& v = c.text;
        for (SpriteTextField field : {SPRITE_FIELD_NAME, SPRITE_FIELD_TEXTURE}) {
            if (v.size() > (field == SPRITE_FIELD_NAME ? SPRITE_NAME_SIZE : SPRITE_TEXTURE_SIZE))
                continue;
            SCOPED_TRACE(std::string(field == SPRITE_FIELD_NAME ? "name " : "texture ") + v);
            const char* txt = field == SPRITE_FIELD_NAME ? c.txt_name : c.txt_texture;
            EXPECT_STREQ(txt_not_carried(field, v.data(), v.size()), txt) << "TXT";
            EXPECT_STREQ(csv_not_carried(v.data(), v.size()), c.csv) << "CSV";
            EXPECT_EQ(carried(write_txt, read_txt, field, v), !txt) << "TXT read back otherwise";
            EXPECT_EQ(carried(write_csv, read_csv, field, v), !c.csv) << "CSV read back otherwise";
        }
    }
}
