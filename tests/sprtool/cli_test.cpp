// End-to-end tests: run the built sprtool in a scratch directory and compare
// its standard output, standard error, exit status and files byte for byte.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sprite_fixtures.h"
#include "test_support.h"

namespace {

const std::string kTool = SPRTOOL_PATH;
using Names = std::vector<std::string>;

struct Scratch {
    TempDir dir;
    ProcessResult run(std::vector<std::string> args, const std::string& stdin_data = "") {
        args.insert(args.begin(), kTool);
        return run_process(args, dir.path, stdin_data);
    }
    std::string read(const std::string& name) { return read_file(dir.file(name)); }
    void write(const std::string& name, const std::string& data) { write_file(dir.file(name), data); }
    Names names() {  // what the directory holds: proves that no temporary file was left
        Names out;
        DIR* d = opendir(dir.path.c_str());
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') out.push_back(e->d_name);
        }
        closedir(d);
        std::sort(out.begin(), out.end());
        return out;
    }
};

std::string cannot_read(const std::string& name) {
    return "ERROR: could not open file \"" + name + "\" for read\n";
}
std::string cannot_write(const std::string& name) {
    return "ERROR: could not open file \"" + name + "\" for write\n";
}
std::string row(const char* name, int u) {
    return "\"" + std::string(name) + "\" tex " + std::to_string(u) + " 0 0 0 0x0\n";
}
std::string rows_stb(std::vector<std::pair<const char*, int>> rows) {
    std::vector<SpriteEntry> entries;
    for (auto& r : rows) entries.push_back(sprite(r.first, "tex", uint16_t(r.second)));
    return stb_of(entries);
}

// A full 32-character name with no terminator, 8-character texture, 65535,
// flags, and a name with bytes behind its zero that are never shown.
std::string sample_stb() {
    SpriteEntry hidden = sprite("ab", "", 128, 256, 64, 16, 0xAB12);
    hidden.name[3] = 'z';
    return stb_of({sprite("hero_walk_right_frame_0123456789", "chars_01", 0, 0, 32, 48, 1),
                   sprite("a", "t", 65535, 65535, 65535, 65535, 0xFFFFFFFF), hidden});
}

}  // namespace

TEST(Cli, UsageWithoutCommandOrStbFile) {
    Scratch s;
    for (auto args : {Names{}, Names{"wt"}}) {
        ProcessResult r = s.run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "Korvath sprtool utility (Sep  7 2013)\n\nUsage: " + kTool +
                             " <command> <stb_file> [<file_name>...]\n\nCommands:\n"
                             "  l: list sprite table entries\n  rt: read STB and output TXT\n"
                             "  rc: read STB and output CSV\n  rx: read STB and output XML\n"
                             "  rj: read STB and output JSON\n  wt: input TXT and write STB\n"
                             "  wc: input CSV and write STB\n  wx: input XML and write STB\n");
    }
    EXPECT_EQ(s.names(), Names{});
}

TEST(Cli, UnknownCommandsOpenNothing) {
    Scratch s;
    s.write("game.stb", sample_stb());
    // A missing or unknown form letter after r or w is an unknown command too.
    for (std::string cmd : {"q", "", "xt", "tw", "w", "wq", "W", "r", "rq"}) {
        ProcessResult r = s.run({cmd, "game.stb", "out.txt"});
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_EQ(r.out + r.err, "ERROR: unknown command \"" + cmd + "\"\n");
    }
    EXPECT_EQ(s.read("game.stb"), sample_stb());
    EXPECT_EQ(s.names(), Names{"game.stb"});
}

