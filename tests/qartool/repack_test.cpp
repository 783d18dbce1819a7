// The repack loop through the built program: s against archives laid out by the format's
// rules, -x leaving out files, folders and records, names read from @lists, and c -z
// giving the archive that add writes.
#include <gtest/gtest.h>

#include <filesystem>

#include "qar_bytes.h"
#include "run_qartool.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// Text that compresses, noise that does not, and a file past 64 KiB (encoded in two parts).
void lay_out_game(const std::string& root) {
    fs::create_directories(root);
    std::string noise(5000, '\0'), big;
    uint32_t seed = 7;
    for (char& c : noise) c = char((seed = seed * 1664525u + 1013904223u) >> 24);
    for (int i = 0; big.size() < 200000; ++i) big += "row " + std::to_string(i % 977) + ";";
    write_file(root + "/a.txt", std::string(3000, 'a') + "tail");
    write_file(root + "/b.bin", noise);
    write_file(root + "/c.dat", big);
    write_file(root + "/d.txt", "short");
}

// Compressible contents, different for each seed.
std::string lines(uint32_t seed) {
    std::string out;
    for (int i = 0; out.size() < 3000; ++i) out += "line " + std::to_string(i % (7 + seed)) + "\n";
    return out;
}

// The content as add stores it with the password "pw": its stream, and its flags word.
std::pair<std::string, uint32_t> stored(const std::string& content) {
    TempDir dir;
    write_file(dir.file("f"), content);
    qartool(dir.path, {"-p", "pw", "a", "s.qar", "f"});
    const std::string bytes = read_file(dir.file("s.qar"));
    const RawEntry e = raw_entries(bytes).at(0);
    return {bytes.substr(e.data_offset, e.stored_size), e.flags};
}

// Two file times and the stamps the format stores for them (one month on).
const int64_t JUNE_15 = 1402828200, JUNE_16 = JUNE_15 + 86400;  // 10:30 UTC
const uint32_t JULY_15 = 1405420200, JULY_16 = JULY_15 + 86400;

