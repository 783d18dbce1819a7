// The built sprtool run in a scratch directory, its outcome compared byte for byte.
#include <gtest/gtest.h>

#include "test_support.h"

using Args = std::vector<std::string>;

struct Scratch {
    TempDir dir;
    // "<status> <stderr>|<stdout>" of one run.
    std::string run(Args args, const std::string& in = "") {
        args.insert(args.begin(), SPRTOOL_PATH);
        ProcessResult r = run_process(args, dir.path, in);
        return std::to_string(r.status) + " " + r.err + "|" + r.out;
    }
    std::string read(const std::string& name) { return read_file(dir.file(name)); }
    void write(const std::string& name, const std::string& data) {
        write_file(dir.file(name), data);
    }
};

// A record by hand: name[32] and texture[8] zero-padded, then u, v, width,
// height (16 bits) and flags (32 bits), little-endian.
static std::string rec(std::string name, std::string texture, uint32_t u, uint32_t v = 0,
                       uint32_t width = 0, uint32_t height = 0, uint32_t flags = 0) {
    name.resize(32, '\0');
    texture.resize(8, '\0');
    std::string out = name + texture;
    for (uint32_t x : {u, v, width, height, flags, flags >> 16}) out += {char(x), char(x >> 8)};
    return out;
}

// A TXT row ending in CR LF.
static std::string row(const std::string& name, int u) {
    return '"' + name + "\" t " + std::to_string(u) + " 0 0 0 0x0\r\n";
}

// Every field at its widest: a 32-character name, an 8-character texture, 65535.
static const std::string kTable =
    rec("hero_walk_right_frame_0123456789", "chars_01", 65535, 1, 32, 48, 0xAB12);
static const char kList[] =
    "NAME                             TEXTURE  U     V     W     H     FLAGS     \n"
    "-------------------------------- -------- ----- ----- ----- ----- ----------\n"
    "hero_walk_right_frame_0123456789 chars_01 65535     1    32    48 0x0000ab12\n";
static const char kTxt[] =
    "# NAME............................ TEXTURE. U.... V.... W.... H.... FLAGS.....\n"
    "\"hero_walk_right_frame_0123456789\" chars_01 65535     1    32    48 0x0000ab12\n";
static const char kCsv[] = "hero_walk_right_frame_0123456789,chars_01,65535,1,32,48,0x0000ab12\n";
static const char kXml[] =
    "<?xml version=\"1.0\" standalone=\"no\"?>\n<spritetable>\n"
    "\t<sprite name=\"hero_walk_right_frame_0123456789\" texture=\"chars_01\" u=\"65535\" v=\"1\""
    " width=\"32\" height=\"48\" flags=\"0x0000ab12\"/>\n</spritetable>\n";
static const char kJson[] =
    "[\n\t{\n\t\t\"name\": \"hero_walk_right_frame_0123456789\",\n"
    "\t\t\"texture\": \"chars_01\",\n\t\t\"u\": 65535,\n\t\t\"v\": 1,\n"
    "\t\t\"width\": 32,\n\t\t\"height\": 48,\n\t\t\"flags\": \"0x0000ab12\"\n\t}\n]\n";
static const char kUsage[] =
    "Korvath sprtool utility (Sep  7 2013)\n\n"
    "Usage: " SPRTOOL_PATH " <command> <stb_file> [<file_name>...]\n\nCommands:\n"
    "  l: list sprite table entries\n  rt: read STB and output TXT\n"
    "  rc: read STB and output CSV\n  rx: read STB and output XML\n"
    "  rj: read STB and output JSON\n  wt: input TXT and write STB\n"
    "  wc: input CSV and write STB\n  wx: input XML and write STB\n";

// Each output form exactly, and the text forms read back to the same bytes.
TEST(Cli, EachFormExactlyAndBack) {
    Scratch s;
    s.write("game.stb", kTable + "xyz");  // a short tail is no record
    const char* const forms[][2] = {
        {"l", kList}, {"rt", kTxt}, {"rc", kCsv}, {"rx", kXml}, {"rj", kJson},
    };
    for (const auto& f : forms) EXPECT_EQ(s.run({f[0], "game.stb"}), "0 |" + std::string(f[1]));
    // XML also keeps an empty name and markup, control and high bytes.
    const std::string odd = kTable + rec("", "", 1, 2, 3, 4, 5) + rec("a&<>\"\x01\xE9", "x", 0);
    s.write("odd.stb", odd);
    const char* const trips[][2] = {{"t", "game.stb"}, {"c", "game.stb"}, {"x", "odd.stb"}};
    for (const auto& t : trips) {
        EXPECT_EQ(s.run({std::string("r") + t[0], t[1], "text"}), "0 |");
        EXPECT_EQ(s.run({std::string("w") + t[0], "new.stb", "text"}), "0 |");
        const std::string in = s.read(t[1]);
        EXPECT_EQ(s.read("new.stb"), in.substr(0, in.size() - in.size() % 52)) << t[0];
    }
    EXPECT_NE(s.read("text").find("name=\"a&amp;&lt;&gt;&quot;&#x01;\xE9\""), std::string::npos);
    // JSON escapes the same name, in an object behind a comma.
    const char kEscaped[] = "\n\t},\n\t{\n\t\t\"name\": \"a&<>\\\"\\u0001\\u00E9\",\n";
    EXPECT_NE(s.run({"rj", "odd.stb"}).find(kEscaped), std::string::npos);
}

