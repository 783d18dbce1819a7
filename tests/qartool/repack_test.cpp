// The repack loop through the built program: s against archives laid out by the format's
// rules, -x leaving out files, folders and records, names read from @lists, and c -z
// giving the archive that add writes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "qar_bytes.h"
#include "run_qartool.h"
#include "stored_oracle.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// The names of the live records, as stored.
std::set<std::string> live_names(const std::string& archive) {
    std::set<std::string> names;
    for (const RawEntry& e : raw_entries(archive))
        if ((e.flags & 1) == 0) names.insert(e.name);
    return names;
}

void lay_out_game(const std::string& root);

// Two file times and the stamps the format stores for them (one month on).
const int64_t JUNE_15 = 1402828200, JUNE_16 = JUNE_15 + 86400;        // 10:30 UTC
const uint32_t JULY_15 = 1405420200, JULY_16 = JULY_15 + 86400;

std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Compressible contents, different for each seed.
std::string lines(uint32_t seed) {
    std::string out;
    for (int i = 0; out.size() < 3000; ++i) out += "line " + std::to_string(i % (7 + seed)) + "\n";
    return out;
}

// The archive before the sync, with key: same.txt, touched.txt, changed.txt, kept.txt and
// edited.txt, stored as they are (masked), times July 15; their contents follow.
struct SyncStart {
    uint32_t key = password_key("pw");
    std::string same = "same bytes", touched = "touched", changed = "old bytes", kept = "kept",
                edited = "edited bytes";
    std::vector<RawEntry> entries;
    std::string data;
    SyncStart() {
        int index = 0;
        const std::pair<const char*, std::string*> records[] = {
            {"same.txt", &same}, {"touched.txt", &touched}, {"changed.txt", &changed},
            {"kept.txt", &kept}, {"edited.txt", &edited}};
        for (const auto& [name, content] : records) {
            entries.push_back({name, uint32_t(3632 + data.size()), index++,
                               uint32_t(content->size()), JULY_15, 0});
            data += text_of(masked(bytes_of(*content), key));
        }
    }
    std::string archive() const { return raw_archive(key, entries, data); }
};

// One file of each kind: the same bytes, the same bytes touched a day later, new bytes for
// a record (of another size, and of the same size), a name the archive lacks, and an empty
// file (refused); kept.txt has no file.
TEST(SyncTable, EachKindOfFileGetsItsActionAndTheArchiveItsBytes) {
    TempDir dir;
    const SyncStart start;
    write_file(dir.file("g.qar"), start.archive());
    fs::create_directories(dir.file("mod"));
    const std::string changed = lines(1), added = lines(2);
    const std::pair<const char*, std::pair<std::string, int64_t>> files[] = {
        {"same.txt", {start.same, JUNE_15}},    {"touched.txt", {start.touched, JUNE_16}},
        {"changed.txt", {changed, JUNE_15}},    {"new.txt", {added, JUNE_15}},
        {"empty.txt", {"", JUNE_15}},           {"edited.txt", {"EDITED BYTES", JUNE_15}}};
    for (const auto& [name, file] : files) {
        write_file(dir.file("mod/") + name, file.first);
        set_write_time(dir.file("mod/") + name, file.second);
    }
    expect_qartool(dir.path, {"-p", "pw", "s", "g.qar", "mod"}, 2,
                   "replaced: changed.txt\nreplaced: edited.txt\nadded: new.txt\n"
                   "1 added, 2 replaced, 2 unchanged\n",
                   "\"empty.txt\": empty file, not stored\nqartool: 1 of 6 files not stored\n");

    // Walk order: changed.txt's new bytes are appended first, then edited.txt's (too short
    // to compress), then new.txt's.
    const auto [changed_stream, changed_flags] =
        expected_stored(masked(bytes_of(changed), start.key));
    const auto [added_stream, added_flags] = expected_stored(masked(bytes_of(added), start.key));
    ASSERT_NE(0u, changed_flags) << "the changed file's content does not compress";
    std::vector<RawEntry> entries = start.entries;
    const uint32_t end = uint32_t(3632 + start.data.size());
    entries[1].time = JULY_16;
    entries[2] = {"changed.txt", end, 2, uint32_t(changed_stream.size()), JULY_15, changed_flags};
    const std::string edited = text_of(masked(bytes_of("EDITED BYTES"), start.key));
    const uint32_t edited_at = end + uint32_t(changed_stream.size());
    entries[4] = {"edited.txt", edited_at, 4, 12, JULY_15, 0};
    entries.push_back({"new.txt", edited_at + 12, 5, uint32_t(added_stream.size()), JULY_15,
                       added_flags});
    const std::string expected =
        raw_archive(start.key, entries, start.data + changed_stream + edited + added_stream);
    EXPECT_TRUE(expected == read_file(dir.file("g.qar")))
        << "the synced archive is not the one the format's rules give";
}

