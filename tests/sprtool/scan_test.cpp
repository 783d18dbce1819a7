// Line and element scans; a record shows as "name|texture|u|v|width|height|flags" (hex flags).
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstdio>
#include <cstring>

#include "test_support.h"
#include "text_forms.h"
#include "text_scan.h"
#include "xml_json_forms.h"

using ScanFunction = bool (*)(const char* line, SpriteEntry* entry);
using NotingScan = bool (*)(const char* line, SpriteEntry* entry, RowNotes* notes);

static bool scan_txt(const char* line, SpriteEntry* entry) {
    return scan_txt_row(line, entry, nullptr);
}

static bool scan_csv(const char* line, SpriteEntry* entry) {
    return scan_csv_row(line, entry, nullptr);
}

static bool scan_xml(const char* element, SpriteEntry* entry) {
    tinyxml2::XMLDocument doc;
    if (doc.Parse(element) != tinyxml2::XML_SUCCESS) return false;
    return sprite_from_xml(*doc.RootElement(), entry, nullptr);
}

// The record `scan` made of `line` ("" when refused), from junk so that unset fields show.
static std::string scanned(ScanFunction scan, const char* line) {
    auto text = [](std::string field) { return field.erase(field.find_last_not_of('\0') + 1); };
    SpriteEntry e;
    std::memset(&e, 'j', sizeof e);
    if (!scan(line, &e)) return "";
    char nums[64];
    std::snprintf(nums, sizeof nums, "|%u|%u|%u|%u|%x", e.u, e.v, e.width, e.height, e.flags);
    return text({e.name, sizeof e.name}) + "|" + text({e.texture, sizeof e.texture}) + nums;
}

// Numbers convert as a 32-bit strtoul with base 0 does.
TEST(Scan, NumbersTakeHexAndOctalPrefixes) {
    EXPECT_EQ(strtoul32("0X1f"), 31u);
    EXPECT_EQ(strtoul32("010"), 8u);
    EXPECT_EQ(strtoul32("08"), 0u) << "8 is no octal digit";
}

TEST(Scan, NumbersSkipLeadingSpaceAndTakeASign) {
    EXPECT_EQ(strtoul32(" \t\n+7"), 7u);
    EXPECT_EQ(strtoul32("- 5"), 0u) << "no space between sign and digits";
}

TEST(Scan, NumbersPastThirtyTwoBitsSaturate) {
    EXPECT_EQ(strtoul32("4294967296"), 4294967295u);
    EXPECT_EQ(strtoul32("0x100000000"), 4294967295u);
}

TEST(Scan, TxtRowTakesAQuotedNameAndCutsNumbersTo16Bits) {
    EXPECT_EQ(scanned(scan_txt, "\"a b\"\tt 1\t-1 +3 70000 0xDeadBeef9"),
              "a b|t|1|65535|3|4464|deadbeef");
}

TEST(Scan, TxtRowTextureIsCutToEightCharacters) {
    EXPECT_EQ(scanned(scan_txt, "\"n\" abcdefgh1 2 3 4 0x5\n"), "n|abcdefgh|1|2|3|4|5");
}

TEST(Scan, CsvRowTakesAnySeparatorAndReadsNumbersLikeStrtoul) {
    EXPECT_EQ(scanned(scan_csv, "a;b;010;0x10;70000;x;-1"), "a|b|8|16|4464|0|ffffffff");
}

TEST(Scan, CsvRowTreatsARunOfSeparatorsAsOne) {
    EXPECT_EQ(scanned(scan_csv, ",;\t a\t;b;1;2;3;4;0x80000000;junk\n"), " a|b|1|2|3|4|80000000");
}

TEST(Scan, CsvRowCutsALongNameAndTexture) {
    EXPECT_EQ(scanned(scan_csv, "0123456789012345678901234567890123,texture_long"),
              "01234567890123456789012345678901|texture_|0|0|0|0|0");
}

TEST(Scan, XmlSpriteReadsNumbersLikeStrtoul) {
    EXPECT_EQ(scanned(scan_xml, "<sprite name=\"n\" texture=\"t\" v=\"-1\" height=\"x\" "
                                "flags=\" 010\"/>"),
              "n|t|0|65535|0|0|8");
}

TEST(Scan, XmlSpriteDecodesEntitiesAndTakesAnEmptyTexture) {
    EXPECT_EQ(scanned(scan_xml, "<sprite width=\"7\" texture=\"\" name=\"a&amp;b&#x0A;\"/>"),
              "a&b\n||0|0|7|0|0");
}

TEST(Scan, XmlSpriteNeedsNameAndTexture) {
    EXPECT_EQ(scanned(scan_xml, "<sprite texture=\"t\" u=\"1\"/>"), "");
    EXPECT_EQ(scanned(scan_xml, "<sprite name=\"n\" u=\"1\"/>"), "");
}

// The file an include line names: "" when the input ends before the name, "-" for none.
static std::string included(const char* line) {
    char out[SPRITE_NAME_SIZE + 1];
    return scan_txt_include(line, out) ? out : "-";
}

TEST(Scan, IncludeNameEndsAtItsQuote) {
    EXPECT_EQ(included("@include \"m\"x\n"), "m");
    EXPECT_EQ(included("@include\"x\""), "x");
}

TEST(Scan, IncludeWithoutANameIsNoInclude) {
    EXPECT_EQ(included("@include \"\"\n"), "-");
    EXPECT_EQ(included("@inc\n"), "-");
    EXPECT_EQ(included(" @include"), "-") << "it must start the line";
}