TEST(Cli, ReadCommandsWriteEachFormExactly) {
    Scratch s;
    s.write("game.stb", sample_stb() + "xyz");  // a short tail is no record
    const std::pair<const char*, std::string> forms[] = {
        {"l",
         "NAME                             TEXTURE  U     V     W     H     FLAGS     \n"
         "-------------------------------- -------- ----- ----- ----- ----- ----------\n"
         "hero_walk_right_frame_0123456789 chars_01     0     0    32    48 0x00000001\n"
         "a                                t        65535 65535 65535 65535 0xffffffff\n"
         "ab                                          128   256    64    16 0x0000ab12\n"},
        {"rt",
         "# NAME............................ TEXTURE. U.... V.... W.... H.... FLAGS.....\n"
         "\"hero_walk_right_frame_0123456789\" chars_01     0     0    32    48 0x00000001\n"
         "\"a\"                                t        65535 65535 65535 65535 0xffffffff\n"
         "\"ab\"                                          128   256    64    16 0x0000ab12\n"},
        {"rc",
         "hero_walk_right_frame_0123456789,chars_01,0,0,32,48,0x00000001\n"
         "a,t,65535,65535,65535,65535,0xffffffff\nab,,128,256,64,16,0x0000ab12\n"},
        {"rx",
         "<?xml version=\"1.0\" standalone=\"no\"?>\n<spritetable>\n"
         "\t<sprite name=\"hero_walk_right_frame_0123456789\" texture=\"chars_01\" u=\"0\" v=\"0\" "
         "width=\"32\" height=\"48\" flags=\"0x00000001\"/>\n"
         "\t<sprite name=\"a\" texture=\"t\" u=\"65535\" v=\"65535\" width=\"65535\" "
         "height=\"65535\" flags=\"0xffffffff\"/>\n"
         "\t<sprite name=\"ab\" texture=\"\" u=\"128\" v=\"256\" width=\"64\" height=\"16\" "
         "flags=\"0x0000ab12\"/>\n</spritetable>\n"},
        {"rj",
         "[\n\t{\n\t\t\"name\": \"hero_walk_right_frame_0123456789\",\n\t\t\"texture\": \"chars_01\",\n"
         "\t\t\"u\": 0,\n\t\t\"v\": 0,\n\t\t\"width\": 32,\n\t\t\"height\": 48,\n"
         "\t\t\"flags\": \"0x00000001\"\n\t},\n"
         "\t{\n\t\t\"name\": \"a\",\n\t\t\"texture\": \"t\",\n\t\t\"u\": 65535,\n\t\t\"v\": 65535,\n"
         "\t\t\"width\": 65535,\n\t\t\"height\": 65535,\n\t\t\"flags\": \"0xffffffff\"\n\t},\n"
         "\t{\n\t\t\"name\": \"ab\",\n\t\t\"texture\": \"\",\n\t\t\"u\": 128,\n\t\t\"v\": 256,\n"
         "\t\t\"width\": 64,\n\t\t\"height\": 16,\n\t\t\"flags\": \"0x0000ab12\"\n\t}\n]\n"},
    };
    for (const auto& f : forms) {
        ProcessResult r = s.run({f.first, "game.stb"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, f.second) << f.first;
        // Same bytes into a file; letter case and further letters do not
        // matter, and arguments after the output file are ignored.
        std::string upper = f.first;
        upper[0] = char(toupper(upper[0]));
        r = s.run({upper + "xyz", "game.stb", "out.txt", "ignored.txt"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(s.read("out.txt"), f.second) << upper;
    }
    s.write("empty.stb", std::string(51, 'x'));
    EXPECT_EQ(s.run({"rj", "empty.stb"}).out, "[\n\n]\n");
    EXPECT_EQ(s.run({"rx", "empty.stb"}).out,
              "<?xml version=\"1.0\" standalone=\"no\"?>\n<spritetable>\n</spritetable>\n");
    EXPECT_EQ(s.names(), (Names{"empty.stb", "game.stb", "out.txt"}));
}

TEST(Cli, ReadCommandsThatCannotRun) {
    Scratch s;
    ProcessResult r = s.run({"rt", "missing.stb", "out.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, cannot_read("missing.stb"));
    mkdir(s.dir.file("dir").c_str(), 0755);
    r = s.run({"l", "dir"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out + r.err, cannot_read("dir"));
    s.write("game.stb", sample_stb());
    r = s.run({"l", "game.stb", "no/dir.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, cannot_write("no/dir.txt"));
    r = s.run({"rc", "game.stb", "./game.stb"});  // would empty the table it reads
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, cannot_write("./game.stb"));
    EXPECT_EQ(s.read("game.stb"), sample_stb());
    EXPECT_EQ(s.names(), (Names{"dir", "game.stb"}));
}

TEST(Cli, FormsRoundTripThroughTheStbFile) {
    Scratch s;
    std::string table = rows_stb({{"hero_walk_right_frame_0123456789", 65535}, {"b", 2}});
    // XML also keeps what TXT and CSV lose: empty text, quotes, separators,
    // markup, control and high bytes.
    std::string odd = table + stb_of({sprite("", "", 1, 2, 3, 4, 5),
                                      sprite("a&b <\"c\">,d\te\n", "x y;\x01\xE9", 0)});
    s.write("game.stb", table);
    s.write("odd.stb", odd);
    for (auto [form, stb] : {std::pair{"t", "game.stb"}, {"c", "game.stb"}, {"x", "odd.stb"}}) {
        ASSERT_EQ(s.run({std::string("r") + form, stb, "text"}).status, 0);
        ProcessResult w = s.run({std::string("w") + form, "back.stb", "text"});
        EXPECT_EQ(w.status, 0);
        EXPECT_EQ(w.out + w.err, "");
        EXPECT_EQ(s.read("back.stb"), s.read(stb)) << form;
    }
    EXPECT_NE(s.read("text").find("name=\"a&amp;b &lt;&quot;c&quot;&gt;,d&#x09;e&#x0A;\" "
                                  "texture=\"x y;&#x01;\xE9\""), std::string::npos);
    EXPECT_NE(s.run({"rj", "odd.stb"}).out.find("\"name\": \"a&b <\\\"c\\\">,d\\u0009e\\u000A\",\n"
                                                "\t\t\"texture\": \"x y;\\u0001\\u00E9\","),
              std::string::npos);
    EXPECT_EQ(s.names(), (Names{"back.stb", "game.stb", "odd.stb", "text"}));
}

TEST(Cli, WriteCommandsReadInputsInOrder) {
    Scratch s;
    s.write("a.txt", row("a", 1));
    s.write("c.txt", row("c", 3) + "# comment\r\n" + row("c2", 4));
    ProcessResult r = s.run({"wt", "game.stb", "a.txt", "b.txt", "c.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, cannot_read("b.txt"));
    EXPECT_EQ(s.read("game.stb"), rows_stb({{"a", 1}, {"c", 3}, {"c2", 4}}));
    // Without input files TXT and CSV come from standard input.
    EXPECT_EQ(s.run({"Wcsv", "game.stb"}, "x;tex;7\r\ny,tex,8,0,0,0,0x0\r\n").status, 0);
    EXPECT_EQ(s.read("game.stb"), rows_stb({{"x", 7}, {"y", 8}}));
    // Every input missing: the table is written anew, empty.
    EXPECT_EQ(s.run({"wt", "game.stb", "nope.txt"}).status, 0);
    EXPECT_EQ(s.read("game.stb"), "");
    EXPECT_EQ(s.names(), (Names{"a.txt", "c.txt", "game.stb"}));
}

TEST(Cli, IncludesStandInPlaceAndSelfIncludesEnd) {
    Scratch s;
    mkdir(s.dir.file("parts").c_str(), 0755);
    // Include names are relative to the current directory, not to the includer.
    s.write("main.txt", row("m1", 1) + "@include \"parts/b.txt\"\n" + row("m2", 5) + "@include\n" +
                            "@include \"gone.txt\" # text after\n" + "@include \"parts\"\n" + row("m3", 6));
    s.write("parts/b.txt", row("b1", 2) + "@include \"parts/c.txt\"\r\n" + row("b2", 4));
    s.write("parts/c.txt", row("c1", 3));
    ProcessResult r = s.run({"wt", "game.stb", "main.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, cannot_read("") + cannot_read("gone.txt") + cannot_read("parts"));
    EXPECT_EQ(s.read("game.stb"), rows_stb({{"m1", 1}, {"b1", 2}, {"c1", 3}, {"b2", 4}, {"m2", 5}, {"m3", 6}}));

    s.write("main.xml", "<spritetable><sprite name=\"m1\" texture=\"tex\" u=\"1\"/>"
                        "<include file=\"sub.xml\"/><include file=\"\"/><include name=\"x\"/>"
                        "<include file=\"empty.xml\"/><sprite name=\"m2\" texture=\"tex\" u=\"3\"/>"
                        "</spritetable>");
    s.write("sub.xml", "<spritetable><sprite name=\"s1\" texture=\"tex\" u=\"2\"/></spritetable>");
    s.write("empty.xml", "");
    r = s.run({"wx", "game.stb", "main.xml", "missing.xml"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, cannot_read("") + cannot_read("missing.xml"));
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;  // the parser's report
    EXPECT_EQ(s.read("game.stb"), rows_stb({{"m1", 1}, {"s1", 2}, {"m2", 3}}));

    s.write("self.txt", "@include \"self.txt\"\n" + row("s", 1));
    s.write("self.xml", "<spritetable><sprite name=\"s\" texture=\"tex\" u=\"1\"/>"
                        "<include file=\"self.xml\"/></spritetable>");
    for (const char* cmd : {"wt", "wx"}) {
        std::string file = std::string("self.") + (cmd[1] == 't' ? "txt" : "xml");
        r = s.run({cmd, "game.stb", file});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, cannot_read(file));
        std::string expected;
        for (int level = 0; level <= SPRITE_MAX_INCLUDE_DEPTH; ++level) expected += rows_stb({{"s", 1}});
        EXPECT_EQ(s.read("game.stb"), expected);  // the top level and 32 nested ones
    }
}

TEST(Cli, WriteCommandsThatCannotRunKeepTheTable) {
    Scratch s;
    s.write("game.stb", "old");
    s.write("in.json", "[]");
    mkdir(s.dir.file("dir.stb").c_str(), 0755);
    const std::string no_json = "ERROR: reading JSON not supported yet :(\n";
    const struct { Names args; std::string err; } cases[] = {
        {{"wx", "game.stb"}, "ERROR: cannot read XML from standard in :(\n"},
        {{"wj", "game.stb"}, no_json},
        {{"wj", "game.stb", "in.json", "gone.json", "in.json"}, no_json + cannot_read("gone.json") + no_json},
        {{"wt", "dir.stb"}, cannot_write("dir.stb")},
        {{"wt", "no/dir/new.stb"}, cannot_write("no/dir/new.stb")},
    };
    for (const auto& c : cases) {
        ProcessResult r = s.run(c.args, row("a", 1));
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.out + r.err, c.err);
    }
    EXPECT_EQ(s.read("game.stb"), "old");
    EXPECT_EQ(s.names(), (Names{"dir.stb", "game.stb", "in.json"}));
}

TEST(Cli, ReplacedTableKeepsModeAndSymbolicLink) {
    Scratch s;
    s.write("real.stb", "old");
    chmod(s.dir.file("real.stb").c_str(), 0640);
    ASSERT_EQ(symlink("real.stb", s.dir.file("link.stb").c_str()), 0);
    EXPECT_EQ(s.run({"wt", "link.stb"}, row("a", 1)).status, 0);
    struct stat st;
    ASSERT_EQ(lstat(s.dir.file("link.stb").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(s.dir.file("real.stb").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(s.read("real.stb"), rows_stb({{"a", 1}}));
    EXPECT_EQ(s.names(), (Names{"link.stb", "real.stb"}));
}

TEST(Cli, InterruptedWriteLeavesTheOldTableAndNoTemporaryFile) {
    Scratch s;
    s.write("game.stb", "old");
    int to_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(to_child[0], 0);
        close(to_child[1]);
        if (chdir(s.dir.path.c_str()) == 0) execl(kTool.c_str(), "sprtool", "wt", "game.stb", nullptr);
        _exit(127);
    }
    close(to_child[0]);
    std::string text = row("a", 1);
    ASSERT_EQ(write(to_child[1], text.data(), text.size()), ssize_t(text.size()));
    // The temporary file appears when the tool is reading its input.
    for (int i = 0; i < 500 && s.names().size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(s.names().size(), 2u);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    close(to_child[1]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(s.read("game.stb"), "old");
    EXPECT_EQ(s.names(), Names{"game.stb"});
}
