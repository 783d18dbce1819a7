// The built sprtool reading JSON: round trips, hand-written files, and bad sprites and files.
#include <gtest/gtest.h>

#include "sprtool_run.h"

// One sprite object with the members in the order the writer uses.
static std::string sprite(const std::string& name) {
    return "{\"name\": \"" + name + "\", \"texture\": \"t\", \"u\": 1, \"v\": 2, \"width\": 3, " +
           "\"height\": 4, \"flags\": \"0x5\"}";
}

// sprite("a") with the value of one member replaced by `value`.
static std::string with(const std::string& member, const std::string& value) {
    std::string s = sprite("a");
    size_t at = s.find("\"" + member + "\": ") + member.size() + 4;
    return s.replace(at, s.find_first_of(",}", at) - at, value);
}

static const std::string kSprite = rec("a", "t", 1, 2, 3, 4, 5);

// rj then wj gives the table back byte for byte: every byte value from 1 to 255 in names,
// 32-byte names, 8-byte textures and the largest numbers.
TEST(Json, RoundTripKeepsEveryByteAndTheLargestValues) {
    TempDir d;
    std::string table;
    for (int first = 1; first < 256; first += 32) {
        std::string name;
        for (int c = first; c < first + 32 && c < 256; ++c) name += char(c);
        table += rec(name, "\x7F\x80\"\\\xFF" "abc", 65535, 0, 65535, 1, 0xFFFFFFFF);
    }
    write_file(d.file("in.stb"), table);
    ASSERT_EQ(run(d, {"rj", "in.stb", "t.json"}), "0 |");
    EXPECT_EQ(run(d, {"wj", "out.stb", "t.json"}), "0 |");
    EXPECT_EQ(read_file(d.file("out.stb")), table) << "rj then wj changed the table";
}

// For a table that no text form keeps whole (bytes behind a name's zero, empty names), the
// XML and the JSON round trips give the same table.
TEST(Json, RoundTripAgreesWithXml) {
    TempDir d;
    std::string junk_behind_zero = rec("ab", "t", 1);
    junk_behind_zero[5] = 'x';
    write_file(d.file("in.stb"), junk_behind_zero + rec("", "", 7, 8, 9, 10, 11));
    for (const char* form : {"x", "j"}) {
        EXPECT_EQ(run(d, {std::string("r") + form, "in.stb", "text"}), "0 |");
        EXPECT_EQ(run(d, {std::string("w") + form, std::string(form) + ".stb", "text"}), "0 |");
    }
    EXPECT_EQ(read_file(d.file("j.stb")), read_file(d.file("x.stb")));
    EXPECT_EQ(read_file(d.file("j.stb")), rec("ab", "t", 1) + rec("", "", 7, 8, 9, 10, 11));
}

TEST(Json, MembersComeInAnyOrderAndUnknownOnesAreIgnored) {
    TempDir d;
    const std::string json = "[{\"flags\": \"0x5\", \"height\": 4, \"note\": {\"u\": [70000]}, "
                             "\"width\": 3, \"v\": 2, \"u\": 1, \"texture\": \"t\", "
                             "\"name\": \"a\", \"more\": [null, true, 1.5]}]";
    EXPECT_EQ(run(d, {"wj", "k.stb"}, json), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), kSprite);
}

TEST(Json, FlagsMayBeAnInteger) {
    TempDir d;
    EXPECT_EQ(run(d, {"wj", "k.stb"}, "[" + with("flags", "4294967295") + "]"), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), rec("a", "t", 1, 2, 3, 4, 0xFFFFFFFF));
}

// Raw UTF-8 and \u escapes both give one byte per code point; the other escapes read as JSON.
TEST(Json, StringsGiveOneBytePerCodePoint) {
    TempDir d;
    const std::string json = "[" + with("name", "\"caf\xC3\xA9\\u00e9\\u0041\"") + "," +
                             with("texture", "\"\\\"\\\\\\/\\n\"") + "]";
    EXPECT_EQ(run(d, {"wj", "k.stb"}, json), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")),
              rec("caf\xE9\xE9" "A", "t", 1, 2, 3, 4, 5) + rec("a", "\"\\/\n", 1, 2, 3, 4, 5));
}

// The file is checked for UTF-8 in blocks of 64 KiB; a sequence split by the boundary is whole.
TEST(Json, ASequenceAcrossBlocksReads) {
    TempDir d;
    const std::string json = "[" + std::string(65521, ' ') + sprite("caf\xC3\xA9") + "]";
    ASSERT_EQ(json.substr(65535, 2), "\xC3\xA9") << "the sequence does not cross the boundary";
    EXPECT_EQ(run(d, {"wj", "k.stb"}, json), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), rec("caf\xE9", "t", 1, 2, 3, 4, 5));
}

TEST(Json, AByteOrderMarkAndCrLfLineEndsRead) {
    TempDir d;
    EXPECT_EQ(run(d, {"wj", "k.stb"}, "\xEF\xBB\xBF[\r\n" + sprite("a") + "\r\n]\r\n"), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), kSprite);
}

TEST(Json, SeveralFilesAreReadInOrder) {
    TempDir d;
    write_file(d.file("a.json"), "[" + sprite("a") + "]");
    write_file(d.file("b.json"), "[" + sprite("b") + "," + sprite("c") + "]");
    EXPECT_EQ(run(d, {"wj", "k.stb", "b.json", "a.json"}), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), rec("b", "t", 1, 2, 3, 4, 5) +
                                              rec("c", "t", 1, 2, 3, 4, 5) + kSprite);
}