TEST(SyncTable, ASecondSyncOfTheSameFilesWritesNothing) {
    TempDir dir;
    lay_out_game(dir.file("game"));
    expect_qartool(dir.path, {"s", "g.qar", "game"}, 0,
                   "added: a.txt\nadded: b.bin\nadded: c.dat\nadded: d.txt\n"
                   "4 added, 0 replaced, 0 unchanged\n",
                   "");
    const std::string first = read_file(dir.file("g.qar"));
    expect_qartool(dir.path, {"sync", "g.qar", "game"}, 0, "0 added, 0 replaced, 4 unchanged\n",
                   "");
    EXPECT_TRUE(first == read_file(dir.file("g.qar"))) << "an unchanged sync wrote to the archive";
}

// A sync of files that are all there makes the archive add makes, and stores nothing
// when it finds nothing (no empty archive is left).
TEST(SyncTable, ANewArchiveIsWhatAddWritesAndNoneIsLeftWhenNothingIsStored) {
    TempDir dir;
    lay_out_game(dir.file("game"));
    ASSERT_EQ(0, qartool(dir.path, {"-k", "9", "a", "added.qar", "game"}).status);
    ASSERT_EQ(0, qartool(dir.path, {"-k", "9", "s", "synced.qar", "game"}).status);
    EXPECT_TRUE(read_file(dir.file("added.qar")) == read_file(dir.file("synced.qar")))
        << "a sync into a new archive differs from an add";
    const ProcessResult r = qartool(dir.path, {"s", "none.qar", "nosuch"});
    EXPECT_EQ(2, r.status);
    EXPECT_FALSE(file_exists(dir.file("none.qar"))) << "an empty archive was left: " << r.err;
}

// mod/ holds keep.txt, junk.tmp, Sub/deep.TMP (the pattern's case does not matter) and a
// folder cache/ whose file would be stored if the folder were walked.
void lay_out_mod(const TempDir& dir) {
    fs::create_directories(dir.file("mod/Sub"));
    fs::create_directories(dir.file("mod/cache"));
    write_file(dir.file("mod/keep.txt"), "keep");
    write_file(dir.file("mod/junk.tmp"), "junk");
    write_file(dir.file("mod/Sub/deep.TMP"), "deep");
    write_file(dir.file("mod/cache/inner.txt"), "inner");
}

