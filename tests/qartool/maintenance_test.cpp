// The commands that look after an archive as a whole, through the built program: t tests
// every record, c compacts, -o extracts into a folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "qar_bytes.h"
#include "run_qartool.h"
#include "test_support.h"

namespace {

// A compressible file as the built program stores it: its stream and flags word.
struct Stored {
    std::string stream;
    uint32_t flags;
};

Stored stored_by_add(const std::string& content) {
    TempDir dir;
    write_file(dir.file("f"), content);
    qartool(dir.path, {"a", "s.qar", "f"});
    const std::string bytes = read_file(dir.file("s.qar"));
    const RawEntry e = raw_entries(bytes).at(0);
    return {bytes.substr(e.data_offset, e.stored_size), e.flags};
}

const std::string TEXT = std::string(3000, 'a') + "tail";  // compresses well

std::string line(const std::string& name, const char* verdict) {
    return name + std::string(17 - name.size(), ' ') + verdict + "\n";
}

TEST(TestCommand, ASoundArchiveTestsOkAndEndsZero) {
    TempDir dir;
    const Stored s = stored_by_add(TEXT);
    ASSERT_NE(0u, s.flags & 6) << "the text was stored uncompressed";
    const uint32_t size = uint32_t(s.stream.size());
    write_file(dir.file("game.qar"), raw_archive(0, {{"packed.txt", 3632, 0, size, 0, s.flags},
                                                     {"plain.bin", 3632 + size, 1, 5, 0, 0}},
                                                 s.stream + "plain"));
    expect_qartool(dir.path, {"t", "game.qar"}, 0,
                   line("packed.txt", "OK") + line("plain.bin", "OK") +
                       "2 records tested, 0 damaged\n",
                   "");
    expect_qartool(dir.path, {"t", "game.qar", "*.TXT"}, 0,
                   line("packed.txt", "OK") + "1 records tested, 0 damaged\n", "");
}

TEST(TestCommand, APatternThatMatchesNoRecordIsReportedAndEndsTwo) {
    TempDir dir;
    write_file(dir.file("game.qar"), raw_archive(0, {{"plain.bin", 3632, 0, 5, 0, 0}}, "plain"));
    expect_qartool(dir.path, {"t", "game.qar", "*.bin", "*.txt"}, 2,
                   line("plain.bin", "OK") + "1 records tested, 0 damaged\n",
                   "ERROR: no record in qar \"game.qar\" matches \"*.txt\", nothing tested\n"
                   "qartool: 1 of 2 records damaged or not found\n");
}

// Beside a sound record "plain.bin" (5 bytes at 3632), a record "bad" damaged one way.
TEST(TestCommand, EachKindOfDamageIsNamedWithItsReasonAndEndsTwo) {
    const Stored s = stored_by_add(TEXT);
    const uint32_t size = uint32_t(s.stream.size()), one = 1u << 8;
    const std::string codec = "Error -5 during compression library operation: output overrun";
    const std::pair<RawEntry, std::string> cases[] = {
        {{"bad", 3632, 0, 1000, 0, 0}, "its stored bytes lie beyond the end of the file"},
        {{"bad", 20, 0, 4, 0, 0}, "its stored bytes overlap the header or directory table 0"},
        {{"bad", 3637, 0, size, 0, s.flags + one},
         "its stream does not decode to its 3005 bytes (Error -12 during compression library "
         "operation: output not consumed)"},
        {{"bad", 3637, 0, size, 0, s.flags - one},
         "its stream does not decode to its 3003 bytes (" + codec + ")"},
    };
    for (const auto& [bad, reason] : cases) {
        SCOPED_TRACE(reason);
        TempDir dir;
        const std::string archive =
            raw_archive(0, {bad, {"plain.bin", 3632, 1, 5, 0, 0}}, "plain" + s.stream);
        write_file(dir.file("game.qar"), archive);
        expect_qartool(dir.path, {"t", "game.qar"}, 2,
                       line("bad", "damaged") + line("plain.bin", "OK") +
                           "2 records tested, 1 damaged\n",
                       "ERROR: \"bad\" in qar \"game.qar\" is damaged: " + reason +
                           "\nqartool: 1 of 2 records damaged\n");
        EXPECT_EQ(archive, read_file(dir.file("game.qar"))) << "the test wrote to the archive";
    }
}

// Table 0 full, table 1 behind it at 3632, and "bad" pointing into table 1.
TEST(TestCommand, StoredBytesInsideALaterDirectoryTableAreDamage) {
    TempDir dir;
    std::vector<RawEntry> entries;
    for (int i = 0; i < 99; ++i) entries.push_back({"r" + std::to_string(i), 7236, i, 1, 0, 0});
    entries.push_back({"bad", 3640, 99, 4, 0, 0});
    write_file(dir.file("game.qar"),
               raw_header(100, 0) + raw_table(3632, entries) + raw_table(0) + "x");
    expect_qartool(dir.path, {"t", "game.qar", "bad", "r7"}, 2,
                   line("bad", "damaged") + line("r7", "OK") + "2 records tested, 1 damaged\n",
                   "ERROR: \"bad\" in qar \"game.qar\" is damaged: its stored bytes overlap "
                   "directory table 1\nqartool: 1 of 2 records damaged\n");
}

// The header counts one record, the table holds two: an add stopped before its last write.
TEST(TestCommand, AnArchiveLeftByAnInterruptedAddIsSaidSoButIsNoDamage) {
    TempDir dir;
    write_file(dir.file("game.qar"),
               raw_header(1, 0) + raw_table(0, {{"a.txt", 3632, 0, 2, 0, 0},
                                                {"b.txt", 3634, 1, 2, 0, 0}}) + "aabb");
    expect_qartool(dir.path, {"t", "game.qar"}, 0,
                   "qar \"game.qar\" was left by an interrupted add: its last record is "
                   "complete, and the next add completes the qar\n" +
                       line("a.txt", "OK") + line("b.txt", "OK") + "2 records tested, 0 damaged\n",
                   "");
}

// Every entry below root, as paths relative to it, in order.
std::vector<std::string> tree(const std::string& root) {
    std::vector<std::string> names;
    for (const auto& f : std::filesystem::recursive_directory_iterator(root))
        names.push_back(std::filesystem::relative(f.path(), root).generic_string());
    std::sort(names.begin(), names.end());
    return names;
}

const std::string TWO_RECORDS =
    raw_archive(0, {{"a.txt", 3632, 0, 2, 0, 0}, {"b.txt", 3634, 1, 2, 0, 0}}, "aabb");

TEST(ExtractInto, ANewNestedFolderIsMadeAndFilled) {
    TempDir dir;
    write_file(dir.file("game.qar"), TWO_RECORDS);
    expect_qartool(dir.path, {"-o", "out/deep\\er", "x", "game.qar"}, 0, "a.txt\nb.txt\n", "");
    EXPECT_EQ(tree(dir.path),
              (std::vector<std::string>{"game.qar", "out", "out/deep", "out/deep/er",
                                        "out/deep/er/a.txt", "out/deep/er/b.txt"}));
    EXPECT_EQ("bb", read_file(dir.file("out/deep/er/b.txt")));
}

TEST(ExtractInto, NeverOverTheArchiveInsideTheFolder) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("out"));
    const std::string archive = raw_archive(0, {{"game.qar", 3632, 0, 2, 0, 0}}, "xx");
    write_file(dir.file("out/game.qar"), archive);
    expect_qartool(dir.path, {"-o", "out", "x", "out/game.qar"}, 2, "",
                   "ERROR: not extracting \"game.qar\" over the qar file being read\n"
                   "qartool: 1 of 1 records not extracted\n");
    EXPECT_EQ(archive, read_file(dir.file("out/game.qar"))) << "the archive was overwritten";
}