TEST(Json, AnEmptyArrayIsAnEmptyTable) {
    TempDir d;
    write_file(d.file("k.stb"), kSprite);
    EXPECT_EQ(run(d, {"wj", "k.stb"}, " [ ] "), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), "");
}

// A bad sprite between two good ones: skipped with its number and reason, status 2.
struct BadSprite {
    const char* label;
    std::string json;
    const char* reason;
};

void PrintTo(const BadSprite& bad, std::ostream* out) { *out << bad.label; }

class JsonBadSprite : public testing::TestWithParam<BadSprite> {};

TEST_P(JsonBadSprite, IsSkippedWithItsReason) {
    TempDir d;
    write_file(d.file("a.json"), "[" + sprite("a") + ",\n" + GetParam().json + ",\n" +
                                     sprite("a") + "]");
    EXPECT_EQ(run(d, {"wj", "k.stb", "a.json"}),
              "2 WARNING: \"a.json\" sprite 2: " + std::string(GetParam().reason) +
                  ", sprite skipped\nsprtool: 1 sprite skipped\n|");
    EXPECT_EQ(read_file(d.file("k.stb")), kSprite + kSprite);
}

INSTANTIATE_TEST_SUITE_P(
    Json, JsonBadSprite,
    testing::Values(
        BadSprite{"NotAnObject", "5", "not an object"},
        BadSprite{"MissingMember", "{\"name\": \"x\"}", "texture: missing"},
        BadSprite{"MemberTwice", with("u", "1, \"u\": 2"), "u: given twice"},
        BadSprite{"CodePointAboveFF", with("name", "\"\\u263a\""),
                  "name: U+263A is above U+00FF"},
        BadSprite{"LongName", sprite("0123456789012345678901234567890123"),
                  "name: longer than 32 bytes"},
        BadSprite{"LongTexture", with("texture", "\"123456789\""),
                  "texture: longer than 8 bytes"},
        BadSprite{"NameNotAString", with("name", "null"), "name: null is not a string"},
        BadSprite{"Negative", with("u", "-1"), "u: -1 is out of range 0-65535"},
        BadSprite{"Above65535", with("v", "65536"),
                  "v: 65536 is out of range 0-65535"},
        BadSprite{"WholeFraction", with("width", "1.0"), "width: 1.0 is not an integer"},
        BadSprite{"Exponent", with("u", "1e3"), "u: 1e3 is not an integer"},
        BadSprite{"HugeInteger", with("flags", std::string(40, '9')),
                  "flags: 99999999999999999999999999999999... is out of range 0-4294967295"},
        BadSprite{"NumberAsString", with("height", "\"4\""),
                  "height: \"4\" is not an integer"},
        BadSprite{"FlagsWithoutPrefix", with("flags", "\"5\""),
                  "flags: \"5\" is not \"0x\" and 1 to 8 hex digits"},
        BadSprite{"FlagsOfNineDigits", with("flags", "\"0x123456789\""),
                  "flags: \"0x123456789\" is not \"0x\" and 1 to 8 hex digits"},
        BadSprite{"FlagsAbove32Bits", with("flags", "4294967296"),
                  "flags: 4294967296 is out of range 0-4294967295"},
        BadSprite{"FlagsOfWrongType", with("flags", "true"),
                  "flags: true is not a \"0x\" string or an integer"}),
    [](const auto& info) { return std::string(info.param.label); });

// A file that is not valid JSON, or no array: status 1 with its line and column, and the old
// table byte for byte.
struct BadFile {
    const char* label;
    std::string json;
    const char* where;
};

void PrintTo(const BadFile& bad, std::ostream* out) { *out << bad.label; }

class JsonBadFile : public testing::TestWithParam<BadFile> {};

TEST_P(JsonBadFile, FailsAndLeavesTheTable) {
    TempDir d;
    const std::string old = rec("old", "t", 1);
    write_file(d.file("k.stb"), old);
    write_file(d.file("bad.json"), GetParam().json);
    EXPECT_EQ(run(d, {"wj", "k.stb", "bad.json"}),
              "1 ERROR: \"bad.json\" " + std::string(GetParam().where) +
                  "\nsprtool: 1 file could not be read, \"k.stb\" not written\n|");
    EXPECT_EQ(read_file(d.file("k.stb")), old) << "the old table was touched";
}

INSTANTIATE_TEST_SUITE_P(
    Json, JsonBadFile,
    testing::Values(
        BadFile{"Empty", "", "line 1, column 1: the document is empty"},
        BadFile{"NotAnArray", "\n  {\"name\": \"a\"}",
                "line 2, column 3: the top level is not an array"},
        BadFile{"NotUtf8", "[\n  {\"name\": \"caf\xE9\"}]",
                "line 2, column 16: invalid encoding in string"},
        BadFile{"NotUtf8InAnUnreadMember", "[{\"note\": \"\xFF\"}]",
                "line 1, column 12: invalid encoding in string"},
        BadFile{"CutSequenceAtTheEnd", "[\"caf\xC3", "line 1, column 6: invalid encoding in string"},
        // The file is checked in blocks of 64 KiB; this sequence starts in the first.
        BadFile{"BadSequenceAcrossBlocks",
                "[" + std::string(65524, ' ') + "{\"name\": \"\xC3x\"}]",
                "line 1, column 65536: invalid encoding in string"},
        BadFile{"NotUtf8OutsideAString", "[\n\xE9]", "line 2, column 1: invalid value"},
        BadFile{"TwoValues", "[] []",
                "line 1, column 4: the document root must not be followed by other values"}),
    [](const auto& info) { return std::string(info.param.label); });