TEST(Excludes, AddAndSyncLeaveOutMatchingFilesAndFolders) {
    for (const char* command : {"a", "s"}) {
        SCOPED_TRACE(command);
        TempDir dir;
        lay_out_mod(dir);
        const ProcessResult r =
            qartool(dir.path, {"-x", "*.tmp", "-x", "cache", command, "g.qar", "mod"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.err);
        EXPECT_EQ(std::set<std::string>{"keep.txt"}, live_names(read_file(dir.file("g.qar"))))
            << "records stored";
    }
}

TEST(Excludes, UpdateLeavesOutMatchingFilesAndItsRecordsStay) {
    TempDir dir;
    lay_out_mod(dir);
    const std::string before =
        raw_archive(0, {{"keep.txt", 3632, 0, 3, 0, 0}, {"junk.tmp", 3635, 1, 3, 0, 0}}, "oldOLD");
    write_file(dir.file("g.qar"), before);
    const ProcessResult r = qartool(dir.path, {"-x", "*.tmp", "-x", "cache", "u", "g.qar", "mod"});
    EXPECT_EQ(0, r.status) << "a left-out file was reported: " << r.err;
    const std::string after = read_file(dir.file("g.qar"));
    const std::vector<RawEntry> e = raw_entries(after);
    ASSERT_EQ(2u, e.size());
    EXPECT_EQ("keep", after.substr(e[0].data_offset, e[0].stored_size)) << "keep.txt not updated";
    EXPECT_EQ(3635u, e[1].data_offset) << "the left-out junk.tmp was updated";
}

// a.txt, b.tmp, c.txt, each of two bytes.
const std::string THREE = raw_archive(
    0, {{"a.txt", 3632, 0, 2, 0, 0}, {"b.tmp", 3634, 1, 2, 0, 0}, {"c.txt", 3636, 2, 2, 0, 0}},
    "aabbcc");

TEST(Excludes, ExtractTestAndDeleteLeaveOutMatchingRecords) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-x", "*.TMP", "x", "g.qar"}, "a.txt\nc.txt\n"},
        {{"-x", "*.tmp", "t", "g.qar"},
         "a.txt            OK\nc.txt            OK\n2 records tested, 0 damaged\n"},
        {{"-x", "*.tmp", "d", "g.qar", "*"}, "a.txt\nc.txt\n"},
    };
    for (const auto& [args, out] : cases) {
        SCOPED_TRACE(args[2]);
        TempDir dir;
        write_file(dir.file("g.qar"), THREE);
        expect_qartool(dir.path, args, 0, out, "");
        EXPECT_FALSE(file_exists(dir.file("b.tmp"))) << "the left-out record was extracted";
        EXPECT_EQ(0u, raw_entries(read_file(dir.file("g.qar")))[1].flags)
            << "the left-out record was deleted";
    }
}

TEST(Excludes, ListLeavesOutMatchingRecords) {
    TempDir dir;
    write_file(dir.file("g.qar"), THREE);
    const ProcessResult r = qartool(dir.path, {"-x", "b*", "-x", "c*", "l", "g.qar"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find(" a.txt ")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("b.tmp")) << "a left-out record was listed";
    EXPECT_EQ(std::string::npos, r.out.find("c.txt")) << "a left-out record was listed";
    EXPECT_NE(std::string::npos, r.out.find("    1 records ")) << r.out;
}

// A pattern whose only matches are left out is one that matches nothing.
TEST(Excludes, APatternMatchingOnlyLeftOutRecordsIsReported) {
    TempDir dir;
    write_file(dir.file("g.qar"), THREE);
    expect_qartool(dir.path, {"-x", "*.tmp", "x", "g.qar", "b*", "a*"}, 2, "a.txt\n",
                   "ERROR: no record in qar \"g.qar\" matches \"b*\", nothing extracted\n"
                   "qartool: 1 of 2 records not extracted\n");
}

TEST(Excludes, OptionsGoOnlyWithTheirCommands) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-x", "*", "c", "g.qar"},
         "ERROR: -x does not go with the c command, which keeps every record\n"},
        {{"-z", "x", "g.qar"}, "ERROR: -z goes only with the c command\n"},
        {{"-x", "", "l", "g.qar"}, "ERROR: empty pattern after -x\n"},
    };
    for (const auto& [args, err] : cases) {
        TempDir dir;
        write_file(dir.file("g.qar"), THREE);
        expect_qartool(dir.path, args, 1, "", err);
        EXPECT_EQ(THREE, read_file(dir.file("g.qar"))) << "the archive was changed";
    }
}

// Written as an editor on Windows writes it: CR LF, a blank line, one of blanks.
const std::string WANTED_LIST = "c.txt\r\n\r\n   \na.txt\n";

TEST(NameLists, ANameListStandsForItsNamesInOrder) {
    TempDir dir;
    write_file(dir.file("g.qar"), THREE);
    write_file(dir.file("wanted.txt"), WANTED_LIST);
    expect_qartool(dir.path, {"t", "g.qar", "@wanted.txt"}, 0,
                   "a.txt            OK\nc.txt            OK\n2 records tested, 0 damaged\n", "");
    expect_qartool(dir.path, {"d", "g.qar", "b.tmp", "@wanted.txt"}, 0, "b.tmp\nc.txt\na.txt\n",
                   "");
}

