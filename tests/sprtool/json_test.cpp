// The built sprtool reading JSON: round trips, hand-written files, and bad sprites and files.
#include <gtest/gtest.h>

#include "sprtool_run.h"

// One sprite object with the members in the order the writer uses.
static std::string sprite(const std::string& name, const std::string& rest = "") {
    return "{\"name\": \"" + name + "\", \"texture\": \"t\", \"u\": 1, \"v\": 2, \"width\": 3, " +
           "\"height\": 4, \"flags\": \"0x5\"" + rest + "}";
}

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

// Members in any order, integer flags, unknown members of any shape, raw UTF-8 and escapes,
// a byte-order mark and CR LF line ends; several files in order, or standard input.
TEST(Json, HandWrittenFilesRead) {
    TempDir d;
    write_file(d.file("a.json"),
               "\xEF\xBB\xBF[\r\n  {\"flags\": 4294967295, \"height\": 0, \"width\": 65535,\r\n"
               "   \"v\": 0, \"u\": 9, \"texture\": \"\\u00e9\\\"\\\\\\/\\n\", \"note\": "
               "{\"deep\": [1, [2, {\"u\": \"x\"}], null]},\r\n"
               "   \"name\": \"caf\xC3\xA9\"}\r\n]\r\n");
    write_file(d.file("b.json"), "[" + sprite("b") + "," + sprite("c") + "]");
    const std::string a = rec("caf\xE9", "\xE9\"\\/\n", 9, 0, 65535, 0, 0xFFFFFFFF);
    const std::string bc = rec("b", "t", 1, 2, 3, 4, 5) + rec("c", "t", 1, 2, 3, 4, 5);
    EXPECT_EQ(run(d, {"wj", "k.stb", "a.json", "b.json"}), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), a + bc);
    EXPECT_EQ(run(d, {"wj", "k.stb"}, read_file(d.file("b.json"))), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), bc) << "standard input was not read";
    EXPECT_EQ(run(d, {"wj", "k.stb"}, "[]"), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), "") << "an empty array is an empty table";
}

// Each kind of bad sprite is named with its number and reason; the good ones are written.
TEST(Json, BadSpritesAreSkippedWithTheirReason) {
    TempDir d;
    const std::pair<std::string, std::string> bad[] = {
        {"{\"name\": \"x\"}", "texture: missing"},
        {"5", "not an object"},
        {"[" + sprite("in an array") + "]", "not an object"},
        {sprite("\\u263a"), "name: U+263A is above U+00FF"},
        {sprite("0123456789012345678901234567890123"), "name: longer than 32 bytes"},
        {sprite("a", ", \"texture\": \"123456789\""), "texture: given twice"},
        {sprite("a", ", \"unused\": 1, \"u\": 2"), "u: given twice"},
        {sprite("a", "").replace(sprite("a").find("\"t\""), 3, "\"123456789\""),
         "texture: longer than 8 bytes"},
        {sprite("a").replace(sprite("a").find("1,"), 1, "-1"), "u: -1 is out of range 0-65535"},
        {sprite("a").replace(sprite("a").find("2,"), 1, "70000"),
         "v: 70000 is out of range 0-65535"},
        {sprite("a").replace(sprite("a").find("3,"), 1, "2.5"), "width: 2.5 is not an integer"},
        {sprite("a").replace(sprite("a").find("4,"), 1, "\"4\""),
         "height: \"4\" is not an integer"},
        {sprite("a").replace(sprite("a").find("\"0x5\""), 5, "\"5\""),
         "flags: \"5\" is not \"0x\" and 1 to 8 hex digits"},
        {sprite("a").replace(sprite("a").find("\"0x5\""), 5, "\"0x123456789\""),
         "flags: \"0x123456789\" is not \"0x\" and 1 to 8 hex digits"},
        {sprite("a").replace(sprite("a").find("\"0x5\""), 5, "4294967296"),
         "flags: 4294967296 is out of range 0-4294967295"},
        {sprite("a").replace(sprite("a").find("\"0x5\""), 5, "true"),
         "flags: true is not a \"0x\" string or an integer"},
        {"{\"name\": null}", "name: null is not a string"},
    };
    std::string json = "[" + sprite("good");
    std::string err = "2 ";
    int number = 1;
    for (const auto& [text, reason] : bad) {
        json += ",\n" + text;
        err += "WARNING: \"a.json\" sprite " + std::to_string(++number) + ": " + reason +
               ", sprite skipped\n";
    }
    write_file(d.file("a.json"), json + ",\n" + sprite("last") + "]");
    EXPECT_EQ(run(d, {"wj", "k.stb", "a.json"}),
              err + "sprtool: " + std::to_string(number - 1) + " sprites skipped\n|");
    EXPECT_EQ(read_file(d.file("k.stb")),
              rec("good", "t", 1, 2, 3, 4, 5) + rec("last", "t", 1, 2, 3, 4, 5));
}

// A file that is not valid JSON, or no array, fails the command with its line and column,
// and the old table stays byte for byte.
TEST(Json, BadFilesFailAndLeaveTheTable) {
    TempDir d;
    const std::string old = rec("old", "t", 1);
    const std::pair<std::string, std::string> cases[] = {
        {"", "line 1, column 1: the document is empty"},
        {"\n  {\"name\": \"a\"}", "line 2, column 3: the top level is not an array"},
        {"[\n" + sprite("a") + ",\n}", "line 3, column 1: invalid value"},
        {"[\n  {\"name\": \"caf\xE9\"}]", "line 2, column 16: invalid encoding in string"},
        {"[{\"name\": \"a\"\n\"texture\": \"t\"}]",
         "line 2, column 1: missing a comma or '}' after an object member"},
        {"[] []", "line 1, column 4: the document root must not be followed by other values"},
    };
    for (const auto& [text, where] : cases) {
        write_file(d.file("k.stb"), old);
        write_file(d.file("bad.json"), text);
        EXPECT_EQ(run(d, {"wj", "k.stb", "bad.json"}),
                  "1 ERROR: \"bad.json\" " + where +
                      "\nsprtool: 1 file could not be read, \"k.stb\" not written\n|")
            << text;
        EXPECT_EQ(read_file(d.file("k.stb")), old) << "the old table was touched: " << text;
    }
}