TEST(Scan, IncludeCutShortByTheEndOfInputNamesNothing) {
    EXPECT_EQ(included("@inc"), "");
    EXPECT_EQ(included("@include\n"), "");
}

TEST(Scan, IncludeNameRunsToTheEndWithoutAClosingQuote) {
    EXPECT_EQ(included("@include \"abc\n"), "abc\n");
}

TEST(Scan, IncludeNameIsCutTo32Characters) {
    EXPECT_EQ(included("@include \"0123456789012345678901234567890123\"\n"),
              "01234567890123456789012345678901");
}

// The warning a line gets: why it gives no record, or which number was stored otherwise.
struct Note {
    const char* label;
    NotingScan scan;
    const char* line;
    const char* note;
};

void PrintTo(const Note& note, std::ostream* out) { *out << note.label; }

class RowNote : public testing::TestWithParam<Note> {};

TEST_P(RowNote, SaysWhatWentWrong) {
    RowNotes notes;
    SpriteEntry e;
    GetParam().scan(GetParam().line, &e, &notes);
    std::string all = notes.skipped.empty() ? "" : notes.skipped + ", skipped";
    for (const ReadNote& note : notes.changed) all += note.text;
    EXPECT_EQ(all, GetParam().note) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Scan, RowNote,
    testing::Values(
        Note{"TxtEmptyName", scan_txt_row, "\"\" t 1 2 3 4 0x0\n", "the name is empty, skipped"},
        Note{"TxtUnclosedName", scan_txt_row, "\"n t 1 2 3 4 0x0\n",
             "the name has no closing quote, skipped"},
        Note{"TxtLongName", scan_txt_row, "\"012345678901234567890123456789012\" t 1 2 3 4 0x0",
             "the name is longer than 32 characters, skipped"},
        Note{"TxtNoTexture", scan_txt_row, "\"n\"   \n", "the texture is missing, skipped"},
        Note{"TxtLongTexture", scan_txt_row, "\"n\" chars_012 0 0 32 48 0x1",
             "texture \"chars_012\" is longer than 8 characters, skipped"},
        Note{"TxtFlagsWithoutPrefix", scan_txt_row, "\"n\" t 1 2 3 4 12\n",
             "flags \"12\" is not 0x and 1 to 8 hex digits, skipped"},
        Note{"TxtFlagsOfNineDigits", scan_txt_row, "\"n\" t 1 2 3 4 0x123456789\n",
             "flags \"0x123456789\" has more than 8 hex digits, stored as 0x12345678"},
        Note{"TxtNegative", scan_txt_row, "\"n\" t 0 -0 65535 -1 0x0\n",
             "height \"-1\" is out of range 0-65535, stored as 65535"},
        Note{"CsvAbove65535", scan_csv_row, "n,t,0x10,077,65536,0,0\n",
             "width \"65536\" is out of range 0-65535, stored as 0"},
        Note{"CsvFlagsAbove32Bits", scan_csv_row, "n,t,1,2,3,4,4294967296\n",
             "flags \"4294967296\" is out of range 0-0xffffffff, stored as 0xffffffff"},
        Note{"CsvTrailingJunk", scan_csv_row, "n,t,12x,0,0,0,0\n",
             "u \"12x\" is not a number, stored as 12"}),
    [](const auto& info) { return std::string(info.param.label); });

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

// What a writer then its reader make of one record whose name (or texture) is `text`.
static std::string through(void (*write)(FILE*, FILE*),
                           void (*read)(FILE*, FILE*, const std::string&, ReadReport*),
                           SpriteTextField field, const std::string& text) {
    SpriteEntry e = empty_sprite();
    set_sprite_text(e.name, SPRITE_NAME_SIZE, field == SPRITE_FIELD_NAME ? text.c_str() : "n");
    set_sprite_text(e.texture, SPRITE_TEXTURE_SIZE,
                    field == SPRITE_FIELD_TEXTURE ? text.c_str() : "t");
    FILE* table = std::tmpfile();
    FILE* form = std::tmpfile();
    FILE* back = std::tmpfile();
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
    return same ? "same" : "changed";
}

// The rules the checks of a table rely on say exactly what each form gives back.
TEST(Scan, CarryRulesAgreeWithTheWritersAndReaders) {
    const std::string values[] = {"plain", "", "a b", "a,b", "a;b", "a\tb", "say \"hi\"",
                                  "\"", "\"q\"", "line\nbreak", "cr\r", "\xEF\xBB\xBF" "bom",
                                  "\xFF\xFE" "x", "chars_01", "hero_walk_right_frame_0123456789"};
    for (const std::string& v : values) {
        for (SpriteTextField field : {SPRITE_FIELD_NAME, SPRITE_FIELD_TEXTURE}) {
            const size_t size = field == SPRITE_FIELD_NAME ? SPRITE_NAME_SIZE : SPRITE_TEXTURE_SIZE;
            if (v.size() > size) continue;
            SCOPED_TRACE(std::string(field == SPRITE_FIELD_NAME ? "name " : "texture ") + v);
            EXPECT_EQ(through(write_csv, read_csv, field, v),
                      csv_can_carry(v.data(), v.size()) ? "same" : "changed")
                << "csv_can_carry is wrong";
            EXPECT_EQ(through(write_txt, read_txt, field, v),
                      txt_can_carry(field, v.data(), v.size()) ? "same" : "changed")
                << "txt_can_carry is wrong";
        }
    }
}
