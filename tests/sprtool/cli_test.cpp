// End-to-end tests: run the built sprtool in a scratch directory and compare
// its standard output, standard error, exit status and files byte for byte.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_streams.h"
#include "test_support.h"

namespace {

const std::string kTool = SPRTOOL_PATH;

struct Scratch {
    TempDir dir;

    ProcessResult run(std::vector<std::string> args, const std::string& stdin_data = "") {
        args.insert(args.begin(), kTool);
        return run_process(args, dir.path, stdin_data);
    }
    std::string read(const std::string& name) { return read_file(dir.file(name)); }
    void write(const std::string& name, const std::string& data) { write_file(dir.file(name), data); }
    bool exists(const std::string& name) { return file_exists(dir.file(name)); }

    // Names in the directory, to prove that no temporary file was left.
    std::vector<std::string> names() {
        std::vector<std::string> out;
        DIR* d = opendir(dir.path.c_str());
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") out.push_back(n);
        }
        closedir(d);
        std::sort(out.begin(), out.end());
        return out;
    }
};

std::string open_read_error(const std::string& name) {
    return "ERROR: could not open file \"" + name + "\" for read\n";
}

std::string txt_row(const char* name, int n) {
    return "\"" + std::string(name) + "\" tex " + std::to_string(n) + " 0 0 0 0x0\n";
}

std::string txt_stb(std::vector<std::pair<const char*, int>> rows) {
    std::vector<SpriteEntry> entries;
    for (auto& r : rows) entries.push_back(sprite(r.first, "tex", uint16_t(r.second), 0, 0, 0, 0));
    return stb_of(entries);
}

}  // namespace

TEST(Cli, UsageWithoutCommandOrStbFile) {
    Scratch s;
    const std::string usage =
        "Korvath sprtool utility (Sep  7 2013)\n\nUsage: " + kTool +
        " <command> <stb_file> [<file_name>...]\n\nCommands:\n"
        "  l: list sprite table entries\n  rt: read STB and output TXT\n"
        "  rc: read STB and output CSV\n  rx: read STB and output XML\n"
        "  rj: read STB and output JSON\n  wt: input TXT and write STB\n"
        "  wc: input CSV and write STB\n  wx: input XML and write STB\n";
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"wt"}}) {
        ProcessResult r = s.run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(s.names().empty());
}

TEST(Cli, UnknownCommandsOpenNothing) {
    Scratch s;
    s.write("game.stb", stb_of(sample_table()));
    // A missing or unknown form letter after r or w is an unknown command too.
    for (std::string cmd : {"q", "", "xt", "tw", "w", "wq", "W", "r", "rq", "r1"}) {
        ProcessResult r = s.run({cmd, "game.stb", "out.txt"});
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "ERROR: unknown command \"" + cmd + "\"\n");
    }
    EXPECT_EQ(s.read("game.stb"), stb_of(sample_table()));
    EXPECT_FALSE(s.exists("out.txt"));
}

TEST(Cli, ReadCommandsPrintEachForm) {
    Scratch s;
    std::string table = stb_of(sample_table()) + "xyz";  // a short tail is ignored
    s.write("game.stb", table);
    ProcessResult l = s.run({"l", "game.stb"});
    EXPECT_EQ(l.status, 0);
    EXPECT_EQ(l.err, "");
    EXPECT_EQ(l.out,
              "NAME                             TEXTURE  U     V     W     H     FLAGS     \n"
              "-------------------------------- -------- ----- ----- ----- ----- ----------\n"
              "hero_walk_right_frame_0123456789 chars_01     0     0    32    48 0x00000001\n"
              "a                                t        65535 65535 65535 65535 0xffffffff\n"
              "ui/button.pressed                ui         128   256    64    16 0x0000ab12\n");
    ProcessResult rj = s.run({"rj", "game.stb"});
    const std::string head = "[\n\t{\n\t\t\"name\": \"hero_walk_right_frame_0123456789\",\n"
                             "\t\t\"texture\": \"chars_01\",\n\t\t\"u\": 0,\n";
    const std::string tail = "\t\t\"height\": 16,\n\t\t\"flags\": \"0x0000ab12\"\n\t}\n]\n";
    ASSERT_GT(rj.out.size(), head.size() + tail.size());
    EXPECT_EQ(rj.out.substr(0, head.size()), head);
    EXPECT_EQ(rj.out.substr(rj.out.size() - tail.size()), tail);
    EXPECT_NE(rj.out.find("\t\t\"width\": 65535,\n\t\t\"height\": 65535,\n\t\t\"flags\": \"0xffffffff\"\n\t},\n\t{"),
              std::string::npos);
    // Each form goes to stdout or, the same bytes, to the output file; the
    // letter case and further letters of the command do not matter.
    const std::pair<const char*, const char*> forms[] = {
        {"l", "LIST"}, {"rt", "Rtxt"}, {"rc", "rCSV"}, {"rx", "RX"}, {"rj", "rjson"}};
    for (const auto& f : forms) {
        ProcessResult to_stdout = s.run({f.first, "game.stb"});
        ProcessResult to_file = s.run({f.second, "game.stb", "out.txt", "ignored.txt"});
        EXPECT_EQ(to_file.status, 0) << f.second;
        EXPECT_EQ(to_file.out, "");
        EXPECT_EQ(to_file.err, "");
        EXPECT_EQ(s.read("out.txt"), to_stdout.out) << f.second;
        EXPECT_FALSE(s.exists("ignored.txt"));
    }
    EXPECT_EQ(s.read("game.stb"), table);
}

