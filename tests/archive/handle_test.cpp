// Creating, opening, validating and indexing archives.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "archive_handle.h"
#include "archive_test_util.h"
#include "test_support.h"

namespace {

// A chain of tables at 28, 3632, 7236, ... with the given used slots each
// (names "r<index>"), the last one ending the chain.
std::string chain_of(int32_t record_count, const std::vector<int>& used) {
    std::string file = header_bytes(record_count, 0);
    for (size_t t = 0; t < used.size(); ++t) {
        std::vector<std::string> entries;
        for (int s = 0; s < used[t]; ++s) {
            int index = int(t) * 100 + s;
            entries.push_back(entry_bytes("r" + std::to_string(index), 0, index, 0, 0, 0));
        }
        file += table_bytes(t + 1 < used.size() ? uint32_t(3632 + t * 3604) : 0, entries);
    }
    return file;
}

}  // namespace

TEST(ArchiveCreate, NewArchiveExistingFileAndUncreatablePath) {
    TempDir dir;
    const std::string path = dir.file("a.qar");
    ASSERT_EQ(1, create_archive(path.c_str(), 0xA1B2C3D4u));
    const std::string fresh = header_bytes(0, 0xA1B2C3D4u) + std::string(3604, '\0');
    EXPECT_EQ(size_t(3632), fresh.size());
    EXPECT_EQ(fresh, read_file(path));

    EXPECT_EQ(0, create_archive(path.c_str(), 0));
    EXPECT_EQ("File \"" + path + "\" already exists", last_error_text());
    EXPECT_EQ(fresh, read_file(path));
    // Existing but unreadable: still not truncated.
    ASSERT_EQ(0, chmod(path.c_str(), 0200));
    if (open_error(path, 0) != "(opened)") {
        EXPECT_EQ(0, create_archive(path.c_str(), 0));
        ASSERT_EQ(0, chmod(path.c_str(), 0600));
        EXPECT_EQ(fresh, read_file(path));
    }
    const std::string nowhere = dir.file("no/dir.qar");
    EXPECT_EQ(0, create_archive(nowhere.c_str(), 0));
    EXPECT_EQ("Could not create file \"" + nowhere + "\"", last_error_text());
}

TEST(ArchiveOpen, MissingArchiveIsCreatedOnlyForWriting) {
    TempDir dir;
    const std::string path = dir.file("new.qar");
    EXPECT_EQ("Could not open file \"" + path + "\"", open_error(path, 0));
    EXPECT_FALSE(file_exists(path));
    ArchiveHandle* handle = must_open(path, 1);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(0, handle->entry_count);
    EXPECT_EQ(1, handle->table_count);
    EXPECT_EQ(0, handle->next_index);
    EXPECT_EQ(0u, handle->key);
    close_archive(handle);
    EXPECT_EQ(header_bytes(0, 0) + std::string(3604, '\0'), read_file(path));
    const std::string nowhere = dir.file("no/such.qar");
    EXPECT_EQ("Could not open file \"" + nowhere + "\"", open_error(nowhere, 1));
}

TEST(ArchiveOpen, HeaderMessagesNameTheBaseNameAndWriteNothing) {
    TempDir dir;
    ASSERT_EQ(0, mkdir(dir.file("data").c_str(), 0755));
    const std::string table = std::string(3604, '\0');
    const struct {
        const char* file;
        std::string bytes;
        const char* message;
    } cases[] = {
        {"data/sub\\x.qar", header_bytes(0, 0).substr(0, 27), "Could not read header of file \"x.qar\""},
        {"D:\\games\\pak.qar", "", "Could not read header of file \"pak.qar\""},
        {"v.qar", header_bytes(0, 0, 2) + table, "Invalid header in file \"v.qar\""},
        {"v.qar", header_bytes(0, 0, 1, 15) + table, "Invalid header in file \"v.qar\""},
        {"v.qar", header_bytes(0, 0, 1, 16, 50) + table, "Invalid header in file \"v.qar\""},
        {"v.qar", header_bytes(0, 0, 1, 16, 100, "QARG") + table, "Invalid header in file \"v.qar\""},
        {"v.qar", header_bytes(-1, 0) + table, "Invalid header in file \"v.qar\""},
    };
    for (const auto& c : cases) {
        write_file(dir.file(c.file), c.bytes);
        for (int for_write : {0, 1}) {
            EXPECT_EQ(c.message, open_error(dir.file(c.file), for_write)) << c.file;
            EXPECT_EQ(c.bytes, read_file(dir.file(c.file)));
        }
    }
    // A long path is cut to the 511 characters of the last error text.
    std::string path = "/nonexistent/" + std::string(2000, 'p');
    EXPECT_EQ(nullptr, open_archive(path.c_str(), 0));
    EXPECT_EQ(size_t(511), strlen(last_error_text()));
    EXPECT_EQ(0u, std::string(last_error_text()).rfind("Could not open file \"/nonexistent/ppp", 0));
}

