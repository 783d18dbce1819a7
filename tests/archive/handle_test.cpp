// Creating, opening, validating and indexing archives.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive_handle.h"
#include "archive_test_util.h"
#include "record_ops.h"
#include "test_support.h"

namespace {

std::string open_error(const std::string& path, int for_write = 0) {
    ArchiveHandle* handle = open_archive(path.c_str(), for_write);
    if (handle != nullptr) {
        close_archive(handle);
        return "(opened)";
    }
    return last_error_text();
}

// An archive of three tables with the given record count, each table's used
// slots given; names are "r<index>".
std::string three_tables(int32_t record_count, int used0, int used1, int used2) {
    std::string file = header_bytes(record_count, 0);
    const int used[3] = {used0, used1, used2};
    const uint32_t offsets[3] = {28, 3632, 3632 + 3604};
    for (int t = 0; t < 3; ++t) {
        std::vector<std::string> entries;
        for (int s = 0; s < used[t]; ++s) {
            int index = t * 100 + s;
            entries.push_back(entry_bytes("r" + std::to_string(index), 0, index, 0, 0, 0));
        }
        file += table_bytes(t < 2 ? offsets[t + 1] : 0, entries);
    }
    return file;
}

}  // namespace

TEST(ArchiveCreate, NewArchiveIsHeaderAndOneEmptyTable) {
    TempDir dir;
    ASSERT_EQ(1, create_archive(dir.file("a.qar").c_str(), 0xA1B2C3D4u));
    std::string expected = header_bytes(0, 0xA1B2C3D4u) + std::string(3604, '\0');
    EXPECT_EQ(expected, read_file(dir.file("a.qar")));
    EXPECT_EQ(size_t(3632), expected.size());
}

TEST(ArchiveCreate, ExistingFileIsLeftAlone) {
    TempDir dir;
    write_file(dir.file("a.qar"), "precious");
    EXPECT_EQ(0, create_archive(dir.file("a.qar").c_str(), 0));
    EXPECT_EQ("File \"" + dir.file("a.qar") + "\" already exists", last_error_text());
    EXPECT_EQ("precious", read_file(dir.file("a.qar")));
}

TEST(ArchiveCreate, UncreatableFileIsReported) {
    TempDir dir;
    std::string path = dir.file("missing/a.qar");
    EXPECT_EQ(0, create_archive(path.c_str(), 0));
    EXPECT_EQ("Could not create file \"" + path + "\"", last_error_text());
}

TEST(ArchiveOpen, MissingArchiveForReadingIsNotCreated) {
    TempDir dir;
    std::string path = dir.file("none.qar");
    EXPECT_EQ("Could not open file \"" + path + "\"", open_error(path));
    EXPECT_FALSE(file_exists(path));
}

TEST(ArchiveOpen, MissingArchiveForWritingIsCreatedWithKeyZero) {
    TempDir dir;
    std::string path = dir.file("new.qar");
    ArchiveHandle* handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(0, handle->entry_count);
    EXPECT_EQ(1, handle->table_count);
    EXPECT_EQ(0, handle->next_index);
    EXPECT_EQ(0u, handle->key);
    EXPECT_STREQ("new.qar", handle->base_name);
    close_archive(handle);
    EXPECT_EQ(header_bytes(0, 0) + std::string(3604, '\0'), read_file(path));
}

TEST(ArchiveOpen, UncreatableArchiveForWritingSaysCouldNotOpen) {
    TempDir dir;
    std::string path = dir.file("no/such/dir.qar");
    EXPECT_EQ("Could not open file \"" + path + "\"", open_error(path, 1));
}

TEST(ArchiveOpen, HeaderValidationMessagesNameTheBaseName) {
    TempDir dir;
    std::string path = dir.file("x.qar");
    write_file(path, header_bytes(0, 0).substr(0, 27));
    EXPECT_EQ("Could not read header of file \"x.qar\"", open_error(path));
    EXPECT_EQ("Could not read header of file \"x.qar\"", open_error(path, 1));

    const std::string tail = std::string(3604, '\0');
    const std::string bad_headers[] = {
        header_bytes(0, 0, 2),         header_bytes(0, 0, 1, 15),
        header_bytes(0, 0, 1, 16, 50), header_bytes(0, 0, 1, 16, 100, "QARG"),
        header_bytes(-1, 0),           header_bytes(INT32_MIN, 0),
    };
    for (const std::string& header : bad_headers) {
        write_file(path, header + tail);
        EXPECT_EQ("Invalid header in file \"x.qar\"", open_error(path)) << get32(header, 4);
        EXPECT_EQ(header + tail, read_file(path)) << "a failed open writes nothing";
    }
}

