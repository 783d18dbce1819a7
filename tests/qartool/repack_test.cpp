// Sync, -x, @lists and c -z through the built program.
#include <gtest/gtest.h>

#include "run_qartool.h"

namespace {

// Text that compresses, noise that does not, and a file past 64 KiB (encoded in two parts).
void lay_out_game(const std::string& root) {
    write_files(root, {{"a.txt", sample(3004, 1, true)}, {"b.bin", sample(5000, 7, false)},
                       {"c.dat", sample(200000, 3, true)}, {"d.txt", "short"}}, 1400000000);
}

// Two file times and the stamps the format stores for them (one month on).
const int64_t JUNE_15 = 1402828200, JUNE_16 = JUNE_15 + 86400;  // 10:30 UTC
const uint32_t JULY_15 = 1405420200, JULY_16 = JULY_15 + 86400;

// The archive holds five short records (stored as they are), times July 15. Beside them,
// one file of each kind: the same bytes, the same bytes touched a day later, new bytes
// (of another size, which compress, and of the same size), a name the archive lacks, and
// an empty file (refused); kept.txt has no file.
TEST(SyncTable, EachKindOfFileGetsItsActionAndTheArchiveItsBytes) {
    TempDir dir;
    std::vector<RawEntry> entries = {{"same.txt", 3632, 0, 10, JULY_15, 0},
                                     {"touched.txt", 3642, 1, 7, JULY_15, 0},
                                     {"changed.txt", 3649, 2, 9, JULY_15, 0},
                                     {"kept.txt", 3658, 3, 4, JULY_15, 0},
                                     {"edited.txt", 3662, 4, 12, JULY_15, 0}};
    const std::string data = "same bytestouchedold byteskeptedited bytes";
    write_file(dir.file("g.qar"), raw_archive(0, entries, data));
    const std::string changed(3000, 'c');
    write_files(dir.file("mod"), {{"same.txt", "same bytes"}, {"changed.txt", changed},
                                  {"new.txt", "new"}, {"empty.txt", ""},
                                  {"edited.txt", "EDITED BYTES"}}, JUNE_15);
    write_files(dir.file("mod"), {{"touched.txt", "touched"}}, JUNE_16);
    expect_qartool(dir.path, {"s", "g.qar", "mod"}, 2,
                   "replaced: changed.txt\nreplaced: edited.txt\nadded: new.txt\n"
                   "1 added, 2 replaced, 2 unchanged\n",
                   "\"empty.txt\": empty file, not stored\nqartool: 1 of 6 files not stored\n");
    // Walk order: changed.txt's new bytes are appended first, then edited.txt's, then new.txt's.
    const auto [changed_entry, changed_stream] = stored_by_add(changed);
    ASSERT_NE(0u, changed_entry.flags) << "the changed file's content does not compress";
    const uint32_t end = uint32_t(3632 + data.size()), size = changed_entry.stored_size;
    entries[1].time = JULY_16;
    entries[2] = {"changed.txt", end, 2, size, JULY_15, changed_entry.flags};
    entries[4] = {"edited.txt", end + size, 4, 12, JULY_15, 0};
    entries.push_back({"new.txt", end + size + 12, 5, 3, JULY_15, 0});
    EXPECT_TRUE(raw_archive(0, entries, data + changed_stream + "EDITED BYTESnew") ==
                read_file(dir.file("g.qar")))
        << "the synced archive is not the one the format's rules give";
}

TEST(SyncTable, ASecondSyncOfTheSameFilesWritesNothing) {
    TempDir dir;
    lay_out_game(dir.file("game"));
    expect_qartool(dir.path, {"s", "g.qar", "game"}, 0,
                   "added: a.txt\nadded: b.bin\nadded: c.dat\nadded: d.txt\n"
                   "4 added, 0 replaced, 0 unchanged\n", "");
    const std::string first = read_file(dir.file("g.qar"));
    expect_qartool(dir.path, {"sync", "g.qar", "game"}, 0, "0 added, 0 replaced, 4 unchanged\n", "");
    EXPECT_TRUE(first == read_file(dir.file("g.qar"))) << "an unchanged sync wrote to the archive";
}

TEST(SyncTable, ANewArchiveIsWhatAddWrites) {
    TempDir dir;
    lay_out_game(dir.file("game"));
    ASSERT_EQ(0, qartool(dir.path, {"-k", "9", "a", "added.qar", "game"}).status);
    ASSERT_EQ(0, qartool(dir.path, {"-k", "9", "s", "synced.qar", "game"}).status);
    EXPECT_TRUE(read_file(dir.file("added.qar")) == read_file(dir.file("synced.qar")))
        << "a sync into a new archive differs from an add";
}

// mod/ holds keep.txt, junk.tmp, Sub/deep.TMP (the pattern's case does not matter) and a
// folder cache/ whose file would be stored if the folder were walked. g.qar holds a.txt,
// b.tmp, c.txt, keep.txt and junk.tmp. Name lists are written as an editor on Windows
// writes them: CR LF, a blank line, one of blanks. Each command of the golden file names,
// after its status, an archive and its live records afterwards as name=bytes (all are
// short, so stored as they are).
void expect_repack_cases(const std::string& golden) {
    for (const GoldenCase& c : golden_cases(golden)) {
        SCOPED_TRACE(shown(c.args));
        TempDir dir;
        write_files(dir.file("mod"), {{"keep.txt", "keep"}, {"junk.tmp", "junk"},
                                      {"Sub/deep.TMP", "deep"}, {"cache/inner.txt", "inner"}},
                    1400000000);
        write_file(dir.file("ignore.txt"), "*.tmp\r\ncache\r\n");
        write_file(dir.file("files.txt"), "mod\n");
        write_file(dir.file("wanted.txt"), "c.txt\r\n\r\n   \na.txt\n");
        write_file(dir.file("g.qar"), raw_archive(0, {{"a.txt", 3632, 0, 2, 1408098600u, 0},
            {"b.tmp", 3634, 1, 2, 1408098600u, 0}, {"c.txt", 3636, 2, 2, 1408098600u, 0},
            {"keep.txt", 3638, 3, 2, 1408098600u, 0}, {"junk.tmp", 3640, 4, 2, 1408098600u, 0}},
            "aabbcckkjj"));
        expect_qartool(dir.path, c.args, c.status, c.out, c.err);
        const std::string qar = c.then.substr(0, c.then.find(' '));
        const std::string archive = read_file(dir.file(qar));
        std::string records;
        for (const RawEntry& e : raw_entries(archive))
            if ((e.flags & 1) == 0)
                records += " " + e.name + "=" + archive.substr(e.data_offset, e.stored_size);
        EXPECT_EQ(c.then.substr(qar.size()), records) << "the live records of " << qar;
        EXPECT_FALSE(file_exists(dir.file("b.tmp")) || file_exists(dir.file("junk.tmp")))
            << "a left-out record was extracted";
    }
}

TEST(Excludes, EveryCommandLeavesOutTheFilesFoldersAndRecordsThatMatch) {
    expect_repack_cases("excludes.txt");
}

TEST(NameLists, ANameListStandsForItsNamesInOrderWithEveryCommand) {
    expect_repack_cases("name_lists.txt");
}

// Update stores every file uncompressed; compaction with -z stores each as add does.
TEST(CompactCompress, AnUpdatedArchiveCompactedWithZIsWhatAddWrites) {
    TempDir dir;
    lay_out_game(dir.file("game"));
    ASSERT_EQ(0, qartool(dir.path, {"-p", "pw", "a", "added.qar", "game"}).status);
    const std::string added = read_file(dir.file("added.qar"));
    write_file(dir.file("g.qar"), added);
    ASSERT_EQ(0, qartool(dir.path, {"-p", "pw", "u", "g.qar", "game"}).status);
    ASSERT_NE(added.size(), read_file(dir.file("g.qar")).size()) << "update changed nothing";
    EXPECT_EQ(0, qartool(dir.path, {"-p", "pw", "-z", "c", "g.qar"}).status);
    EXPECT_TRUE(added == read_file(dir.file("g.qar")))
        << "the compacted archive is not the one add wrote";
}

}  // namespace