TEST(ExtractInto, AFolderThatCannotBeMadeEndsOne) {
    TempDir dir;
    write_file(dir.file("game.qar"), TWO_RECORDS);
    write_file(dir.file("plain"), "a file in the way");
    expect_qartool(dir.path, {"-o", "plain/out", "x", "game.qar"}, 1, "",
                   "ERROR: could not create folder \"plain/out\": " +
                       std::string(std::strerror(ENOTDIR)) + "\n");
    EXPECT_EQ(tree(dir.path), (std::vector<std::string>{"game.qar", "plain"}));
}

TEST(ExtractInto, OnlyExtractTakesAFolderOrKeepsExistingFiles) {
    TempDir dir;
    write_file(dir.file("game.qar"), TWO_RECORDS);
    for (const char* command : {"l", "a", "d", "u", "t"}) {
        expect_qartool(dir.path, {"-o", "out", command, "game.qar", "*"}, 1, "",
                       "ERROR: -o goes only with the x command\n");
        expect_qartool(dir.path, {"-n", command, "game.qar", "*"}, 1, "",
                       "ERROR: -n goes only with the x command\n");
    }
    EXPECT_EQ(tree(dir.path), std::vector<std::string>{"game.qar"});
}

// z.txt (compressed) kept, b.bin deleted, c.txt updated (its old data left behind): the
// records keep their index order, which is not their name order.
TEST(CompactCommand, KeepsOnlyTheLiveRecordsStoredBytesInIndexOrder) {
    TempDir dir;
    write_file(dir.file("z.txt"), TEXT);
    write_file(dir.file("b.bin"), "bbbb");
    write_file(dir.file("c.txt"), "cc");
    qartool(dir.path, {"-k", "77", "a", "game.qar", "z.txt", "b.bin", "c.txt"});
    write_file(dir.file("c.txt"), "CCC");
    qartool(dir.path, {"-k", "77", "d", "game.qar", "b.bin"});
    qartool(dir.path, {"-k", "77", "u", "game.qar", "c.txt"});
    const std::string old = read_file(dir.file("game.qar"));
    const std::vector<RawEntry> e = raw_entries(old);
    ASSERT_EQ(3u, e.size());
    ASSERT_EQ(1u, e[1].flags) << "b.bin was not deleted";
    const std::string z = old.substr(e[0].data_offset, e[0].stored_size);
    const std::string c = old.substr(e[2].data_offset, e[2].stored_size);
    const uint32_t z_size = uint32_t(z.size());
    const std::string expected =
        raw_header(2, 77) +
        raw_table(0, {{"z.txt", 3632, 0, z_size, e[0].time, e[0].flags},
                      {"c.txt", 3632 + z_size, 1, 3, e[2].time, e[2].flags}}) +
        z + c;
    expect_qartool(dir.path, {"-k", "77", "c", "game.qar"}, 0,
                   "2 records, " + std::to_string(old.size()) + " bytes before, " +
                       std::to_string(expected.size()) + " bytes after\n",
                   "");
    EXPECT_TRUE(expected == read_file(dir.file("game.qar")))
        << "the compacted archive is not the appended live records";
    EXPECT_EQ(tree(dir.path), (std::vector<std::string>{"b.bin", "c.txt", "game.qar", "z.txt"}))
        << "a temporary file stayed";
}

