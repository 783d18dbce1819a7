// What only the Windows build shows: text lines end in CR LF while binary
// files keep every byte, file patterns ignore case, names and lengths Windows
// refuses, files another program holds open, and the C runtime's reasons.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "qar_bytes.h"
#include "test_support.h"

namespace {

// "" when every LF in the bytes follows a CR, otherwise where one does not.
std::string lone_line_feed(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))
            return "a bare LF at byte " + std::to_string(i) + " of: " + bytes;
    return "";
}

// Opens a file as another program would hold it: reading and writing
// shared, deleting and renaming over it not.
HANDLE hold_open(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(Windows, TextOutputsAndMessagesEndLinesWithCrLf) {
    TempDir d;
    write_file(d.file("a.stb"), raw_sprite("a", 10) + raw_sprite("b", 13));  // LF and CR bytes inside
    for (const char* command : {"l", "rt", "rc", "rx", "rj"}) {
        EXPECT_EQ("", lone_line_feed(run_process({SPRTOOL_PATH, command, "a.stb"}, d.path).raw_out))
            << command << " to standard output";
        EXPECT_EQ(0, run_process({SPRTOOL_PATH, command, "a.stb", "out.txt"}, d.path).status);
        EXPECT_EQ("", lone_line_feed(read_file(d.file("out.txt")))) << command << " to a file";
    }
    const std::string failed =
        run_process({SPRTOOL_PATH, "wt", "b.stb", "missing.txt"}, d.path).raw_err;
    EXPECT_EQ(0u, failed.find("ERROR: could not open file \"missing.txt\" for read: "
                              "No such file or directory\r\n")) << failed;
    EXPECT_EQ("", lone_line_feed(failed)) << "sprtool's messages";
    write_file(d.file("g.qar"), raw_archive(0, {{"a.txt", 3632, 0, 1, 0, 0}}, "x"));
    EXPECT_EQ("", lone_line_feed(run_process({QARTOOL_PATH, "l", "g.qar"}, d.path).raw_out))
        << "qartool l";
    EXPECT_EQ("ERROR: no command specified\r\n",
              run_process({QARTOOL_PATH, "-p", "x"}, d.path).raw_err);
}

TEST(Windows, BinaryFilesKeepEveryByte) {
    TempDir d, out;
    const std::string table = raw_sprite("a", 10) + raw_sprite("b", 13);
    write_file(d.file("a.stb"), table);
    ASSERT_EQ(0, run_process({SPRTOOL_PATH, "rt", "a.stb", "a.txt"}, d.path).status);
    ASSERT_EQ(0, run_process({SPRTOOL_PATH, "wt", "b.stb", "a.txt"}, d.path).status);
    EXPECT_EQ(table, read_file(d.file("b.stb"))) << "the STB file read back from CR LF text";
    write_file(d.file("lines.bin"), "a\nb\r\nc\x1a" "d");
    ASSERT_EQ(0, run_process({QARTOOL_PATH, "a", "g.qar", "lines.bin"}, d.path).status);
    ASSERT_EQ(0, run_process({QARTOOL_PATH, "x", d.file("g.qar")}, out.path).status);
    EXPECT_EQ("a\nb\r\nc\x1a" "d", read_file(out.file("lines.bin")));
}

TEST(Windows, TextInputStopsNotAtAnEndOfFileCharacter) {
    TempDir d;
    const std::string text = "\"a\" t 1 0 0 0 0x0\r\n# \x1a\r\n\"b\" t 2 0 0 0 0x0\r\n";
    write_file(d.file("a.txt"), text);
    ASSERT_EQ(0, run_process({SPRTOOL_PATH, "wt", "a.stb", "a.txt"}, d.path).status);
    EXPECT_EQ(2 * 52u, read_file(d.file("a.stb")).size()) << "a file argument";
    ASSERT_EQ(0, run_process({SPRTOOL_PATH, "wt", "b.stb"}, d.path, text).status);
    EXPECT_EQ(2 * 52u, read_file(d.file("b.stb")).size()) << "standard input";
}

TEST(Windows, FilePatternsIgnoreCaseAndStarDotStarTakesNamesWithoutADot) {
    TempDir d;
    write_file(d.file("Readme.TXT"), "r");
    write_file(d.file("noext"), "n");
    const ProcessResult add = run_process({QARTOOL_PATH, "a", "g.qar", "*.txt", "NOEXT.*"}, d.path);
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
    const ProcessResult x = run_process({QARTOOL_PATH, "x", d.file("g.qar")}, out.path);
    EXPECT_EQ(2, x.status);
    EXPECT_EQ(expected_err + "qartool: 10 of 12 records not extracted\n", x.err);
    EXPECT_EQ("com10\nconsole.txt\n", list_directory(out.path));
}

TEST(Windows, MountIsRefusedAsLinuxOnly) {
    TempDir d;
    write_file(d.file("g.qar"), raw_archive(0, {}, ""));
    const ProcessResult m = run_process({QARTOOL_PATH, "m", "g.qar", "mnt"}, d.path);
    EXPECT_EQ(1, m.status);
    EXPECT_EQ("ERROR: cannot mount: mounting a qar as a folder works on Linux only\n", m.err);
}

TEST(Windows, APatternLongerThanWindowsAllowsIsRefusedNotCut) {
    TempDir d;
    const std::string pattern = std::string(300, 'p') + "/*";
    const ProcessResult add = run_process({QARTOOL_PATH, "a", "g.qar", pattern}, d.path);
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
    const HANDLE held = hold_open(out.file("held.txt"));
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const ProcessResult x = run_process({QARTOOL_PATH, "x", d.file("g.qar")}, out.path);
    EXPECT_EQ(2, x.status);
    EXPECT_EQ(std::string("ERROR: could not write to file \"held.txt\"\nERROR: ") +
                  std::strerror(EACCES) + "\nqartool: 1 of 2 records not extracted\n", x.err);
    EXPECT_EQ("old", read_file(out.file("held.txt")));
    EXPECT_EQ("held.txt\nnext.txt\n", list_directory(out.path)) << "a temporary file was left";
    CloseHandle(held);
    EXPECT_EQ("", run_process({QARTOOL_PATH, "x", d.file("g.qar")}, out.path).err);
    EXPECT_EQ("NEW", read_file(out.file("held.txt"))) << "not replaced once it was let go";
}

TEST(Windows, WritingATableHeldOpenFailsAndKeepsIt) {
    TempDir d;
    write_file(d.file("a.stb"), "old");
    const HANDLE held = hold_open(d.file("a.stb"));
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const ProcessResult w =
        run_process({SPRTOOL_PATH, "wt", "a.stb"}, d.path, "\"a\" t 1 0 0 0 0x0\n");
    EXPECT_EQ(1, w.status);
    EXPECT_EQ("ERROR: could not write file \"a.stb\": rename failed: Permission denied\n", w.err);
    EXPECT_EQ("old", read_file(d.file("a.stb")));
    EXPECT_EQ("a.stb\n", list_directory(d.path)) << "a temporary file was left";
    CloseHandle(held);
}

}  // namespace