TEST(ArchiveOpen, BaseNameIsBehindTheLastSlashOrBackslash) {
    TempDir dir;
    ASSERT_EQ(0, mkdir(dir.file("data").c_str(), 0755));
    write_file(dir.file("data/sub\\x.qar"), "short");
    EXPECT_EQ("Could not read header of file \"x.qar\"", open_error(dir.file("data/sub\\x.qar")));
    write_file(dir.file("D:\\games\\pak.qar"), "short");
    EXPECT_EQ("Could not read header of file \"pak.qar\"",
              open_error(dir.file("D:\\games\\pak.qar")));
    // A long name is kept whole in messages (it fits the field).
    std::string long_name(200, 'n');
    write_file(dir.file(long_name), "short");
    EXPECT_EQ("Could not read header of file \"" + long_name + "\"", open_error(dir.file(long_name)));
}

TEST(ArchiveOpen, LongMessagesAreCutToTheBuffer) {
    std::string path = "/nonexistent/" + std::string(2000, 'p');
    EXPECT_EQ(nullptr, open_archive(path.c_str(), 0));
    std::string text = last_error_text();
    EXPECT_EQ(size_t(511), text.size());
    EXPECT_EQ(0u, text.rfind("Could not open file \"/nonexistent/ppp", 0));
}

TEST(ArchiveOpen, ChainLengthMustMatchTheRecordCount) {
    TempDir dir;
    std::string path = dir.file("c.qar");
    write_file(path, three_tables(250, 100, 100, 50));
    ArchiveHandle* handle = must_open(path, 0);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(3, handle->table_count);
    EXPECT_EQ(250, handle->entry_count);
    EXPECT_EQ(250, handle->next_index);
    close_archive(handle);

    // The chain ends after two tables.
    std::string two = three_tables(250, 100, 100, 50);
    set32(&two, 3632, 0);
    write_file(path, two);
    EXPECT_EQ("Header has 3 dtables; actually 2 dtables in file \"c.qar\"", open_error(path));

    // One table too many, not left by an interrupted append.
    write_file(path, three_tables(150, 100, 50, 0));
    EXPECT_EQ("Header has 2 dtables; actually 3 dtables in file \"c.qar\"", open_error(path));

    // The second table is cut short by the end of the file.
    std::string cut = three_tables(250, 100, 100, 50).substr(0, 3632 + 3000);
    write_file(path, cut);
    EXPECT_EQ("Could not read dtable 1 of file \"c.qar\"", open_error(path, 1));
    EXPECT_EQ(cut, read_file(path));
}

TEST(ArchiveOpen, DamagedChainsFailWithoutHangingOrOverAllocating) {
    TempDir dir;
    std::string path = dir.file("d.qar");
    // Table 0 points back at itself.
    std::string loop = header_bytes(0, 0) + table_bytes(28);
    write_file(path, loop);
    EXPECT_EQ("Header has 1 dtables; actually 2 dtables in file \"d.qar\"", open_error(path));

    // A large count whose tables loop: the walk stops, it does not read
    // two billion tables.
    std::string big_loop = header_bytes(INT32_MAX - 52, 0) + table_bytes(28);
    write_file(path, big_loop);
    EXPECT_EQ("Header has 21474836 dtables; actually 2 dtables in file \"d.qar\"",
              open_error(path));

    // A huge count in a 4 KB file is an ordinary failure, not exhausted memory.
    write_file(path, header_bytes(INT32_MAX, 0) + table_bytes(0));
    EXPECT_EQ("Header has 21474837 dtables; actually 1 dtables in file \"d.qar\"",
              open_error(path));

    // A next offset beyond the end of the file.
    write_file(path, header_bytes(100, 0) + table_bytes(0xFFFFFFF0u));
    EXPECT_EQ("Could not read dtable 1 of file \"d.qar\"", open_error(path));
}

