// Line and element scans; a record shows as "name|texture|u|v|width|height|flags" (hex flags).
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstdio>
#include <cstring>

#include "text_forms.h"
#include "text_scan.h"
#include "xml_json_forms.h"

using Scan = bool (*)(const char* line, SpriteEntry* entry);

static bool scan_xml(const char* element, SpriteEntry* entry) {
    tinyxml2::XMLDocument doc;
    if (doc.Parse(element) != tinyxml2::XML_SUCCESS) return false;
    return sprite_from_xml(*doc.RootElement(), entry);
}

// The record `scan` made of `line` ("" when refused), from junk so that unset fields show.
static std::string scanned(Scan scan, const char* line) {
    auto text = [](std::string field) { return field.erase(field.find_last_not_of('\0') + 1); };
    SpriteEntry e;
    std::memset(&e, 'j', sizeof e);
    if (!scan(line, &e)) return "";
    char nums[64];
    std::snprintf(nums, sizeof nums, "|%u|%u|%u|%u|%x", e.u, e.v, e.width, e.height, e.flags);
    return text({e.name, sizeof e.name}) + "|" + text({e.texture, sizeof e.texture}) + nums;
}

// Numbers convert as a 32-bit strtoul with base 0 does: negation wraps, overflow saturates.
TEST(Scan, Strtoul32ConvertsLikeA32BitStrtoul) {
    const struct { const char* text; uint32_t value; } cases[] = {
        {"0X1f", 31}, {"010", 8}, {"08", 0}, {" \t\n+7", 7}, {"-1", 4294967295u},
        {"-2", 4294967294u}, {"- 5", 0}, {"4294967296", 4294967295u}, {"0x100000000", 4294967295u},
    };
    for (const auto& c : cases) EXPECT_EQ(strtoul32(c.text), c.value) << '"' << c.text << '"';
}

// Which TXT, CSV and XML rows are records, and what each field becomes.
TEST(Scan, RowsOfEachForm) {
    const Scan txt = scan_txt_row, csv = scan_csv_row, xml = scan_xml;
    const struct { Scan scan; const char* line; const char* record; } cases[] = {
        {txt, "\"a b\"\tt 1\t-1 +3 70000 0xDeadBeef9", "a b|t|1|65535|3|4464|deadbeef"},
        {txt, "\"n\" abcdefgh1 2 3 4 0x5\n", "n|abcdefgh|1|2|3|4|5"},
        {txt, "\"n\" t 1 2 3 4 5\n", ""}, {txt, "\"\" t 1 2 3 4 0x0\n", ""},
        {txt, "\"012345678901234567890123456789012\" t 1 2 3 4 0x0\n", ""},
        {csv, "a;b;010;0x10;70000;x;-1", "a|b|8|16|4464|0|ffffffff"},
        {csv, ",;\t a\t;b;1;2;3;4;0x80000000;junk\n", " a|b|1|2|3|4|80000000"},
        {csv, "0123456789012345678901234567890123,texture_long",
         "01234567890123456789012345678901|texture_|0|0|0|0|0"},
        {csv, "a,b\n", "a|b\n|0|0|0|0|0"}, {csv, ",,;\t\n", ""}, {csv, "only\n", ""},
        {xml, "<sprite name=\"n\" texture=\"t\" v=\"-1\" height=\"x\" flags=\" 010\"/>",
         "n|t|0|65535|0|0|8"},
        {xml, "<sprite width=\"7\" texture=\"\" name=\"a&amp;b&#x0A;\"/>", "a&b\n||0|0|7|0|0"},
        {xml, "<sprite texture=\"t\" u=\"1\"/>", ""}, {xml, "<sprite name=\"n\" u=\"1\"/>", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(scanned(c.scan, c.line), c.record) << c.line;
}

// The file an include line names: "" when the input ends before the name, "-" for none.
TEST(Scan, TxtIncludeLines) {
    const char* const cases[][2] = {
        {"@include \"m\"x\n", "m"}, {"@include\"x\"", "x"}, {"@include \"\"\n", "-"}, {"@inc", ""},
        {"@include \"abc\n", "abc\n"}, {"@include\n", ""}, {"@inc\n", "-"}, {" @include", "-"},
        {"@include \"0123456789012345678901234567890123\"\n", "01234567890123456789012345678901"},
    };
    char out[SPRITE_NAME_SIZE + 1];
    for (const auto& c : cases) EXPECT_STREQ(scan_txt_include(c[0], out) ? out : "-", c[1]) << c[0];
}