TEST(NameLists, ExcludePatternsComeFromAListToo) {
    TempDir dir;
    lay_out_mod(dir);
    write_file(dir.file("ignore.txt"), "*.tmp\r\ncache\r\n");
    write_file(dir.file("files.txt"), "mod\n");
    expect_qartool(dir.path, {"-x", "@ignore.txt", "s", "g.qar", "@files.txt"}, 0,
                   "added: keep.txt\n1 added, 0 replaced, 0 unchanged\n", "");
    write_file(dir.file("g.qar"), THREE);
    expect_qartool(dir.path, {"-x", "@ignore.txt", "x", "g.qar"}, 0, "a.txt\nc.txt\n", "");
}

TEST(NameLists, AListThatCannotBeReadStopsTheCommandNamingIt) {
    const std::string missing = "ERROR: could not read list file \"none.txt\": " +
                                std::string(std::strerror(ENOENT)) + "\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"x", "g.qar", "a.txt", "@none.txt"},
          std::vector<std::string>{"-x", "@none.txt", "d", "g.qar", "*"}}) {
        TempDir dir;
        write_file(dir.file("g.qar"), THREE);
        expect_qartool(dir.path, args, 1, "", missing);
        EXPECT_FALSE(file_exists(dir.file("a.txt"))) << "a record was extracted";
        EXPECT_EQ(THREE, read_file(dir.file("g.qar"))) << "the archive was changed";
    }
}

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

// Update stores every file uncompressed; compaction with -z stores each as add does.
TEST(CompactCompress, AnUpdatedArchiveCompactedWithZIsWhatAddWrites) {
    for (const std::vector<std::string>& key :
         {std::vector<std::string>{}, std::vector<std::string>{"-p", "pw"}}) {
        SCOPED_TRACE(key.empty() ? "no key" : "password");
        TempDir dir;
        lay_out_game(dir.file("game"));
        auto with_key = [&key](std::vector<std::string> args) {
            args.insert(args.begin(), key.begin(), key.end());
            return args;
        };
        ASSERT_EQ(0, qartool(dir.path, with_key({"a", "added.qar", "game"})).status);
        const std::string added = read_file(dir.file("added.qar"));
        write_file(dir.file("g.qar"), added);
        ASSERT_EQ(0, qartool(dir.path, with_key({"u", "g.qar", "game"})).status);
        ASSERT_NE(added.size(), read_file(dir.file("g.qar")).size()) << "update changed nothing";
        const ProcessResult r = qartool(dir.path, with_key({"-z", "c", "g.qar"}));
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(added == read_file(dir.file("g.qar")))
            << "the compacted archive is not the one add wrote";
    }
}

// Of a, b, c, d: b deleted, then a and d updated; a, c, d keep their index order.
TEST(CompactCompress, LeavesDeletedRecordsOutAndKeepsIndexOrder) {
    TempDir dir;
    lay_out_game(dir.file("game"));
    ASSERT_EQ(0, qartool(dir.path, {"a", "g.qar", "game/a.txt", "game/b.bin", "game/c.dat",
                                    "game/d.txt"}).status);
    ASSERT_EQ(0, qartool(dir.path, {"d", "g.qar", "b.bin"}).status);
    ASSERT_EQ(0, qartool(dir.path, {"u", "g.qar", "game/d.txt", "game/a.txt"}).status);
    ASSERT_EQ(0, qartool(dir.path, {"a", "expected.qar", "game/a.txt", "game/c.dat",
                                    "game/d.txt"}).status);
    ASSERT_EQ(0, qartool(dir.path, {"-z", "c", "g.qar"}).status);
    EXPECT_TRUE(read_file(dir.file("expected.qar")) == read_file(dir.file("g.qar")))
        << "the compacted archive is not add's of the live records in index order";
}

TEST(CompactCompress, WithoutZRecordsStoredUncompressedStaySo) {
    TempDir dir;
    lay_out_game(dir.file("game"));
    ASSERT_EQ(0, qartool(dir.path, {"a", "g.qar", "game"}).status);
    ASSERT_EQ(0, qartool(dir.path, {"u", "g.qar", "game/a.txt"}).status);
    ASSERT_EQ(0, qartool(dir.path, {"c", "g.qar"}).status);
    for (const RawEntry& e : raw_entries(read_file(dir.file("g.qar")))) {
        if (e.name != "a.txt") continue;
        EXPECT_EQ(0u, e.flags) << "c compressed a record without -z";
    }
}

}  // namespace
