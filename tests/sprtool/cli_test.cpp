// The built sprtool's forms: each output exact and read back, what each form reads, and where
// includes are found.
#include <gtest/gtest.h>

#include <filesystem>

#include "sprtool_run.h"

static const std::string kTable =  // a 32-character name, an 8-character texture, 65535
    rec("hero_walk_right_frame_0123456789", "chars_01", 65535, 1, 32, 48, 0xAB12);

// Every form of one table exactly, and w reads it back: CSV quotes only the cells that would
// not read back otherwise, XML and JSON escape markup, quotes, control and high bytes. (What
// TXT and CSV carry back: the Scan tests.)
TEST(Cli, EachOutputFormIsExactAndReadsBack) {
    TempDir d;
    const std::string table = kTable + rec("say \"hi\"", "a,b", 2) + rec("", "", 3) +
                              rec("a&<>\"\x01\xE9", "x", 0);
    std::string behind_zero = table;
    behind_zero[52 + 10] = 'x';  // no form keeps bytes behind a name's zero
    write_file(d.file("game.stb"), behind_zero);
    for (const char* command : {"l", "rt", "rc", "rx", "rj"}) {
        EXPECT_EQ(run(d, {command, "game.stb"}), "0 |" + golden(std::string("table.") + command))
            << command;
    }
    for (const std::string form : {"wc", "wx", "wj"}) {
        const std::string text = std::string(GOLDEN_DIR) + "/table.r" + form[1];
        EXPECT_EQ(run(d, {form, "new.stb", text}), "0 |");
        EXPECT_EQ(read_file(d.file("new.stb")), table) << form << " changed the table";
    }
}

TEST(Cli, TooFewArgumentsPrintTheUsage) {
    TempDir d;
    std::string usage = golden("usage.txt");
    usage.replace(usage.find("SPRTOOL"), 7, SPRTOOL_PATH);
    EXPECT_EQ(run(d, {"wt"}), "0 |" + usage);
}

TEST(Cli, JsonCarriesEveryByteOfANameBack) {
    std::string every_byte;  // 1 to 255 in names, 8-byte textures, the largest numbers
    for (int first = 1; first < 256; first += 32) {
        std::string name;
        for (int c = first; c < first + 32 && c < 256; ++c) name += char(c);
        every_byte += rec(name, "\x7F\x80\"\\\xFF" "abc", 65535, 0, 65535, 1, 0xFFFFFFFF);
    }
    TempDir d;
    write_file(d.file("in.stb"), every_byte);
    EXPECT_EQ(run(d, {"rj", "in.stb", "text"}), "0 |");
    EXPECT_EQ(run(d, {"wj", "new.stb", "text"}), "0 |");
    EXPECT_EQ(read_file(d.file("new.stb")), every_byte) << "rj then wj changed the table";
}

// One sprite object with the members in the order the writer uses.
static std::string sprite(const std::string& name) {
    return "{\"name\": \"" + name + "\", \"texture\": \"t\", \"u\": 1, \"v\": 2, \"width\": 3, " +
           "\"height\": 4, \"flags\": \"0x5\"}";
}

struct Input {
    const char* command;
    std::string text;
    std::string table;
};

// Standard input that reads without a warning, and the table it replaces the old one with.
TEST(Cli, EachFormReadsTheWaysItIsWritten) {
    const Input inputs[] = {
        // Rows that all give nothing mean the wrong form; a source without any row is an empty table.
        {"wt", "# nothing here yet\n\n", ""},
        {"wc", "\"hero_idle_1\";\"chars_01\";32;0;\"32\";48;0x1\n", rec("hero_idle_1", "chars_01", 32, 0, 32, 48, 1)},
        // UTF-8 is checked in blocks of 64 KiB; a sequence split by the boundary is whole.
        {"wj", "[" + std::string(65521, ' ') + sprite("caf\xC3\xA9") + "]", rec("caf\xE9", "t", 1, 2, 3, 4, 5)},
        {"wj", "\xEF\xBB\xBF[\r\n" + sprite("a") + "\r\n]\r\n", rec("a", "t", 1, 2, 3, 4, 5)},
        {"wj", " [ ] ", ""},
    };
    for (const Input& in : inputs) {
        TempDir d;
        write_file(d.file("k.stb"), kTable);
        EXPECT_EQ(run(d, {in.command, "k.stb"}, in.text), "0 |") << in.text.substr(0, 80);
        EXPECT_EQ(read_file(d.file("k.stb")), in.table) << in.text.substr(0, 80);
    }
}

// Inputs in order, each include in place and found beside the file that names it; CR LF
// reads as LF.
TEST(Cli, WriteCommandsReadInputsAndIncludesInPlace) {
    TempDir d;
    auto t = [](const char* name, int u) { return rec(name, "t", u); };
    std::filesystem::create_directories(d.file("src/parts"));
    write_file(d.file("src/a.txt"),
               row("a", 1) + "# comment\r\n@include \"parts/i.txt\"\r\n" + row("a2", 4));
    write_file(d.file("src/parts/i.txt"), row("i", 2) + "@include \"c.txt\"\n" + row("i2", 3));
    write_file(d.file("src/parts/c.txt"), row("c", 5));
    EXPECT_EQ(run(d, {"wt", "x.stb", "src/a.txt", "src/parts/c.txt"}), "0 |");
    const std::string in_place = t("a", 1) + t("i", 2) + t("c", 5) + t("i2", 3) + t("a2", 4);
    EXPECT_EQ(read_file(d.file("x.stb")), in_place + t("c", 5)) << "TXT inputs out of order";
    write_file(d.file("src/a.xml"), "<spritetable><include file=\"parts/c.xml\"/></spritetable>");
    write_file(d.file("src/parts/c.xml"),
               "<spritetable><sprite name=\"c\" texture=\"t\" u=\"4\"/></spritetable>");
    EXPECT_EQ(run(d, {"wx", "k.stb", "src/a.xml"}), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), t("c", 4)) << "XML include";
    write_file(d.file("b.json"), "[" + sprite("b") + "," + sprite("c") + "]");
    write_file(d.file("a.json"), "[" + sprite("a") + "]");
    EXPECT_EQ(run(d, {"wj", "k.stb", "b.json", "a.json"}), "0 |");
    auto j = [](const char* name) { return rec(name, "t", 1, 2, 3, 4, 5); };
    EXPECT_EQ(read_file(d.file("k.stb")), j("b") + j("c") + j("a")) << "JSON inputs out of order";
}

TEST(Cli, AnIncludeInTheCurrentDirectoryComesFirst) {
    TempDir d;
    std::filesystem::create_directories(d.file("src"));
    write_file(d.file("src/a.txt"), row("a", 1) + "@include \"b.txt\"\n");
    write_file(d.file("src/b.txt"), row("b", 3));
    write_file(d.file("b.txt"), row("here", 9));
    EXPECT_EQ(run(d, {"wt", "k.stb", "src/a.txt"}), "0 |");
    EXPECT_EQ(read_file(d.file("k.stb")), rec("a", "t", 1) + rec("here", "t", 9))
        << "the current directory was not looked at first";
}
