// Numbers and include lines, include bounds, and what each text form carries back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "sprite_check.h"
#include "test_support.h"
#include "text_forms.h"
#include "text_scan.h"

static std::string number(const char* text) { return std::to_string(strtoul32(text)); }

// The file an include line names: "" when the input ends before the name, "-" for none.
static std::string include(const char* line) {
    char out[SPRITE_NAME_SIZE + 1];
    return scan_txt_include(line, out) ? out : "-";
}

struct ScanCase {
    std::string (*scan)(const char*);
    const char* in;
    const char* out;
};

// (What whole rows give each form: Outcome.EachFormNamesEveryRowItSkipsOrChanges.)
TEST(Scan, NumbersAndIncludeLinesAreReadAsWritten) {
    const ScanCase cases[] = {
        {number, "0X1f", "31"},
        {number, "010", "8"},
        {number, "08", "0"},  // 8 is no octal digit
        {number, " \t\n+7", "7"},
        {number, "- 5", "0"},  // no space between sign and digits
        {number, "4294967296", "4294967295"},
        {number, "0x100000000", "4294967295"},
        {include, "@include \"m\"x\n", "m"},
        {include, "@include\"x\"", "x"},
        {include, "@include \"\"\n", "-"},
        {include, "@inc\n", "-"},
        {include, " @include", "-"},  // it must start the line
        {include, "@inc", ""},
        {include, "@include\n", ""},
        {include, "@include \"abc\n", "abc\n"},
        {include, "@include \"0123456789012345678901234567890123\"\n", "01234567890123456789012345678901"},
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
