// Everyday habits and slips, through the built program.
#include <gtest/gtest.h>

#include <algorithm>

#include "run_qartool.h"

namespace {

// models/hero.dds and textures/Hero.dds below t: one record name, two files. The walk
// meets models first; the second file is named with both paths and the record.
TEST(SameRecordName, ASecondFileOfOneRecordNameIsRefusedByAddAndUpdate) {
    for (const char* command : {"a", "u"}) {
        SCOPED_TRACE(command);
        TempDir dir;
        write_files(dir.file("t"), {{"models/hero.dds", "model"}, {"textures/Hero.dds", "texture"}},
                    1400000000);
        write_file(dir.file("g.qar"), raw_archive(0, {{"hero.dds", 3632, 0, 3, 0, 0}}, "old"));
        const std::string archive = command[0] == 'a' ? "new.qar" : "g.qar";
        expect_qartool(dir.path, {command, archive, "t"}, 2,
                       "dir: t\ndir: models\nfile: hero.dds\ndir: textures\nfile: Hero.dds\n",
                       "\"t/textures/Hero.dds\": same record name \"hero.dds\" as "
                       "\"t/models/hero.dds\", not stored\nqartool: 1 of 2 files not stored\n");
        const std::string bytes = read_file(dir.file(archive));
        const std::vector<RawEntry> entries = raw_entries(bytes);
        ASSERT_EQ(1u, entries.size()) << "records of the name";
        EXPECT_EQ("model", bytes.substr(entries[0].data_offset, entries[0].stored_size))
            << "the record does not hold the first file walked";
    }
}

// Each file's time is set, so that only the order of the walk can tell the trees apart.
void make_tree(const std::string& root, bool backwards) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const char* name : {"_u.txt", "a.txt", "B.txt", "c.txt", "sub/0.txt"})
        files.push_back({name, std::string("file ") + name});
    if (backwards) std::reverse(files.begin(), files.end());
    write_files(root, files, 1400000000);
}

// Letters are compared as lower case, so '_' comes before them; a folder is walked at
// its place among the files.
TEST(WalkOrder, TwoTreesMadeInDifferentOrdersGiveIdenticalArchivesInNameOrder) {
    TempDir dir;
    make_tree(dir.file("one"), false);
    make_tree(dir.file("two"), true);
    const std::string walked = "file: _u.txt\nfile: a.txt\nfile: B.txt\nfile: c.txt\ndir: sub\n"
                               "file: 0.txt\n";
    expect_qartool(dir.path, {"a", "one.qar", "one"}, 0, "dir: one\n" + walked, "");
    expect_qartool(dir.path, {"a", "two.qar", "two/*"}, 0, walked, "");
    EXPECT_TRUE(read_file(dir.file("one.qar")) == read_file(dir.file("two.qar")))
        << "the same files gave different archives";
}

// The key each way of giving it stores in a new archive's header; -k takes a decimal
// number of 32 bits.
TEST(AttachedValues, AnAttachedValueMeansWhatTheNextArgumentWould) {
    TempDir dir;
    write_file(dir.file("f"), "abc");
    const std::pair<std::vector<std::string>, uint32_t> keys[] = {
        {{"-ppassword"}, password_key("password")},
        {{"/Pswordfish"}, password_key("swordfish")},
        {{"-k123"}, 123},
        {{"-key", "5"}, 5},  // spelled out, the option takes the next argument
        {{"-password", "pw"}, password_key("pw")},
        {{"-k", "4294967295"}, 0xFFFFFFFFu},  // every value of 32 bits
        {{"-k", "-1"}, 0xFFFFFFFFu},  // a sign in front, as always
        {{"-k", " +7"}, 7},  // blanks in front
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

// Files of 64 KiB and more are compressed in two parts, one per method:
// far.bin repeats itself 1500 bytes back (LZO1X does better), steps.bin in short steps
// (LZO1Y does better). Each must be stored with the method that wins on it.
TEST(LargeFiles, EachFileIsStoredWithTheMethodThatSuitsIt) {
    TempDir dir;
    std::string far(200000, '\0'), steps(65536, '\0');
    for (size_t i = 0; i < far.size(); ++i)
        far[i] = char(i >= 1500 && i % 9 != 0 ? far[i - 1500] : char(i * 31));
    for (size_t i = 0; i < steps.size(); ++i) steps[i] = char(i % 251 * (i / 997));
    write_file(dir.file("far.bin"), far);
    write_file(dir.file("steps.bin"), steps);
    expect_qartool(dir.path, {"-k", "1511506921", "a", "g.qar", "far.bin", "steps.bin"}, 0,
                   "file: far.bin\nfile: steps.bin\n", "");
    const std::vector<RawEntry> e = raw_entries(read_file(dir.file("g.qar")));
    ASSERT_EQ(2u, e.size());
    EXPECT_EQ((200000u << 8) | 2, e[0].flags) << "far.bin: not LZO1X of its size";
    EXPECT_EQ((65536u << 8) | 4, e[1].flags) << "steps.bin: not LZO1Y of its size";
    expect_qartool(dir.path, {"-k", "1511506921", "t", "g.qar"}, 0, test_line("far.bin", "OK") +
                   test_line("steps.bin", "OK") + "2 records tested, 0 damaged\n", "");
}

}  // namespace