// The archive holds five short records (stored as they are), times July 15. Beside them,
// one file of each kind: the same bytes, the same bytes touched a day later, new bytes
// (of another size, and of the same size), a name the archive lacks, and an empty file
// (refused); kept.txt has no file.
TEST(SyncTable, EachKindOfFileGetsItsActionAndTheArchiveItsBytes) {
    TempDir dir;
    const char* names[] = {"same.txt", "touched.txt", "changed.txt", "kept.txt", "edited.txt"};
    const char* contents[] = {"same bytes", "touched", "old bytes", "kept", "edited bytes"};
    std::vector<RawEntry> entries;
    std::string data;
    for (int i = 0; i < 5; ++i) {
        const std::string s = stored(contents[i]).first;
        entries.push_back({names[i], uint32_t(3632 + data.size()), i, uint32_t(s.size()), JULY_15, 0});
        data += s;
    }
    const uint32_t key = password_key("pw");
    write_file(dir.file("g.qar"), raw_archive(key, entries, data));
    fs::create_directories(dir.file("mod"));
    const std::string changed = lines(1), added = lines(2);
    const std::pair<const char*, std::pair<std::string, int64_t>> files[] = {
        {"same.txt", {"same bytes", JUNE_15}}, {"touched.txt", {"touched", JUNE_16}},
        {"changed.txt", {changed, JUNE_15}},   {"new.txt", {added, JUNE_15}},
        {"empty.txt", {"", JUNE_15}},          {"edited.txt", {"EDITED BYTES", JUNE_15}}};
    for (const auto& [name, file] : files) {
        write_file(dir.file("mod/") + name, file.first);
        set_write_time(dir.file("mod/") + name, file.second);
    }
    expect_qartool(dir.path, {"-p", "pw", "s", "g.qar", "mod"}, 2,
                   "replaced: changed.txt\nreplaced: edited.txt\nadded: new.txt\n"
                   "1 added, 2 replaced, 2 unchanged\n",
                   "\"empty.txt\": empty file, not stored\nqartool: 1 of 6 files not stored\n");
    // Walk order: changed.txt's new bytes are appended first, then edited.txt's, then new.txt's.
    const auto [changed_stream, changed_flags] = stored(changed);
    const auto [added_stream, added_flags] = stored(added);
    const std::string edited = stored("EDITED BYTES").first;
    ASSERT_NE(0u, changed_flags) << "the changed file's content does not compress";
    const uint32_t end = uint32_t(3632 + data.size()), size = uint32_t(changed_stream.size());
    entries[1].time = JULY_16;
    entries[2] = {"changed.txt", end, 2, size, JULY_15, changed_flags};
    entries[4] = {"edited.txt", end + size, 4, 12, JULY_15, 0};
    entries.push_back({"new.txt", end + size + 12, 5, uint32_t(added_stream.size()), JULY_15,
                       added_flags});
    EXPECT_TRUE(raw_archive(key, entries, data + changed_stream + edited + added_stream) ==
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

// One command on the scene below, what it must print, and the live records of one
// archive afterwards as name=bytes (all are short, so stored as they are).
struct RepackCase {
    std::vector<std::string> args;
    int status;
    std::string out, err, qar, records;
};

// mod/ holds keep.txt, junk.tmp, Sub/deep.TMP (the pattern's case does not matter) and a
// folder cache/ whose file would be stored if the folder were walked. g.qar holds a.txt,
// b.tmp, c.txt, keep.txt and junk.tmp. Name lists are written as an editor on Windows
// writes them: CR LF, a blank line, one of blanks.
void expect_repack_cases(const std::vector<RepackCase>& cases) {
    for (const RepackCase& c : cases) {
        SCOPED_TRACE(shown(c.args));
        TempDir dir;
        fs::create_directories(dir.file("mod/Sub"));
        fs::create_directories(dir.file("mod/cache"));
        write_file(dir.file("mod/keep.txt"), "keep");
        write_file(dir.file("mod/junk.tmp"), "junk");
        write_file(dir.file("mod/Sub/deep.TMP"), "deep");
        write_file(dir.file("mod/cache/inner.txt"), "inner");
        write_file(dir.file("ignore.txt"), "*.tmp\r\ncache\r\n");
        write_file(dir.file("files.txt"), "mod\n");
        write_file(dir.file("wanted.txt"), "c.txt\r\n\r\n   \na.txt\n");
        write_file(dir.file("g.qar"), raw_archive(0, {{"a.txt", 3632, 0, 2, 1408098600u, 0},
            {"b.tmp", 3634, 1, 2, 1408098600u, 0}, {"c.txt", 3636, 2, 2, 1408098600u, 0},
            {"keep.txt", 3638, 3, 2, 1408098600u, 0}, {"junk.tmp", 3640, 4, 2, 1408098600u, 0}},
            "aabbcckkjj"));
        expect_qartool(dir.path, c.args, c.status, c.out, c.err);
        const std::string archive = read_file(dir.file(c.qar));
        std::string records;
        for (const RawEntry& e : raw_entries(archive))
            if ((e.flags & 1) == 0)
                records += e.name + "=" + archive.substr(e.data_offset, e.stored_size) + " ";
        EXPECT_EQ(c.records, records) << "the live records of " << c.qar;
        EXPECT_FALSE(file_exists(dir.file("b.tmp")) || file_exists(dir.file("junk.tmp")))
            << "a left-out record was extracted";
    }
}

const std::string ALL = "a.txt=aa b.tmp=bb c.txt=cc keep.txt=kk junk.tmp=jj ";
const std::string RULE =
    "----- ---------------- --------- --------- ---------- -------- -----------\n";
const std::string ONLY_A_LISTED =
    "Num   Name             Size      Compr.    Date       Time     Compression\n" + RULE +
    "    0            a.txt         2         2 2014-07-15 10:30:00 None \n" + RULE +
    "    1 records                  2         2\n";
const std::string AC_TESTED = test_line("a.txt", "OK") + test_line("c.txt", "OK");

TEST(Excludes, EveryCommandLeavesOutTheFilesFoldersAndRecordsThatMatch) {
    expect_repack_cases({
        {{"-x", "*.tmp", "-x", "cache", "a", "n.qar", "mod"}, 0,
         "dir: mod\nfile: keep.txt\ndir: Sub\n", "", "n.qar", "keep.txt=keep "},
        {{"-x", "*.tmp", "-x", "cache", "s", "n.qar", "mod"}, 0,
         "added: keep.txt\n1 added, 0 replaced, 0 unchanged\n", "", "n.qar", "keep.txt=keep "},
        {{"-x", "*.tmp", "-x", "cache", "u", "g.qar", "mod"}, 0,
         "dir: mod\nfile: keep.txt\ndir: Sub\n", "", "g.qar",
         "a.txt=aa b.tmp=bb c.txt=cc keep.txt=keep junk.tmp=jj "},
        {{"-x", "*.TMP", "x", "g.qar"}, 0, "a.txt\nc.txt\nkeep.txt\n", "", "g.qar", ALL},
        {{"-x", "*.tmp", "t", "g.qar", "*.txt"}, 0, AC_TESTED + test_line("keep.txt", "OK") +
         "3 records tested, 0 damaged\n", "", "g.qar", ALL},
        {{"-x", "*.tmp", "d", "g.qar", "*"}, 0, "a.txt\nc.txt\nkeep.txt\n", "", "g.qar",
         "b.tmp=bb junk.tmp=jj "},
        {{"-x", "b*", "-x", "[jk]*", "-x", "c*", "l", "g.qar"}, 0, ONLY_A_LISTED, "", "g.qar", ALL},
        {{"-x", "*.tmp", "x", "g.qar", "b*", "a*"}, 2, "a.txt\n",
         "ERROR: no record in qar \"g.qar\" matches \"b*\", nothing extracted\n"
         "qartool: 1 of 2 records not extracted\n", "g.qar", ALL},
    });
}

TEST(NameLists, ANameListStandsForItsNamesInOrderWithEveryCommand) {
    expect_repack_cases({
        {{"-x", "@ignore.txt", "s", "n.qar", "@files.txt"}, 0,
         "added: keep.txt\n1 added, 0 replaced, 0 unchanged\n", "", "n.qar", "keep.txt=keep "},
        {{"-x", "@ignore.txt", "x", "g.qar"}, 0, "a.txt\nc.txt\nkeep.txt\n", "", "g.qar", ALL},
        {{"t", "g.qar", "@wanted.txt"}, 0, AC_TESTED + "2 records tested, 0 damaged\n", "",
         "g.qar", ALL},
        {{"d", "g.qar", "b.tmp", "@wanted.txt"}, 0, "b.tmp\nc.txt\na.txt\n", "", "g.qar",
         "keep.txt=kk junk.tmp=jj "},
    });
}

// Update stores every file uncompressed; compaction with -z stores each as add does.
TEST(CompactCompress, AnUpdatedArchiveCompactedWithZIsWhatAddWrites) {
    for (const std::vector<std::string>& key : {std::vector<std::string>{}, {"-p", "pw"}}) {
        SCOPED_TRACE(key.empty() ? "no key" : "password");
        TempDir dir;
        lay_out_game(dir.file("game"));
        auto run = [&](std::vector<std::string> args) {
            args.insert(args.begin(), key.begin(), key.end());
            return qartool(dir.path, args).status;
        };
        ASSERT_EQ(0, run({"a", "added.qar", "game"}));
        const std::string added = read_file(dir.file("added.qar"));
        write_file(dir.file("g.qar"), added);
        ASSERT_EQ(0, run({"u", "g.qar", "game"}));
        ASSERT_NE(added.size(), read_file(dir.file("g.qar")).size()) << "update changed nothing";
        EXPECT_EQ(0, run({"-z", "c", "g.qar"}));
        EXPECT_TRUE(added == read_file(dir.file("g.qar")))
            << "the compacted archive is not the one add wrote";
    }
}

// Of a, b, c, d: b deleted, then a and d updated; a, c, d keep their index order.
TEST(CompactCompress, LeavesDeletedRecordsOutAndKeepsIndexOrder) {
    TempDir dir;
    lay_out_game(dir.file("game"));
    const std::vector<std::string> runs[] = {
        {"a", "g.qar", "game/a.txt", "game/b.bin", "game/c.dat", "game/d.txt"},
        {"d", "g.qar", "b.bin"},
        {"u", "g.qar", "game/d.txt", "game/a.txt"},
        {"a", "expected.qar", "game/a.txt", "game/c.dat", "game/d.txt"},
        {"-z", "c", "g.qar"}};
    for (const auto& args : runs) ASSERT_EQ(0, qartool(dir.path, args).status) << shown(args);
    EXPECT_TRUE(read_file(dir.file("expected.qar")) == read_file(dir.file("g.qar")))
        << "the compacted archive is not add's of the live records in index order";
}

TEST(CompactCompress, WithoutZRecordsStoredUncompressedStaySo) {
    TempDir dir;
    lay_out_game(dir.file("game"));
    ASSERT_EQ(0, qartool(dir.path, {"a", "g.qar", "game"}).status);
    ASSERT_EQ(0, qartool(dir.path, {"u", "g.qar", "game/a.txt"}).status);
    ASSERT_EQ(0, qartool(dir.path, {"c", "g.qar"}).status);
    for (const RawEntry& e : raw_entries(read_file(dir.file("g.qar"))))
        EXPECT_TRUE(e.name != "a.txt" || e.flags == 0) << "c compressed a record without -z";
}

}  // namespace
