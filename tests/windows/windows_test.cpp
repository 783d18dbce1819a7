// What the Windows build does differently: text ends lines with CR LF, file
// patterns ignore case, record names Windows reserves are never written, and
// a file another process holds open is reported and kept; the mount command
// is refused.
#include <gtest/gtest.h>
#include <cerrno>
#include <cstring>
#include <windows.h>

#include "qar_bytes.h"
#include "test_support.h"

namespace {

using Args = std::vector<std::string>;

ProcessResult run(const std::string& program, Args args, const std::string& cwd,
                  const std::string& in = "") {
    args.insert(args.begin(), program);
    return run_process(args, cwd, in);
}

// "" when every LF in the bytes follows a CR, otherwise where one does not.
std::string lone_line_feed(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))
            return "a bare LF at byte " + std::to_string(i) + " of: " + bytes;
    return "";
}

// Holds a file open as another program would: reading and writing shared,
// deleting and renaming over it not.
struct HeldOpen {
    HANDLE h;
    explicit HeldOpen(const std::string& path)
        : h(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~HeldOpen() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

std::string sprite(const std::string& name, uint16_t u) {
    std::string record(40, '\0');
    record.replace(0, name.size(), name).replace(32, 1, "t");
    for (uint16_t x : {u, uint16_t(0), uint16_t(0), uint16_t(0), uint16_t(0), uint16_t(0)})
        record += {char(x & 0xFF), char(x >> 8)};
    return record;
}

TEST(Windows, TextOutputsAndMessagesEndLinesWithCrLf) {
    TempDir d;
    write_file(d.file("a.stb"), sprite("a", 10) + sprite("b", 13));  // LF and CR bytes inside
    for (const char* command : {"l", "rt", "rc", "rx", "rj"}) {
        ProcessResult shown = run(SPRTOOL_PATH, {command, "a.stb"}, d.path);
        EXPECT_EQ("", lone_line_feed(shown.raw_out)) << command << " to standard output";
        EXPECT_EQ(0, run(SPRTOOL_PATH, {command, "a.stb", "out.txt"}, d.path).status);
        EXPECT_EQ("", lone_line_feed(read_file(d.file("out.txt")))) << command << " to a file";
    }
    ProcessResult failed = run(SPRTOOL_PATH, {"wt", "b.stb", "missing.txt"}, d.path);
    EXPECT_EQ(0u, failed.raw_err.find("ERROR: could not open file \"missing.txt\" for read: "
                                      "No such file or directory\r\n"))
        << failed.raw_err;
    EXPECT_EQ("", lone_line_feed(failed.raw_err)) << "sprtool's messages";
    write_file(d.file("g.qar"), raw_archive(0, {}, ""));
    ProcessResult listing = run(QARTOOL_PATH, {"l", "g.qar"}, d.path);
    EXPECT_EQ("", lone_line_feed(listing.raw_out)) << "qartool's listing";
    EXPECT_EQ("ERROR: no command specified\r\n", run(QARTOOL_PATH, {"-p", "x"}, d.path).raw_err);
}

TEST(Windows, MountIsRefusedAsLinuxOnly) {
    TempDir d;
    write_file(d.file("g.qar"), raw_archive(0, {}, ""));
    ProcessResult r = run(QARTOOL_PATH, {"m", "g.qar", "mnt"}, d.path);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("ERROR: cannot mount: mounting a qar as a folder works on Linux only\n", r.err);
}

TEST(Windows, BinaryFilesKeepEveryByte) {
    TempDir d;
    const std::string table = sprite("a", 10) + sprite("b", 13);
    write_file(d.file("a.stb"), table);
    ASSERT_EQ(0, run(SPRTOOL_PATH, {"rt", "a.stb", "a.txt"}, d.path).status);
    ASSERT_EQ(0, run(SPRTOOL_PATH, {"wt", "b.stb", "a.txt"}, d.path).status);
    EXPECT_EQ(table, read_file(d.file("b.stb"))) << "the STB file read back from CR LF text";
    write_file(d.file("lines.bin"), "a\nb\r\nc\x1a" "d");
    ASSERT_EQ(0, run(QARTOOL_PATH, {"a", "g.qar", "lines.bin"}, d.path).status);
    TempDir out;
    ASSERT_EQ(0, run(QARTOOL_PATH, {"x", d.file("g.qar")}, out.path).status);
    EXPECT_EQ("a\nb\r\nc\x1a" "d", read_file(out.file("lines.bin")));
}

TEST(Windows, TextInputStopsNotAtAnEndOfFileCharacter) {
    TempDir d;
    write_file(d.file("a.txt"), "\"a\" t 1 0 0 0 0x0\r\n# \x1a\r\n\"b\" t 2 0 0 0 0x0\r\n");
    ASSERT_EQ(0, run(SPRTOOL_PATH, {"wt", "a.stb", "a.txt"}, d.path).status);
    EXPECT_EQ(2 * 52u, read_file(d.file("a.stb")).size()) << "a file argument";
    ASSERT_EQ(0, run(SPRTOOL_PATH, {"wt", "b.stb"}, d.path, read_file(d.file("a.txt"))).status);
    EXPECT_EQ(2 * 52u, read_file(d.file("b.stb")).size()) << "standard input";
}

TEST(Windows, FilePatternsIgnoreCaseAndStarDotStarTakesNamesWithoutADot) {
    TempDir d;
    write_file(d.file("Readme.TXT"), "r");
    write_file(d.file("noext"), "n");
    ProcessResult add = run(QARTOOL_PATH, {"a", "g.qar", "*.txt", "NOEXT.*"}, d.path);
    EXPECT_EQ("file: Readme.TXT\nfile: noext\n", add.out);
    EXPECT_EQ("", add.err);
}

TEST(Windows, ExtractRefusesNamesWindowsReserves) {
    TempDir d, out;
    // In name order, the order extraction takes.
    const char* reserved[] = {"a:stream", "a<b", "aux .x", "Com1.dat", "CON",
                              "dot.", "lpt9", "nul.txt", "space ", "why?"};
    std::vector<RawEntry> entries;
    std::string expected_err;
    for (const char* name : reserved) {
        entries.push_back({name, 3632, int32_t(entries.size()), 1, 0, 0});
        expected_err += "ERROR: not extracting \"" + std::string(name) + "\": not a plain file name\n";
    }
    for (const char* name : {"console.txt", "com10"})
        entries.push_back({name, 3632, int32_t(entries.size()), 1, 0, 0});
    write_file(d.file("g.qar"), raw_archive(0, entries, "x"));
    ProcessResult x = run(QARTOOL_PATH, {"x", d.file("g.qar")}, out.path);
    EXPECT_EQ(2, x.status);
    EXPECT_EQ(expected_err + "qartool: 10 of 12 records not extracted\n", x.err);
    EXPECT_EQ("com10\nconsole.txt\n", list_directory(out.path));
}

TEST(Windows, APatternLongerThanWindowsAllowsIsRefusedNotCut) {
    TempDir d;
    const std::string pattern = std::string(300, 'p') + "/*";
    ProcessResult add = run(QARTOOL_PATH, {"a", "g.qar", pattern}, d.path);
    EXPECT_EQ(2, add.status);
    EXPECT_EQ("\"" + pattern + "\": path too long, nothing stored\n"
              "qartool: nothing stored, qar \"g.qar\" not created\n"
              "qartool: 1 of 1 files not stored\n", add.err);
}

TEST(Windows, ExtractOverAFileHeldOpenReportsItKeepsItAndGoesOn) {
    TempDir d, out;
    write_file(d.file("g.qar"), raw_archive(0, {{"held.txt", 3632, 0, 3, 0, 0},
                                                {"next.txt", 3632, 1, 3, 0, 0}}, "NEW"));
    write_file(out.file("held.txt"), "old");
    {
        HeldOpen held(out.file("held.txt"));
        ASSERT_NE(INVALID_HANDLE_VALUE, held.h);
        ProcessResult x = run(QARTOOL_PATH, {"x", d.file("g.qar")}, out.path);
        EXPECT_EQ(2, x.status);
        EXPECT_EQ(std::string("ERROR: could not write to file \"held.txt\"\n") +
                      "ERROR: " + std::strerror(EACCES) + "\n" +
                      "qartool: 1 of 2 records not extracted\n",
                  x.err);
        EXPECT_EQ("old", read_file(out.file("held.txt")));
        EXPECT_EQ("held.txt\nnext.txt\n", list_directory(out.path)) << "a temporary file was left";
    }
    EXPECT_EQ("", run(QARTOOL_PATH, {"x", d.file("g.qar")}, out.path).err);
    EXPECT_EQ("NEW", read_file(out.file("held.txt"))) << "not replaced once it was let go";
}

TEST(Windows, WritingATableHeldOpenFailsAndKeepsIt) {
    TempDir d;
    write_file(d.file("a.stb"), "old");
    HeldOpen held(d.file("a.stb"));
    ASSERT_NE(INVALID_HANDLE_VALUE, held.h);
    ProcessResult w = run(SPRTOOL_PATH, {"wt", "a.stb"}, d.path, "\"a\" t 1 0 0 0 0x0\n");
    EXPECT_EQ(1, w.status);
    EXPECT_EQ("ERROR: could not write file \"a.stb\": rename failed: Permission denied\n", w.err);
    EXPECT_EQ("old", read_file(d.file("a.stb")));
    EXPECT_EQ("a.stb\n", list_directory(d.path)) << "a temporary file was left";
}

}  // namespace
