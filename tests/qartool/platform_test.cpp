// The POSIX platform layer's pattern search and file mapping. (Writing
// extracted files is covered end to end.)
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform.h"
#include "test_support.h"

namespace {

// "name" for a file, "name/" for a directory, sorted: the search order is the system's.
std::vector<std::string> find_all(const std::string& pattern) {
    std::vector<std::string> found;
    PlatFindEntry entry;
    PlatFind* search = plat_find_first(pattern.c_str(), &entry);
    if (!search) return found;
    do {
        found.push_back(std::string(entry.name) + (entry.is_directory ? "/" : ""));
    } while (plat_find_next(search, &entry));
    plat_find_close(search);
    std::sort(found.begin(), found.end());
    return found;
}

using Names = std::vector<std::string>;

TEST(PlatformFind, NameMatchingLikeTheFindCalls) {
    EXPECT_TRUE(plat_name_matches(".hidden", "*"));  // no leading-dot rule here
    EXPECT_FALSE(plat_name_matches("b.TXT", "*.txt"));  // case-sensitive on POSIX
    EXPECT_TRUE(plat_name_matches("abcabd", "*abd"));
    EXPECT_FALSE(plat_name_matches("ac", "a?c"));
    EXPECT_TRUE(plat_name_matches("[x]", "[x]*"));  // brackets are plain characters
    EXPECT_TRUE(plat_name_matches("noext", "*.*"));  // a trailing ".*" may match nothing
    EXPECT_TRUE(plat_name_matches("a", "a.*"));
    EXPECT_FALSE(plat_name_matches("ab", "a.*"));
}

TEST(PlatformFind, WildcardsPlainNamesAndSeparators) {
    TempDir d;
    write_file(d.file("a.txt"), "abc");
    write_file(d.file(".hidden"), "hh");
    mkdir(d.file("sub").c_str(), 0755);
    write_file(d.file("sub/c.txt"), "c");
    ASSERT_EQ(0, symlink("gone", d.file("dangling").c_str()));
    EXPECT_EQ((Names{".hidden", "a.txt", "dangling", "sub/"}), find_all(d.file("*")));
    EXPECT_EQ((Names{"a.txt"}), find_all(d.file("*.txt")));
    EXPECT_EQ((Names{"c.txt"}), find_all(d.path + "\\sub\\*"));
    EXPECT_EQ((Names{"c.txt"}), find_all(d.path + "/sub\\c.txt"));
    EXPECT_EQ((Names{"sub/"}), find_all(d.file("sub")));
    EXPECT_EQ((Names{"sub/"}), find_all(d.file("sub//")));
    EXPECT_EQ((Names{"dangling"}), find_all(d.file("dangling")));
    for (const char* none : {"nothing", "nothing/*", "*.zip", "sub/..", "."})
        EXPECT_EQ(Names{}, find_all(d.file(none))) << none;
}

TEST(PlatformMap, WholeFileOrACleanFailure) {
    TempDir d;
    write_file(d.file("five"), "12345");
    write_file(d.file("empty"), "");
    ASSERT_EQ(0, mkfifo(d.file("pipe").c_str(), 0644));  // must not hang
    PlatMappedFile m;
    ASSERT_EQ(PLAT_MAP_OK, plat_map_file(d.file("five").c_str(), 5, &m));
    EXPECT_EQ("12345", std::string(reinterpret_cast<const char*>(m.data), m.size));
    plat_unmap_file(&m);
    EXPECT_EQ(PLAT_MAP_TOO_LARGE, plat_map_file(d.file("five").c_str(), 4, &m));
    EXPECT_EQ(PLAT_MAP_EMPTY, plat_map_file(d.file("empty").c_str(), 100, &m));
    EXPECT_EQ(PLAT_MAP_OPEN_FAILED, plat_map_file(d.file("missing").c_str(), 100, &m));
    EXPECT_EQ(PLAT_MAP_OPEN_FAILED, plat_map_file(d.path.c_str(), 100, &m));
    EXPECT_EQ(PLAT_MAP_OPEN_FAILED, plat_map_file(d.file("pipe").c_str(), 100, &m));
}

}  // namespace
