// End-to-end: add, update and delete, checked against the archive's bytes,
// and the round trip back out through extract.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "cli_support.h"

namespace {

std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> names_of(const std::vector<RawEntry>& entries) {
    std::vector<std::string> names;
    for (const RawEntry& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

std::string text_of(size_t n) {
    std::string s;
    while (s.size() < n) s += "line " + std::to_string(s.size() % 97) + " of the sample\n";
    return s.substr(0, n);
}

TEST(QartoolStore, AddWithPasswordThenListAndExtract) {
    TempDir dir;
    std::string text = text_of(3000), noise;
    uint32_t seed = 12345;  // a linear congruential generator: bytes that do not compress
    for (int i = 0; i < 300; ++i) {
        seed = seed * 1103515245u + 12345u;
        noise += char(seed >> 16);
    }
    write_file(dir.file("a.txt"), text);
    write_file(dir.file("Noise.BIN"), noise);
    set_mtime(dir.file("a.txt"), 1405420200);      // 2014-07-15 10:30:00 UTC
    set_mtime(dir.file("Noise.BIN"), 1419408000);  // 2014-12-24 08:00:00 UTC

    ProcessResult r = qartool(dir.path, {"-p", "secret", "a", "game.qar", "*.txt", "Noise.BIN"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("file: a.txt\nfile: Noise.BIN\n", r.out);
    EXPECT_EQ("", r.err);

    std::string bytes = read_file(dir.file("game.qar"));
    EXPECT_EQ(password_key("secret"), le32(bytes, 20));
    EXPECT_EQ(2u, le32(bytes, 16));
    std::vector<RawEntry> entries = read_entries(bytes);
    ASSERT_EQ(2u, entries.size());
    const RawEntry& a = entries[0];
    const RawEntry& n = entries[1];
    EXPECT_EQ("noise.bin", n.name);  // stored lower-cased
    EXPECT_EQ(1408098600u, a.time);
    EXPECT_EQ(1422086400u, n.time);
    EXPECT_EQ(3000u, a.flags >> 8);
    EXPECT_NE(0u, a.flags & 6);  // the text compresses
    EXPECT_EQ(0u, n.flags);      // the noise does not
    // Masked: the stored noise differs from the file in its first word.
    EXPECT_NE(noise.substr(0, 4), bytes.substr(n.data_offset, 4));

    r = qartool(dir.path, {"-p", "secret", "l", "game.qar"});
    char totals[64];
    snprintf(totals, sizeof totals, "    2 records               3300 %9u\n", a.stored_size + 300);
    EXPECT_NE(std::string::npos, r.out.find(totals)) << r.out;

    TempDir out;
    r = qartool(out.path, {"-p", "secret", "x", dir.file("game.qar")});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("a.txt\nnoise.bin\n", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(text, read_file(out.file("a.txt")));
    EXPECT_EQ(noise, read_file(out.file("noise.bin")));
    EXPECT_EQ(1405420200, mtime_of(out.file("a.txt")));
    EXPECT_EQ(1419408000, mtime_of(out.file("noise.bin")));  // December restored
}

TEST(QartoolStore, DirectoryTreeIsWalkedAndFlattened) {
    TempDir dir;
    mkdir(dir.file("data").c_str(), 0755);
    mkdir(dir.file("data/sub").c_str(), 0755);
    mkdir(dir.file("data/sub/deeper").c_str(), 0755);
    write_file(dir.file("data/x.bin"), "xxxx");
    write_file(dir.file("data/sub/y.bin"), "yyyy");
    write_file(dir.file("data/sub/deeper/z.bin"), "zzzz");
    ASSERT_EQ(0, symlink("..", dir.file("data/sub/deeper/up").c_str()));  // a loop

    ProcessResult r = qartool(dir.path, {"a", "game.qar", "data"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ((std::vector<std::string>{"dir: data", "dir: deeper", "dir: sub", "file: x.bin",
                                        "file: y.bin", "file: z.bin"}),
              sorted_lines(r.out));
    EXPECT_EQ("\"up\": directory already walked (a link loop?), skipped\n", r.err);
    std::vector<RawEntry> entries = read_entries(read_file(dir.file("game.qar")));
    EXPECT_EQ((std::vector<std::string>{"x.bin", "y.bin", "z.bin"}), names_of(entries));

    // Backslashes separate directories as well; everything is there already.
    r = qartool(dir.path, {"a", "game.qar", "data\\sub\\*"});
    EXPECT_EQ((std::vector<std::string>{"dir: deeper", "file: y.bin", "file: z.bin"}),
              sorted_lines(r.out));
    EXPECT_EQ((std::vector<std::string>{"\"up\": directory already walked (a link loop?), "
                                        "skipped",
                                        "\"y.bin\" already exists", "\"z.bin\" already exists"}),
              sorted_lines(r.err));
    // A trailing separator names the directory itself.
    r = qartool(dir.path, {"u", "game.qar", "data/sub/deeper/"});
    EXPECT_EQ("dir: deeper\nfile: z.bin\n", r.out);
    EXPECT_EQ("\"up\": directory already walked (a link loop?), skipped\n", r.err);
}

TEST(QartoolStore, AddSkipsWhatItCannotStoreAndSaysSo) {
    TempDir dir;
    write_file(dir.file("a.txt"), "aaaa");
    write_file(dir.file("empty.txt"), "");
    write_file(dir.file("Readme.TXT"), "new readme");
    write_file(dir.file("AbcdefghijklmnopQRST"), "cut to 16 bytes");
    write_file(dir.file("game.qar"),
               craft_archive(0, {{"readme.txt", 3632, 0, 3, 0, 0}}, "old"));
    ProcessResult r = qartool(dir.path, {"a", "game.qar", "a.txt", "a.txt", "empty.txt",
                                         "Readme.TXT", "missing*", "game.qar", "Abcd*"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("file: a.txt\nfile: a.txt\nfile: empty.txt\nfile: Readme.TXT\nfile: game.qar\n"
              "file: AbcdefghijklmnopQRST\n",
              r.out);
    EXPECT_EQ("\"a.txt\" already exists\n"
              "\"empty.txt\": empty file, not stored\n"
              "\"Readme.TXT\" already exists\n"
              "\"game.qar\": the qar file itself is not stored\n",
              r.err);
    std::vector<RawEntry> entries = read_entries(read_file(dir.file("game.qar")));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "abcdefghijklmnop", "readme.txt"}),
              names_of(entries));
}

TEST(QartoolStore, UpdateReplacesStoredDataUncompressed) {
    TempDir dir;
    write_file(dir.file("a.txt"), text_of(2000));
    ASSERT_EQ(0, qartool(dir.path, {"-k", "77", "a", "game.qar", "a.txt"}).status);
    size_t before = read_file(dir.file("game.qar")).size();
    write_file(dir.file("a.txt"), text_of(1500));
    write_file(dir.file("new.txt"), "not in the archive");
    set_mtime(dir.file("a.txt"), 1405420200);

    ProcessResult r = qartool(dir.path, {"-k", "77", "u", "game.qar", "*.txt"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ((std::vector<std::string>{"file: a.txt", "file: new.txt"}), sorted_lines(r.out));
    EXPECT_EQ("\"new.txt\": Could not find old record \"new.txt\" in file \"game.qar\"\n", r.err);
    std::string bytes = read_file(dir.file("game.qar"));
    EXPECT_EQ(before + 1500, bytes.size());  // the missing name added nothing
    std::vector<RawEntry> entries = read_entries(bytes);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(0u, entries[0].flags);
    EXPECT_EQ(1500u, entries[0].stored_size);
    EXPECT_EQ(1408098600u, entries[0].time);
    ASSERT_EQ(0, unlink(dir.file("a.txt").c_str()));
    EXPECT_EQ(0, qartool(dir.path, {"-k", "77", "x", "game.qar", "a.txt"}).status);
    EXPECT_EQ(text_of(1500), read_file(dir.file("a.txt")));
}

TEST(QartoolStore, DeleteMarksMatchingRecordsInNameOrder) {
    TempDir dir;
    for (const char* name : {"c.txt", "a.txt", "b.dat", "d.txt"}) write_file(dir.file(name), name);
    ASSERT_EQ(0, qartool(dir.path, {"a", "game.qar", "c.txt", "a.txt", "b.dat", "d.txt"}).status);
    std::string before = read_file(dir.file("game.qar"));

    ProcessResult r = qartool(dir.path, {"d", "game.qar", "*.txt", "nothing", "a*"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("a.txt\nc.txt\nd.txt\na.txt\n", r.out);
    EXPECT_EQ("", r.err);
    std::string after = read_file(dir.file("game.qar"));
    EXPECT_EQ(before.size(), after.size());
    EXPECT_EQ(le32(before, 16), le32(after, 16));
    for (const RawEntry& e : read_entries(after))
        EXPECT_EQ(e.name == "b.dat" ? 0u : 1u, e.flags & 1) << e.name;
}

// Old archives may hold two records of one name: each one listed is each one
// deleted, and extraction reads every record's own bytes.
TEST(QartoolStore, RecordsSharingANameAreEachDeletedAndRead) {
    TempDir dir;
    write_file(dir.file("game.qar"),
               craft_archive(0, {{"a.txt", 3632, 0, 3, 1408098600u, 0},
                                 {"a.txt", 3635, 1, 4, 1408098600u, 0}},
                             "onetwo!"));
    ProcessResult x = qartool(dir.path, {"x", "game.qar"});
    EXPECT_EQ(0, x.status);
    EXPECT_EQ("a.txt\na.txt\n", x.out);
    std::string got = read_file(dir.file("a.txt"));
    EXPECT_TRUE(got == "one" || got == "two!") << got;

    ProcessResult d = qartool(dir.path, {"d", "game.qar", "a.txt"});
    EXPECT_EQ("a.txt\na.txt\n", d.out);
    for (const RawEntry& e : read_entries(read_file(dir.file("game.qar"))))
        EXPECT_EQ(1u, e.flags & 1) << e.index;
}

}  // namespace

namespace {

// An add killed right after creating the archive leaves an empty file; the
// next add makes it the archive instead of refusing it.
TEST(QartoolStore, AddFillsInAnEmptyArchiveFile) {
    TempDir dir;
    write_file(dir.file("game.qar"), "");
    write_file(dir.file("a.txt"), "abc");
    ProcessResult r = qartool(dir.path, {"-k", "5", "a", "game.qar", "a.txt"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    std::string b = read_file(dir.file("game.qar"));
    ASSERT_EQ(3632u + 3u, b.size());
    EXPECT_EQ(5u, le32(b, 20));
    EXPECT_EQ(1u, le32(b, 16));
}

}  // namespace
