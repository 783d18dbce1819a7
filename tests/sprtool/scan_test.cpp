// Line and element scans of the text forms. A record is shown as
// "name|texture|u|v|width|height|flags", the flags in hex.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "text_forms.h"
#include "text_scan.h"
#include "xml_json_forms.h"

using Scan = bool (*)(const char* line, SpriteEntry* entry);

static bool scan_xml(const char* element, SpriteEntry* entry) {
    tinyxml2::XMLDocument doc;
    if (doc.Parse(element) != tinyxml2::XML_SUCCESS) return false;
    return sprite_from_xml(*doc.RootElement(), entry);
}

// A text field without its zero padding; junk behind a zero stays visible.
static std::string text(const char* field, size_t size) {
    std::string s(field, size);
    return s.erase(s.find_last_not_of('\0') + 1);
}

// The record that `scan` made of `line`, or "" when it refused the line. The
// entry starts as junk, so a field the scan leaves unset shows.
static std::string scanned(Scan scan, const char* line) {
    SpriteEntry e;
    std::memset(&e, 'j', sizeof e);
    if (!scan(line, &e)) return "";
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "|%u|%u|%u|%u|%x", e.u, e.v, e.width, e.height,
                  unsigned(e.flags));
    return text(e.name, SPRITE_NAME_SIZE) + "|" + text(e.texture, SPRITE_TEXTURE_SIZE) + numbers;
}

// Numbers convert as a 32-bit strtoul with base 0 does: negation wraps, overflow saturates.
TEST(Scan, Strtoul32ConvertsLikeA32BitStrtoul) {
    const struct {
        const char* text;
        uint32_t value;
    } cases[] = {
        {"0x10", 16}, {"0X1f", 31}, {"010", 8}, {"08", 0}, {" \t\n+7", 7}, {"12abc", 12},
        {"-1", 4294967295u}, {"-2", 4294967294u}, {"- 5", 0}, {"4294967296", 4294967295u},
        {"-4294967296", 4294967295u}, {"0x100000000", 4294967295u},
    };
    for (const auto& c : cases) EXPECT_EQ(strtoul32(c.text), c.value) << '"' << c.text << '"';
}

// Which TXT, CSV and XML rows are records, and what each field becomes.
TEST(Scan, RowsOfEachForm) {
    const Scan txt = scan_txt_row;
    const Scan csv = scan_csv_row;
    const Scan xml = scan_xml;
    const struct {
        Scan scan;
        const char* line;
        const char* record;
    } cases[] = {
        {txt, "\"hero idle\" hero 1 -1 +3 70000 0xDeadBeef tail\n",
         "hero idle|hero|1|65535|3|4464|deadbeef"},
        {txt, "\"n\" abcdefgh1 2 3 4 0x5\n", "n|abcdefgh|1|2|3|4|5"},
        {txt, "\"n\"\tt\t1\t2\t3\t4\t0x123456789", "n|t|1|2|3|4|12345678"},
        {txt, "\"n\" t 1 2 3 4 5\n", ""},
        {txt, "\"n\" t 1 2 3 4 0X0\n", ""},
        {txt, " \"n\" t 1 2 3 4 0x0\n", ""},
        {txt, "\"\" t 1 2 3 4 0x0\n", ""},
        {txt, "\"n t 1 2 3 4 0x0\n", ""},
        {txt, "\"012345678901234567890123456789012\" t 1 2 3 4 0x0\n", ""},
        {txt, "\"n\" t 1 2 3 0x0\n", ""},
        {csv, "a;b;010;0x10;70000;x;-1", "a|b|8|16|4464|0|ffffffff"},
        {csv, ",;\t a\t;b;1;2;3;4;0x80000000;junk\n", " a|b|1|2|3|4|80000000"},
        {csv, "a,,b,1", "a|b|1|0|0|0|0"},
        {csv, "a,b\n", "a|b\n|0|0|0|0|0"},
        {csv, "0123456789012345678901234567890123,texture_long",
         "01234567890123456789012345678901|texture_|0|0|0|0|0"},
        {csv, ",,;\t\n", ""},
        {csv, "only\n", ""},
        {xml, "<sprite name=\"n\" texture=\"t\" u=\"0x10\" v=\"-1\" width=\"abc\" height=\" 010\"/>",
         "n|t|16|65535|0|8|0"},
        {xml, "<sprite flags=\"-2\" texture=\"\" extra=\"1\" name=\"a&amp;b&#x0A;\"/>",
         "a&b\n||0|0|0|0|fffffffe"},
        {xml, "<sprite texture=\"t\" u=\"1\"/>", ""},
        {xml, "<sprite name=\"n\" u=\"1\"/>", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(scanned(c.scan, c.line), c.record) << c.line;
}

// The file an include line names, "" when the input ends before the name, "-" for no include.
TEST(Scan, TxtIncludeLines) {
    const char* const cases[][2] = {
        {"@include \"m\"x\n", "m"},
        {"@include\"x\"\n", "x"},
        {"@include \"abc\n", "abc\n"},
        {"@include \"0123456789012345678901234567890123\"\n", "01234567890123456789012345678901"},
        {"@include\n", ""},
        {"@inc", ""},
        {"@inc\n", "-"},
        {" @include \"a\"\n", "-"},
        {"@include \"\"\n", "-"},
    };
    char file[SPRITE_NAME_SIZE + 1];
    for (const auto& c : cases) EXPECT_STREQ(scan_txt_include(c[0], file) ? file : "-", c[1]) << c[0];
}
