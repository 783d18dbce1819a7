// t and c, which look after an archive as a whole, through the built program.
#include <gtest/gtest.h>

#include "run_qartool.h"

namespace {

const std::string TEXT = std::string(3000, 'a') + "tail";  // compresses well

// Beside a sound record "plain.bin" (5 bytes at 3632), a record "bad" damaged one way.
TEST(TestCommand, EachKindOfDamageIsNamedWithItsReasonAndEndsTwo) {
    const auto [s, stream] = stored_by_add(TEXT);
    const uint32_t one = 1u << 8;
    const std::string codec = "during compression library operation: output ";
    const std::pair<RawEntry, std::string> cases[] = {
        {{"bad", 3632, 0, 1000, 0, 0}, "its stored bytes lie beyond the end of the file"},
        {{"bad", 20, 0, 4, 0, 0}, "its stored bytes overlap the header or directory table 0"},
        {{"bad", 3637, 0, s.stored_size, 0, s.flags + one},
         "its stream does not decode to its 3005 bytes (Error -12 " + codec + "not consumed)"},
        {{"bad", 3637, 0, s.stored_size, 0, s.flags - one},
         "its stream does not decode to its 3003 bytes (Error -5 " + codec + "overrun)"},
    };
    for (const auto& [bad, reason] : cases) {
        TempDir dir;
        const std::string archive =
            raw_archive(0, {bad, {"plain.bin", 3632, 1, 5, 0, 0}}, "plain" + stream);
        write_file(dir.file("game.qar"), archive);
        expect_qartool(dir.path, {"t", "game.qar"}, 2, test_line("bad", "damaged") +
                       test_line("plain.bin", "OK") + "2 records tested, 1 damaged\n",
                       "ERROR: \"bad\" in qar \"game.qar\" is damaged: " + reason +
                           "\nqartool: 1 of 2 records damaged\n");
        EXPECT_EQ(archive, read_file(dir.file("game.qar"))) << "the test wrote to the archive";
    }
}

// z.txt (compressed) kept, b.bin deleted, c.txt updated (stored uncompressed, its old data
// left behind): the records keep their index order, which is not their name order, and
// their stored bytes.
TEST(CompactCommand, KeepsOnlyTheLiveRecordsStoredBytesInIndexOrder) {
    TempDir dir;
    write_files(dir.path, {{"z.txt", TEXT}, {"b.bin", "bbbb"}, {"c.txt", "cc"}}, 1400000000);
    qartool(dir.path, {"-k", "77", "a", "game.qar", "z.txt", "b.bin", "c.txt"});
    write_file(dir.file("c.txt"), TEXT);
    qartool(dir.path, {"-k", "77", "d", "game.qar", "b.bin"});
    qartool(dir.path, {"-k", "77", "u", "game.qar", "c.txt"});
    const std::string old = read_file(dir.file("game.qar"));
    const std::vector<RawEntry> e = raw_entries(old);
    ASSERT_EQ(3u, e.size());
    ASSERT_EQ(1u, e[1].flags) << "b.bin was not deleted";
    ASSERT_EQ(0u, e[2].flags) << "update compressed c.txt";
    const std::string z = old.substr(e[0].data_offset, e[0].stored_size);
    const uint32_t z_size = uint32_t(z.size());
    const std::string expected =
        raw_header(2, 77) + raw_table(0, {{"z.txt", 3632, 0, z_size, e[0].time, e[0].flags},
                                          {"c.txt", 3632 + z_size, 1, 3004, e[2].time,
                                           e[2].flags}}) +
        z + old.substr(e[2].data_offset, e[2].stored_size);
    expect_qartool(dir.path, {"-k", "77", "c", "game.qar"}, 0,
                   "2 records, " + std::to_string(old.size()) + " bytes before, " +
                       std::to_string(expected.size()) + " bytes after\n", "");
    EXPECT_TRUE(expected == read_file(dir.file("game.qar")))
        << "the compacted archive is not the appended live records";
    EXPECT_EQ("b.bin\nc.txt\ngame.qar\nz.txt\n", list_directory(dir.path))
        << "a temporary file stayed";
}

}  // namespace
