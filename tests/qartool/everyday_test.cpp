// Everyday habits and slips, through the built program: two files of one record name, the
// order of the walk, an add that stores nothing, commands as words and attached option
// values, keeping existing files on extract, dates past 2038, and a large file's stored
// bytes against what the format says they are.
#include <gtest/gtest.h>

#include <filesystem>

#include "qar_bytes.h"
#include "run_qartool.h"
#include "stored_oracle.h"
#include "test_support.h"

namespace {

const std::string OLD_HERO = raw_archive(0, {{"hero.dds", 3632, 0, 3, 0, 0}}, "old");

// models/hero.dds and textures/Hero.dds below t: one record name, two files.
void lay_out_two_heroes(const TempDir& dir) {
    std::filesystem::create_directories(dir.file("t/models"));
    std::filesystem::create_directories(dir.file("t/textures"));
    write_file(dir.file("t/models/hero.dds"), "model");
    write_file(dir.file("t/textures/Hero.dds"), "texture");
}

// The walk meets models first; the second file is named with both paths and the record.
TEST(SameRecordName, ASecondFileOfOneRecordNameIsRefusedByAddAndUpdate) {
    for (const char* command : {"a", "u"}) {
        SCOPED_TRACE(command);
        TempDir dir;
        lay_out_two_heroes(dir);
        write_file(dir.file("g.qar"), OLD_HERO);
        const std::string archive = command[0] == 'a' ? "new.qar" : "g.qar";
        expect_qartool(dir.path, {command, archive, "t"}, 2,
                       "dir: t\ndir: models\nfile: hero.dds\ndir: textures\nfile: Hero.dds\n",
                       "\"t/textures/Hero.dds\": same record name \"hero.dds\" as "
                       "\"t/models/hero.dds\", not stored\nqartool: 1 of 2 files not stored\n");
        const std::string bytes = read_file(dir.file(archive));
        const std::vector<RawEntry> entries = raw_entries(bytes);
        ASSERT_EQ(1u, entries.size()) << "records of the name";
        if (command[0] == 'u') {
            EXPECT_EQ("model", bytes.substr(entries[0].data_offset, entries[0].stored_size))
                << "the record does not hold the first file walked";
        }
    }
}

// Each file's time is set, so that only the order of the walk can tell the trees apart.
void make_tree(const std::string& root, bool backwards) {
    std::vector<std::string> files = {"_u.txt", "a.txt", "B.txt", "c.txt", "sub/0.txt"};
    if (backwards) std::reverse(files.begin(), files.end());
    std::filesystem::create_directories(root + "/sub");
    for (const std::string& name : files) {
        write_file(root + "/" + name, "file " + name);
        set_write_time(root + "/" + name, 1400000000);
    }
}

// Letters are compared as lower case, so '_' comes before them; a folder is walked at
// its place among the files.
TEST(WalkOrder, TwoTreesMadeInDifferentOrdersGiveIdenticalArchivesInNameOrder) {
    TempDir dir;
    make_tree(dir.file("one"), false);
    make_tree(dir.file("two"), true);
    expect_qartool(dir.path, {"a", "one.qar", "one"}, 0,
                   "dir: one\nfile: _u.txt\nfile: a.txt\nfile: B.txt\nfile: c.txt\ndir: sub\n"
                   "file: 0.txt\n", "");
    expect_qartool(dir.path, {"a", "two.qar", "two/*"}, 0,
                   "file: _u.txt\nfile: a.txt\nfile: B.txt\nfile: c.txt\ndir: sub\n"
                   "file: 0.txt\n", "");
    EXPECT_TRUE(read_file(dir.file("one.qar")) == read_file(dir.file("two.qar")))
        << "the same files gave different archives";
}

TEST(NothingStored, AnAddThatStoresNothingLeavesNoNewArchive) {
    TempDir dir;
    expect_qartool(dir.path, {"a", "game.qar", "mdo"}, 2, "",
                   "\"mdo\": no such file or directory, nothing stored\n"
                   "qartool: nothing stored, qar \"game.qar\" not created\n"
                   "qartool: 1 of 1 files not stored\n");
    EXPECT_EQ("", list_directory(dir.path)) << "a new archive was left behind";
}

TEST(NothingStored, AnExistingEmptyArchiveStays) {
    TempDir dir;
    const std::string empty = raw_archive(7, {}, "");
    write_file(dir.file("game.qar"), empty);
    expect_qartool(dir.path, {"-k", "7", "a", "game.qar", "mdo"}, 2, "",
                   "\"mdo\": no such file or directory, nothing stored\n"
                   "qartool: 1 of 1 files not stored\n");
    EXPECT_EQ(empty, read_file(dir.file("game.qar")));
}

// Each word does what its letter does, one after the other on one archive.
TEST(CommandWords, EachCommandWordRunsItsCommand) {
    TempDir dir;
    write_file(dir.file("a.txt"), "alpha");
    write_file(dir.file("b.txt"), "bravo");
    const std::string rule =
        "----- ---------------- --------- --------- ---------- -------- -----------\n";
    const std::pair<std::vector<std::string>, std::string> steps[] = {
        {{"add", "g.qar", "a.txt", "b.txt"}, "file: a.txt\nfile: b.txt\n"},
        {{"Update", "g.qar", "a.txt"}, "file: a.txt\n"},
        {{"DELETE", "g.qar", "b.txt"}, "b.txt\n"},
        {{"compact", "g.qar"}, "1 records, 3647 bytes before, 3637 bytes after\n"},
        {{"test", "g.qar"}, "a.txt            OK\n1 records tested, 0 damaged\n"},
        {{"-o", "out", "extract", "g.qar"}, "a.txt\n"},
    };
    for (const auto& [args, out] : steps) expect_qartool(dir.path, args, 0, out, "");
    EXPECT_EQ("alpha", read_file(dir.file("out/a.txt")));
    const ProcessResult list = qartool(dir.path, {"list", "g.qar"});
    EXPECT_EQ(0, list.status) << list.err;
    EXPECT_NE(std::string::npos, list.out.find(rule + "    1 records")) << list.out;
}

// The key each way of giving it stores in a new archive's header.
TEST(AttachedValues, AnAttachedValueMeansWhatTheNextArgumentWould) {
    TempDir dir;
    write_file(dir.file("f"), "abc");
    const std::pair<std::vector<std::string>, uint32_t> keys[] = {
        {{"-ppassword"}, password_key("password")},
        {{"/Pswordfish"}, password_key("swordfish")},
        {{"-k123"}, 123},
        {{"-key", "5"}, 5},  // spelled out, the option takes the next argument
        {{"-password", "pw"}, password_key("pw")},
    };
    int n = 0;
    for (const auto& [options, key] : keys) {
        const std::string qar = std::to_string(n++) + ".qar";
        std::vector<std::string> args = options;
        args.insert(args.end(), {"a", qar, "f"});
        expect_qartool(dir.path, args, 0, "file: f\n", "");
        EXPECT_EQ(raw_header(1, key), read_file(dir.file(qar)).substr(0, 28)) << options[0];
    }
    expect_qartool(dir.path, {"-k123", "-oout", "x", "2.qar"}, 0, "f\n", "");
    EXPECT_EQ("abc", read_file(dir.file("out/f"))) << "-oout did not extract into out";
}

// b.txt is twice in the archive: the second would replace the first one's file. Records
// of one name are taken in index order on every system, whatever their slots.
TEST(KeepExisting, ExtractWithNNeverReplacesAFileAndNamesEachOneKept) {
    TempDir dir;
    write_file(dir.file("g.qar"), raw_archive(0, {{"a.txt", 3632, 0, 3, 0, 0},
                                                  {"b.txt", 3638, 2, 3, 0, 0},
                                                  {"b.txt", 3635, 1, 3, 0, 0}},
                                              "AAAB1_B2_"));
    write_file(dir.file("a.txt"), "mine");
    expect_qartool(dir.path, {"-n", "x", "g.qar"}, 0,
                   "\"a.txt\": kept, a file of that name exists\nb.txt\n"
                   "\"b.txt\": kept, a file of that name exists\n", "");
    EXPECT_EQ("mine", read_file(dir.file("a.txt"))) << "an existing file was replaced";
    EXPECT_EQ("B1_", read_file(dir.file("b.txt"))) << "the file extracted first was replaced";
    expect_qartool(dir.path, {"x", "g.qar", "a.txt"}, 0, "a.txt\n", "");
    EXPECT_EQ("AAA", read_file(dir.file("a.txt"))) << "without -n the file is replaced";
}

// 2040-06-15 12:00 UTC is stored as the seconds of 2040-07-15 12:00, past 2^31.
TEST(LateDates, ATimeIn2040ComesBackThroughListAndExtract) {
    TempDir dir, out;
    write_file(dir.file("late.txt"), "from the future");
    set_write_time(dir.file("late.txt"), 2223374400);
    expect_qartool(dir.path, {"a", "g.qar", "late.txt"}, 0, "file: late.txt\n", "");
    const std::vector<RawEntry> entries = raw_entries(read_file(dir.file("g.qar")));
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(2225966400u, entries[0].time) << "the stored time field";
    const ProcessResult list = qartool(dir.path, {"l", "g.qar"});
    EXPECT_NE(std::string::npos, list.out.find(" 2040-06-15 12:00:00 None \n")) << list.out;
    expect_qartool(out.path, {"x", dir.file("g.qar")}, 0, "late.txt\n", "");
    EXPECT_EQ(2223374400, write_time(out.file("late.txt"))) << "the extracted file's time";
}

// Files of 64 KiB and more are compressed in two parts, one per method, on two threads:
// their stored bytes must still be the shorter stream of the masked bytes.
TEST(LargeFiles, AddStoresTheFormatsStreamOfALargeFile) {
    TempDir dir;
    const uint32_t key = 0x5A17C3E9;
    const std::pair<const char*, Bytes> files[] = {{"far.bin", make_bytes(FAR, 200000, 1)},
                                                   {"steps.bin", make_bytes(STEPS, 65536, 2)}};
    for (const auto& [name, bytes] : files)
        write_file(dir.file(name), std::string(bytes.begin(), bytes.end()));
    for (const char* workers : {"0", "2"}) {
        SCOPED_TRACE(std::string("-j ") + workers);
        const std::string qar = dir.file(std::string("g") + workers + ".qar");
        expect_qartool(dir.path, {"-j", workers, "-k", std::to_string(key), "a", qar, "far.bin",
                                  "steps.bin"},
                       0, "file: far.bin\nfile: steps.bin\n", "");
        const std::string archive = read_file(qar);
        const std::vector<RawEntry> entries = raw_entries(archive);
        ASSERT_EQ(2u, entries.size());
        int seen = 0;
        for (size_t i = 0; i < 2; ++i) {
            const auto [stored, flags] = expected_stored(masked(files[i].second, key), &seen);
            EXPECT_EQ(flags, entries[i].flags) << files[i].first << ": method or size";
            EXPECT_TRUE(stored == archive.substr(entries[i].data_offset, entries[i].stored_size))
                << files[i].first << ": the stored bytes are not the format's stream";
        }
        EXPECT_EQ(5, seen) << "one file must be stored with each method";
    }
}

}  // namespace