TEST(ArchiveOpen, ChainMustHoldExactlyTheTablesTheCountNeeds) {
    TempDir dir;
    const std::string path = dir.file("c.qar");
    write_file(path, chain_of(250, {100, 100, 50}));
    ArchiveHandle* handle = must_open(path, 0);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(3, handle->table_count);
    EXPECT_EQ(250, handle->entry_count);
    close_archive(handle);

    std::string two_of_three = chain_of(250, {100, 100, 50});
    set32(&two_of_three, 3632, 0);
    const struct {
        std::string bytes;
        const char* message;
    } cases[] = {
        {two_of_three, "Header has 3 dtables; actually 2 dtables in file \"c.qar\""},
        {chain_of(150, {100, 50, 0}), "Header has 2 dtables; actually 3 dtables in file \"c.qar\""},
        {chain_of(250, {100, 100, 50}).substr(0, 3632 + 3000), "Could not read dtable 1 of file \"c.qar\""},
        // Loops, with a small and with a huge count: the walk stops.
        {header_bytes(0, 0) + table_bytes(28), "Header has 1 dtables; actually 2 dtables in file \"c.qar\""},
        {header_bytes(INT32_MAX - 52, 0) + table_bytes(28),
         "Header has 21474836 dtables; actually 2 dtables in file \"c.qar\""},
        // A huge count in a 4 KB file fails like any other, without exhausting memory.
        {header_bytes(INT32_MAX, 0) + table_bytes(0),
         "Header has 21474837 dtables; actually 1 dtables in file \"c.qar\""},
        {header_bytes(100, 0) + table_bytes(0xFFFFFFF0u), "Could not read dtable 1 of file \"c.qar\""},
        // More used slots than the count allows (two more; a full last table).
        {chain_of(248, {100, 100, 50}), "Invalid header in file \"c.qar\""},
        {chain_of(99, {100}), "Invalid header in file \"c.qar\""},
    };
    for (const auto& c : cases) {
        write_file(path, c.bytes);
        EXPECT_EQ(c.message, open_error(path, 1));
        EXPECT_EQ(c.bytes, read_file(path));
    }
}

TEST(ArchiveIndex, LiveEntriesSortedFoundWithoutRegardToCaseUpToAnEmptySlot) {
    TempDir dir;
    const std::string path = dir.file("i.qar");
    const char* const names[] = {"b", "readme.txt", "a", "gone", "_a", "sixteen-bytes-xy",
                                 "\xe9t\xe9", "Z", "", "hidden"};
    std::vector<std::string> entries;
    for (int i = 0; i < 10; ++i)
        entries.push_back(entry_bytes(names[i], 0, i, 0, 0, i == 3 ? 0x301 : 0));  // 3: deleted
    write_file(path, header_bytes(8, 0) + table_bytes(0, entries));
    ArchiveHandle* handle = must_open(path, 0);
    ASSERT_NE(nullptr, handle);
    ASSERT_EQ(7, handle->entry_count);
    const char* const order[] = {"_a", "a", "b", "readme.txt", "sixteen-bytes-xy", "Z", "\xe9t\xe9"};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(std::string(order[i]), std::string(handle->entries[i].name, strnlen(handle->entries[i].name, 16)));

    EXPECT_EQ(nullptr, find_entry(handle, "gone"));
    EXPECT_EQ(nullptr, find_entry(handle, "hidden"));
    EXPECT_EQ(nullptr, find_entry(handle, ""));
    EXPECT_EQ(nullptr, find_entry(handle, "sixteen-bytes-x"));
    ASSERT_NE(nullptr, find_entry(handle, "README.TXT"));
    EXPECT_EQ(1, find_entry(handle, "README.TXT")->index);
    ASSERT_NE(nullptr, find_entry(handle, "SIXTEEN-BYTES-XYZZY"));
    EXPECT_EQ(5, find_entry(handle, "SIXTEEN-BYTES-XYZZY")->index);
    close_archive(handle);
    EXPECT_NE(0, compare_names("\xc9", "\xe9")) << "bytes from 0x80 up are not folded";
}

TEST(ArchiveStore, FatalErrorExitsWith107) {
    EXPECT_EXIT(fatal_error(nullptr), testing::ExitedWithCode(107), "out of memory");
}
