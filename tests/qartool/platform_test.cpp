// The POSIX platform layer: pattern search, whole-file mapping and the safe
// writing of extracted files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform.h"
#include "test_support.h"

namespace {

struct Found {
    std::string name;
    bool dir;
    uint64_t size;
    bool operator<(const Found& o) const { return name < o.name; }
    bool operator==(const Found& o) const {
        return name == o.name && dir == o.dir && size == o.size;
    }
};

std::vector<Found> find_all(const std::string& pattern) {
    std::vector<Found> found;
    PlatFindEntry entry;
    PlatFind* search = plat_find_first(pattern.c_str(), &entry);
    if (!search) return found;
    do {
        found.push_back({entry.name, entry.is_directory != 0, entry.size});
    } while (plat_find_next(search, &entry));
    plat_find_close(search);
    std::sort(found.begin(), found.end());
    return found;
}

// A directory with: a.txt (3 bytes), b.TXT (1), .hidden (2), noext (4), sub/ with c.txt.
struct Tree {
    TempDir dir;
    Tree() {
        write_file(dir.file("a.txt"), "abc");
        write_file(dir.file("b.TXT"), "b");
        write_file(dir.file(".hidden"), "hh");
        write_file(dir.file("noext"), "nnnn");
        mkdir(dir.file("sub").c_str(), 0755);
        write_file(dir.file("sub/c.txt"), "c");
    }
};

TEST(PlatformNameMatch, StarAndQuestionMarkLikeTheFindCalls) {
    EXPECT_TRUE(plat_name_matches("a.txt", "*.txt"));
    EXPECT_TRUE(plat_name_matches(".hidden", "*"));  // no leading-dot rule here
    EXPECT_FALSE(plat_name_matches("b.TXT", "*.txt"));  // case-sensitive on POSIX
    EXPECT_TRUE(plat_name_matches("abc", "a?c"));
    EXPECT_FALSE(plat_name_matches("ac", "a?c"));
    EXPECT_TRUE(plat_name_matches("abcabd", "*abd"));
    EXPECT_FALSE(plat_name_matches("abcab", "*abd"));
    EXPECT_TRUE(plat_name_matches("[x]", "[x]*"));  // brackets are plain characters
    // A trailing ".*" also takes a name without a dot, as "*.*" does.
    EXPECT_TRUE(plat_name_matches("noext", "*.*"));
    EXPECT_TRUE(plat_name_matches("a", "a.*"));
    EXPECT_FALSE(plat_name_matches("ab", "a.*"));
    EXPECT_TRUE(plat_name_matches("a.b.c", "*.*"));
}

TEST(PlatformFind, WildcardsInTheLastComponent) {
    Tree t;
    std::vector<Found> want{{"a.txt", false, 3}};
    EXPECT_EQ(want, find_all(t.dir.file("*.txt")));
    want = {{".hidden", false, 2}, {"a.txt", false, 3}, {"b.TXT", false, 1},
            {"noext", false, 4}, {"sub", true, 0}};
    EXPECT_EQ(want, find_all(t.dir.file("*")));  // never "." or ".."
    EXPECT_TRUE(find_all(t.dir.file("*.zip")).empty());
    EXPECT_TRUE(find_all(t.dir.path + "/missing/*").empty());
}

TEST(PlatformFind, BackslashSeparatesDirectoriesToo) {
    Tree t;
    std::vector<Found> want{{"c.txt", false, 1}};
    EXPECT_EQ(want, find_all(t.dir.path + "\\sub\\*"));
    EXPECT_EQ(want, find_all(t.dir.path + "/sub\\c.txt"));
}

TEST(PlatformFind, APlainNameYieldsThatEntryItself) {
    Tree t;
    std::vector<Found> want{{"sub", true, 0}};
    EXPECT_EQ(want, find_all(t.dir.file("sub")));
    EXPECT_EQ(want, find_all(t.dir.file("sub/")));  // trailing separator ignored
    want = {{"a.txt", false, 3}};
    EXPECT_EQ(want, find_all(t.dir.file("a.txt")));
    EXPECT_TRUE(find_all(t.dir.file("nothing")).empty());
    EXPECT_TRUE(find_all(t.dir.file("sub/..")).empty());
    EXPECT_TRUE(find_all(t.dir.file(".")).empty());
}

TEST(PlatformFind, LinksAreFollowedAndDanglingOnesAreFiles) {
    Tree t;
    ASSERT_EQ(0, symlink("sub", t.dir.file("to_sub").c_str()));
    ASSERT_EQ(0, symlink("gone", t.dir.file("dangling").c_str()));
    std::vector<Found> want{{"dangling", false, 0}};
    EXPECT_EQ(want, find_all(t.dir.file("dang*")));
    EXPECT_EQ(want, find_all(t.dir.file("dangling")));
    want = {{"to_sub", true, 0}};
    EXPECT_EQ(want, find_all(t.dir.file("to_*")));
}

TEST(PlatformFind, EntriesCarryTheIdentityOfWhatTheyLeadTo) {
    Tree t;
    ASSERT_EQ(0, symlink("a.txt", t.dir.file("link").c_str()));
    PlatFindEntry a, link;
    PlatFind* s1 = plat_find_first(t.dir.file("a.txt").c_str(), &a);
    PlatFind* s2 = plat_find_first(t.dir.file("link").c_str(), &link);
    ASSERT_TRUE(s1 && s2);
    EXPECT_TRUE(plat_same_file(a.id, link.id));
    plat_find_close(s1);
    plat_find_close(s2);
    PlatFileId by_path, link_itself;
    ASSERT_EQ(1, plat_path_id(t.dir.file("a.txt").c_str(), 1, &by_path));
    ASSERT_EQ(1, plat_path_id(t.dir.file("link").c_str(), 0, &link_itself));
    EXPECT_TRUE(plat_same_file(a.id, by_path));
    EXPECT_FALSE(plat_same_file(a.id, link_itself));
}

TEST(PlatformMap, WholeFileReadOnlyWithItsTime) {
    TempDir dir;
    write_file(dir.file("f"), "hello");
    struct timespec times[2] = {{0, UTIME_OMIT}, {1405420200, 0}};  // 2014-07-15 10:30:00 UTC
    ASSERT_EQ(0, utimensat(AT_FDCWD, dir.file("f").c_str(), times, 0));
    PlatMappedFile m;
    ASSERT_EQ(PLAT_MAP_OK, plat_map_file(dir.file("f").c_str(), 100, &m));
    EXPECT_EQ(std::string("hello"), std::string(reinterpret_cast<const char*>(m.data), m.size));
    EXPECT_EQ(1, m.write_time_valid);
    EXPECT_EQ(2014, m.write_time.year);
    EXPECT_EQ(7, m.write_time.month);
    EXPECT_EQ(15, m.write_time.day);
    EXPECT_EQ(10, m.write_time.hour);
    EXPECT_EQ(30, m.write_time.minute);
    plat_unmap_file(&m);
}

TEST(PlatformMap, CleanFailures) {
    TempDir dir;
    write_file(dir.file("empty"), "");
    write_file(dir.file("five"), "12345");
    mkdir(dir.file("d").c_str(), 0755);
    ASSERT_EQ(0, mkfifo(dir.file("pipe").c_str(), 0644));
    PlatMappedFile m;
    EXPECT_EQ(PLAT_MAP_EMPTY, plat_map_file(dir.file("empty").c_str(), 100, &m));
    EXPECT_EQ(PLAT_MAP_TOO_LARGE, plat_map_file(dir.file("five").c_str(), 4, &m));
    EXPECT_EQ(PLAT_MAP_OPEN_FAILED, plat_map_file(dir.file("missing").c_str(), 100, &m));
    EXPECT_EQ(PLAT_MAP_OPEN_FAILED, plat_map_file(dir.file("d").c_str(), 100, &m));
    EXPECT_EQ(PLAT_MAP_OPEN_FAILED, plat_map_file(dir.file("pipe").c_str(), 100, &m));
}

// Runs the body with the test's own scratch directory as the current one.
struct InDirectory {
    std::string old;
    explicit InDirectory(const std::string& dir) {
        char buf[4096];
        old = getcwd(buf, sizeof buf) ? buf : "/";
        EXPECT_EQ(0, chdir(dir.c_str()));
    }
    ~InDirectory() { EXPECT_EQ(0, chdir(old.c_str())); }
};

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<Found> found = find_all(dir + "/*");
    std::vector<std::string> names;
    for (const Found& f : found) names.push_back(f.name);
    return names;
}