TEST(Cli, ReadCommandsThatCannotRun) {
    Scratch s;
    ProcessResult r = s.run({"rt", "missing.stb", "out.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, open_read_error("missing.stb"));
    EXPECT_FALSE(s.exists("out.txt"));

    s.write("game.stb", stb_of(sample_table()));
    r = s.run({"l", "game.stb", "no/such/dir.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: could not open file \"no/such/dir.txt\" for write\n");

    // Writing the output over the table being read would destroy the table.
    r = s.run({"rc", "game.stb", "./game.stb"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: could not open file \"./game.stb\" for write\n");
    EXPECT_EQ(s.read("game.stb"), stb_of(sample_table()));
}

TEST(Cli, FormsRoundTripThroughTheStbFile) {
    Scratch s;
    std::string table = stb_of(sample_table());
    s.write("game.stb", table);
    for (const char* form : {"t", "c", "x"}) {
        std::string text = std::string("game.") + form;
        ASSERT_EQ(s.run({std::string("r") + form, "game.stb", text}).status, 0);
        ProcessResult w = s.run({std::string("w") + form, "back.stb", text});
        EXPECT_EQ(w.status, 0) << form;
        EXPECT_EQ(w.out + w.err, "");
        EXPECT_EQ(s.read("back.stb"), table) << form;
    }
    // XML keeps what TXT and CSV lose: empty names and textures, quotes, "&".
    std::string odd = stb_of({sprite("", "", 1, 2, 3, 4, 5), sprite("a&b \"c\",d", "x y;z", 0, 0, 0, 0, 0)});
    s.write("odd.stb", odd);
    ASSERT_EQ(s.run({"rx", "odd.stb", "odd.xml"}).status, 0);
    ASSERT_EQ(s.run({"wx", "back.stb", "odd.xml"}).status, 0);
    EXPECT_EQ(s.read("back.stb"), odd);
    EXPECT_EQ(s.names(), (std::vector<std::string>{"back.stb", "game.c", "game.stb", "game.t",
                                                    "game.x", "odd.stb", "odd.xml"}));
}

TEST(Cli, WriteCommandsReadInputsInOrderAndSkipMissingOnes) {
    Scratch s;
    s.write("a.txt", txt_row("a", 1));
    s.write("c.txt", txt_row("c", 3) + "# comment\r\n" + txt_row("c2", 4));
    ProcessResult r = s.run({"wt", "game.stb", "a.txt", "b.txt", "c.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, open_read_error("b.txt"));
    EXPECT_EQ(s.read("game.stb"), txt_stb({{"a", 1}, {"c", 3}, {"c2", 4}}));

    // Without input files the text forms read standard input; CR LF as LF.
    r = s.run({"wc", "game.stb"}, "x;tex;7\r\ny,tex,8,0,0,0,0x0\r\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(s.read("game.stb"), txt_stb({{"x", 7}, {"y", 8}}));
    r = s.run({"WT", "game.stb"}, txt_row("z", 9));
    EXPECT_EQ(s.read("game.stb"), txt_stb({{"z", 9}}));

    // Every input missing: the table is rewritten empty, as asked.
    r = s.run({"wt", "game.stb", "nope.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(s.read("game.stb"), "");
    EXPECT_EQ(s.names(), (std::vector<std::string>{"a.txt", "c.txt", "game.stb"}));
}

TEST(Cli, TxtIncludesStandInPlace) {
    Scratch s;
    s.write("main.txt", txt_row("m1", 1) + "@include \"parts/b.txt\"\n" + txt_row("m2", 5) +
                            "@include\n" + "@include \"gone.txt\" # text after\n" + txt_row("m3", 6));
    // Include names are relative to the current directory, not to the includer.
    mkdir(s.dir.file("parts").c_str(), 0755);
    s.write("parts/b.txt", txt_row("b1", 2) + "@include \"parts/c.txt\"\r\n" + txt_row("b2", 4));
    s.write("parts/c.txt", txt_row("c1", 3));
    ProcessResult r = s.run({"wt", "game.stb", "main.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, open_read_error("") + open_read_error("gone.txt"));
    EXPECT_EQ(s.read("game.stb"),
              txt_stb({{"m1", 1}, {"b1", 2}, {"c1", 3}, {"b2", 4}, {"m2", 5}, {"m3", 6}}));
}

TEST(Cli, SelfIncludesEndAtTheDepthBound) {
    Scratch s;
    s.write("self.txt", "@include \"self.txt\"\n" + txt_row("s", 1));
    ProcessResult r = s.run({"wt", "game.stb", "self.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, open_read_error("self.txt"));
    EXPECT_EQ(s.read("game.stb").size(), 33 * SPRITE_ENTRY_SIZE);  // top level and 32 nested

    s.write("self.xml", "<spritetable><sprite name=\"s\" texture=\"t\"/><include file=\"self.xml\"/>"
                        "</spritetable>");
    r = s.run({"wx", "game.stb", "self.xml"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, open_read_error("self.xml"));
    EXPECT_EQ(s.read("game.stb").size(), 33 * SPRITE_ENTRY_SIZE);
}

TEST(Cli, XmlIncludesAndParseErrors) {
    Scratch s;
    s.write("main.xml",
            "<?xml version=\"1.0\"?>\n<spritetable>\n"
            "  <sprite name=\"m1\" texture=\"tex\" u=\"1\"/>\n"
            "  <include file=\"sub.xml\"/>\n  <include file=\"\"/>\n  <include name=\"x\"/>\n"
            "  <include file=\"empty.xml\"/>\n"
            "  <sprite name=\"m2\" texture=\"tex\" u=\"3\"/>\n</spritetable>\n");
    s.write("sub.xml", "<spritetable><sprite name=\"s1\" texture=\"tex\" u=\"2\"/></spritetable>");
    s.write("empty.xml", "");
    ProcessResult r = s.run({"wx", "game.stb", "main.xml", "missing.xml"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, open_read_error("") + open_read_error("missing.xml"));
    // The parser's own one-line report for the empty document, on stdout.
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    EXPECT_EQ(s.read("game.stb"), txt_stb({{"m1", 1}, {"s1", 2}, {"m2", 3}}));
}

TEST(Cli, WriteCommandsThatCannotRunKeepTheTable) {
    Scratch s;
    std::string table = stb_of(sample_table());
    s.write("game.stb", table);
    s.write("in.json", "[]");

    ProcessResult r = s.run({"wx", "game.stb"}, "<spritetable/>");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: cannot read XML from standard in :(\n");

    const std::string no_json = "ERROR: reading JSON not supported yet :(\n";
    r = s.run({"wj", "game.stb"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, no_json);
    r = s.run({"wj", "game.stb", "in.json", "gone.json", "in.json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, no_json + open_read_error("gone.json") + no_json);

    mkdir(s.dir.file("dir.stb").c_str(), 0755);
    r = s.run({"wt", "dir.stb"}, txt_row("a", 1));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: could not open file \"dir.stb\" for write\n");
    r = s.run({"wt", "no/dir/new.stb"}, txt_row("a", 1));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: could not open file \"no/dir/new.stb\" for write\n");

    EXPECT_EQ(s.read("game.stb"), table);
    EXPECT_EQ(s.names(), (std::vector<std::string>{"dir.stb", "game.stb", "in.json"}));
}

TEST(Cli, ReplacedTableKeepsModeAndSymbolicLink) {
    Scratch s;
    s.write("real.stb", "old");
    chmod(s.dir.file("real.stb").c_str(), 0640);
    ASSERT_EQ(symlink("real.stb", s.dir.file("link.stb").c_str()), 0);
    ProcessResult r = s.run({"wt", "link.stb"}, txt_row("a", 1));
    EXPECT_EQ(r.status, 0);
    struct stat st;
    ASSERT_EQ(lstat(s.dir.file("link.stb").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(s.dir.file("real.stb").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(s.read("real.stb"), txt_stb({{"a", 1}}));
    EXPECT_EQ(s.names(), (std::vector<std::string>{"link.stb", "real.stb"}));
}

TEST(Cli, InterruptedWriteLeavesTheOldTableAndNoTemporaryFile) {
    Scratch s;
    s.write("game.stb", "old table");
    int to_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(to_child[0], 0);
        close(to_child[0]);
        close(to_child[1]);
        if (chdir(s.dir.path.c_str()) != 0) _exit(126);
        execl(kTool.c_str(), kTool.c_str(), "wt", "game.stb", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(to_child[0]);
    std::string row = txt_row("a", 1);
    ASSERT_EQ(write(to_child[1], row.data(), row.size()), ssize_t(row.size()));
    // Wait until the temporary file exists: the tool is then reading its input.
    for (int i = 0; i < 500 && s.names().size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(s.names().size(), 2u);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    close(to_child[1]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(s.read("game.stb"), "old table");
    EXPECT_EQ(s.names(), (std::vector<std::string>{"game.stb"}));
}