TEST(CompactCommand, ADamagedRecordStopsItAndLeavesTheArchive) {
    TempDir dir;
    const std::string archive = raw_archive(
        0, {{"bad", 3632, 0, 1000, 0, 0}, {"plain.bin", 3632, 1, 5, 0, 0}}, "plain");
    write_file(dir.file("game.qar"), archive);
    expect_qartool(dir.path, {"c", "game.qar"}, 2, "",
                   "ERROR: \"bad\" in qar \"game.qar\" is damaged: its stored bytes lie beyond "
                   "the end of the file\nqartool: 1 of 2 records damaged, qar not compacted\n");
    EXPECT_EQ(archive, read_file(dir.file("game.qar"))) << "a damaged archive was changed";
    EXPECT_EQ(tree(dir.path), std::vector<std::string>{"game.qar"}) << "a temporary file stayed";
}

TEST(CompactCommand, KeepsTheArchivesPermissionBits) {
    TempDir dir;
    write_file(dir.file("game.qar"), TWO_RECORDS);
    if (!set_permissions(dir.file("game.qar"), 0640))
        GTEST_SKIP() << "this system keeps no permission bits";
    expect_qartool(dir.path, {"c", "game.qar"}, 0,
                   "2 records, 3636 bytes before, 3636 bytes after\n", "");
    EXPECT_EQ(0640, permissions(dir.file("game.qar")));
}

TEST(CompactCommand, TakesNoFileNames) {
    TempDir dir;
    write_file(dir.file("game.qar"), TWO_RECORDS);
    expect_qartool(dir.path, {"c", "game.qar", "a.txt"}, 1, "",
                   "ERROR: c compacts the whole qar and takes no file names\n");
    EXPECT_EQ(TWO_RECORDS, read_file(dir.file("game.qar")));
}

}  // namespace