TEST(PlatformWrite, CommitReplacesALinkInsteadOfFollowingIt) {
    TempDir dir;
    TempDir outside;
    write_file(outside.file("victim"), "keep");
    ASSERT_EQ(0, symlink(outside.file("victim").c_str(), dir.file("out").c_str()));
    InDirectory here(dir.path);
    PlatOutFile* f = plat_create_temp();
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(1, plat_write_all(f, reinterpret_cast<const uint8_t*>("new"), 3));
    ASSERT_EQ(1, plat_set_write_time(f, PlatDateTime{2014, 7, 15, 10, 30, 0}));
    ASSERT_EQ(1, plat_commit_file(f, "out"));
    EXPECT_EQ("keep", read_file(outside.file("victim")));
    EXPECT_EQ("new", read_file(dir.file("out")));
    struct stat st;
    ASSERT_EQ(0, lstat(dir.file("out").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(1405420200, st.st_mtim.tv_sec);
    EXPECT_EQ(std::vector<std::string>{"out"}, names_in(dir.path));  // no temporary left
}

TEST(PlatformWrite, FailedCommitAndDiscardLeaveTheOldFile) {
    TempDir dir;
    mkdir(dir.file("taken").c_str(), 0755);  // a directory cannot be replaced by a file
    write_file(dir.file("kept"), "old");
    InDirectory here(dir.path);
    PlatOutFile* f = plat_create_temp();
    ASSERT_NE(nullptr, f);
    plat_write_all(f, reinterpret_cast<const uint8_t*>("x"), 1);
    EXPECT_EQ(0, plat_commit_file(f, "taken"));
    f = plat_create_temp();
    ASSERT_NE(nullptr, f);
    plat_write_all(f, reinterpret_cast<const uint8_t*>("partial"), 7);
    plat_discard_file(f);
    EXPECT_EQ("old", read_file(dir.file("kept")));
    EXPECT_EQ((std::vector<std::string>{"kept", "taken"}), names_in(dir.path));
}

TEST(PlatformWrite, ReplacedFileKeepsItsPermissions) {
    TempDir dir;
    write_file(dir.file("tool"), "old");
    chmod(dir.file("tool").c_str(), 0750);
    InDirectory here(dir.path);
    PlatOutFile* f = plat_create_temp();
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(1, plat_commit_file(f, "tool"));
    struct stat st;
    ASSERT_EQ(0, stat(dir.file("tool").c_str(), &st));
    EXPECT_EQ(0750u, st.st_mode & 07777);
}

}  // namespace