TEST(ArchiveOpen, MoreUsedSlotsThanTheCountAllowsAreRefused) {
    TempDir dir;
    std::string path = dir.file("m.qar");
    // Two slots more than the header counts: more than one interrupted append.
    write_file(path, three_tables(248, 100, 100, 50));
    EXPECT_EQ("Invalid header in file \"m.qar\"", open_error(path));
    // A full last table with no table chained on behind it.
    std::string full = header_bytes(99, 0) +
                       table_bytes(0, std::vector<std::string>(100, entry_bytes("x", 0, 0, 0, 0, 0)));
    write_file(path, full);
    EXPECT_EQ("Invalid header in file \"m.qar\"", open_error(path, 1));
    EXPECT_EQ(full, read_file(path));
}

TEST(ArchiveOpen, UsedSlotsEndAtTheFirstEmptyName) {
    TempDir dir;
    std::string path = dir.file("e.qar");
    std::vector<std::string> entries = {
        entry_bytes("a", 0, 0, 0, 0, 0), entry_bytes("b", 0, 1, 0, 0, 0),
        entry_bytes("c", 0, 2, 0, 0, 0), entry_bytes("", 0, 3, 0, 0, 0),
        entry_bytes("hidden", 0, 4, 0, 0, 0)};
    write_file(path, header_bytes(3, 0) + table_bytes(0, entries));
    ArchiveHandle* handle = must_open(path, 0);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(3, handle->entry_count);
    EXPECT_EQ(nullptr, find_entry(handle, "hidden"));
    close_archive(handle);
}

TEST(ArchiveIndex, LiveEntriesSortedAndFoundWithoutRegardToCase) {
    TempDir dir;
    std::string path = dir.file("i.qar");
    std::vector<std::string> entries = {
        entry_bytes("b", 0, 0, 0, 0, 0),
        entry_bytes("readme.txt", 0, 1, 0, 0, 0),
        entry_bytes("a", 0, 2, 0, 0, 0),
        entry_bytes("gone", 0, 3, 0, 0, 0x301),  // deleted, compressed
        entry_bytes("_a", 0, 4, 0, 0, 0),
        entry_bytes("sixteen-bytes-xy", 0, 5, 0, 0, 0),
        entry_bytes("\xe9t\xe9", 0, 6, 0, 0, 0),
        entry_bytes("Z", 0, 7, 0, 0, 0),
    };
    write_file(path, header_bytes(8, 0) + table_bytes(0, entries));
    ArchiveHandle* handle = must_open(path, 0);
    ASSERT_NE(nullptr, handle);
    DirectoryEntry* list = nullptr;
    int32_t count = 0;
    EXPECT_EQ(1, get_directory(handle, &list, &count));
    ASSERT_EQ(7, count);
    const char* const order[] = {"_a", "a", "b", "readme.txt", "sixteen-bytes-xy", "Z", "\xe9t\xe9"};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(std::string(order[i]), std::string(list[i].name, strnlen(list[i].name, 16)));

    EXPECT_EQ(nullptr, find_entry(handle, "gone"));
    DirectoryEntry* readme = find_entry(handle, "README.TXT");
    ASSERT_NE(nullptr, readme);
    EXPECT_EQ(1, readme->index);
    DirectoryEntry* z = find_entry(handle, "z");
    ASSERT_NE(nullptr, z);
    EXPECT_EQ(7, z->index);
    // Only the first 16 bytes of a name count.
    DirectoryEntry* sixteen = find_entry(handle, "SIXTEEN-BYTES-XYZZY");
    ASSERT_NE(nullptr, sixteen);
    EXPECT_EQ(5, sixteen->index);
    EXPECT_EQ(nullptr, find_entry(handle, "sixteen-bytes-x"));
    EXPECT_EQ(nullptr, find_entry(handle, ""));
    close_archive(handle);
}

TEST(ArchiveIndex, NameOrderFoldsOnlyAsciiLetters) {
    EXPECT_LT(compare_names("_a", "a"), 0);
    EXPECT_LT(compare_names("a", "b"), 0);
    EXPECT_LT(compare_names("Z", "\x80"), 0);
    EXPECT_EQ(0, compare_names("MiXeD", "mixed"));
    EXPECT_LT(compare_names("ab", "abc"), 0);
    EXPECT_EQ(0, compare_names("0123456789abcdefXX", "0123456789ABCDEFyy"));
    EXPECT_NE(0, compare_names("\xc9", "\xe9")) << "bytes from 0x80 up are not folded";
}

TEST(ArchiveStore, FatalErrorExitsWith107) {
    EXPECT_EXIT(fatal_error(nullptr), testing::ExitedWithCode(107), "out of memory");
    EXPECT_EXIT(fatal_error("custom"), testing::ExitedWithCode(107), "custom");
}