// Inputs and includes are read in order, each include at its place.
TEST(Cli, WriteCommandsReadInputsAndIncludesInPlace) {
    Scratch s;
    auto t = [](const char* name, int u) { return rec(name, "t", u); };
    s.write("a.txt", row("a", 1) + "# comment\r\n@include \"in.txt\"\r\n" + row("a2", 4));
    s.write("in.txt", row("i", 2) + "@include \"c.txt\"\n" + row("i2", 3));
    s.write("c.txt", row("c", 5));
    EXPECT_EQ(s.run({"wt", "x.stb", "a.txt", "b.txt", "c.txt"}),
              "0 ERROR: could not open file \"b.txt\" for read\n|");
    EXPECT_EQ(s.read("x.stb"), t("a", 1) + t("i", 2) + t("c", 5) + t("i2", 3) + t("a2", 4) + t("c", 5));
    // CR LF reads as LF; the newline stays in the last field.
    EXPECT_EQ(s.run({"wc", "game.stb"}, "a;t\r\n"), "0 |");
    EXPECT_EQ(s.read("game.stb"), rec("a", "t\n", 0));
    // Only "sprite" children of the root, so named exactly, are records.
    s.write("t.xml",
            "<spritetable><sprite name=\"a\" texture=\"t\" u=\"1\"><sprite name=\"n\" texture=\"t\"/>"
            "</sprite><Sprite name=\"c\" texture=\"t\"/><include file=\"u.xml\"/>"
            "<sprite name=\"b\" texture=\"t\" u=\"3\"/></spritetable>");
    s.write("u.xml", "<spritetable><sprite name=\"u\" texture=\"t\" u=\"2\"/></spritetable>");
    EXPECT_EQ(s.run({"wx", "game.stb", "t.xml"}), "0 |");
    EXPECT_EQ(s.read("game.stb"), t("a", 1) + t("u", 2) + t("b", 3));
}

// A file that includes itself ends at the depth bound; one that does so twice,
// at the bound on included files.
TEST(Cli, SelfIncludeIsBounded) {
    Scratch s;
    s.write("self.txt", "@include \"self.txt\"\n" + row("s", 1));
    EXPECT_EQ(s.run({"wt", "game.stb", "self.txt"}),
              "0 ERROR: could not open file \"self.txt\" for read\n|");
    EXPECT_EQ(s.read("game.stb").size(), 33u * 52);
    s.write("two.txt", "@include \"two.txt\"\n@include \"two.txt\"\n" + row("s", 1));
    EXPECT_EQ(s.run({"wt", "game.stb", "two.txt"}).substr(0, 2), "0 ");
    EXPECT_EQ(s.read("game.stb").size(), 1025u * 52);
}

// The usage text, and commands that cannot run fail and leave the table alone.
TEST(Cli, UsageAndCommandsThatCannotRunLeaveTheTable) {
    Scratch s;
    s.write("game.stb", "old");
    const std::pair<Args, std::string> cases[] = {
        {{"wt"}, "0 |" + std::string(kUsage)},
        {{"w", "game.stb", "x"}, "1 ERROR: unknown command \"w\"\n|"},
        {{"rq", "game.stb"}, "1 ERROR: unknown command \"rq\"\n|"},
        {{"WX", "game.stb"}, "1 ERROR: cannot read XML from standard in :(\n|"},
        {{"rc", "game.stb", "./game.stb"}, "1 ERROR: could not open file \"./game.stb\" for write\n|"},
        {{"wj", "game.stb"}, "1 ERROR: reading JSON not supported yet :(\n|"},
    };
    for (const auto& c : cases) EXPECT_EQ(s.run(c.first, row("a", 1)), c.second) << c.first[0];
    // A write that fails, and one killed while it reads its input; the output
    // goes through a pipe, which the file size limit does not cover.
    const char* const scripts[][2] = {
        {"r=$(trap '' XFSZ; ulimit -f 0; echo '\"a\" t 1 2 3 4 0x0' | \"$0\" wt game.stb 2>&1;"
         " echo $?); echo \"$r\"; ls",
         "ERROR: could not write file \"game.stb\"\n1\ngame.stb\n"},
        {"mkfifo p; \"$0\" wt game.stb <p & exec 3>p; i=0;"
         " while [ $(ls | wc -l) -lt 3 ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done;"
         " kill $!; wait $!; echo $?; rm p; ls",
         "143\ngame.stb\n"},
    };
    for (const auto& c : scripts) {
        EXPECT_EQ(run_process({"/bin/sh", "-c", c[0], SPRTOOL_PATH}, s.dir.path).out, c[1]);
    }
    EXPECT_EQ(s.read("game.stb"), "old");
}
