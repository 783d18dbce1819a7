// Regression tests for what the fuzzers and the kill trials found.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "archive_layout.h"
#include "reliability_support.h"
#include "sprite_table.h"

namespace {

ProcessResult run_sprtool(const std::string& cwd, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {SPRTOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, cwd);
}

void put32(std::string* b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[off + i] = char(v >> (8 * i));
}

}  // namespace

// A sprite source that includes itself twice was read 2^32 times within the
// nesting bound; the include files one read opens are now bounded in all.
TEST(Findings, SourcesThatIncludeThemselvesTwiceEndQuickly) {
    TempDir dir;
    write_file(dir.file("two.txt"),
               "\"s\" tex 1 2 3 4 0x5\n@include \"two.txt\"\n@include \"two.txt\"\n");
    write_file(dir.file("two.xml"),
               "<spritetable><sprite name=\"s\" texture=\"tex\"/>"
               "<include file=\"two.xml\"/><include file=\"two.xml\"/>"
               "</spritetable>");
    for (const char* form : {"txt", "xml"}) {
        SCOPED_TRACE(form);
        auto start = std::chrono::steady_clock::now();
        ProcessResult r = run_sprtool(
            dir.path, {std::string("w") + form[0], "game.stb", std::string("two.") + form});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        EXPECT_EQ(r.status, 0);
        // The top file and every include opened contribute one record each.
        EXPECT_EQ(read_file(dir.file("game.stb")).size(),
                  size_t(1 + SPRITE_MAX_INCLUDE_FILES) * SPRITE_ENTRY_SIZE);
        const std::string refused =
            std::string("ERROR: could not open file \"two.") + form + "\" for read\n";
        EXPECT_EQ(r.err.substr(0, refused.size()), refused);
        EXPECT_EQ(r.err.size() % refused.size(), 0u);
    }
}

// Bytes behind a table's first empty slot are ignored by readers, but an
// append that filled that slot made them surface as a record.
TEST(Findings, AnAppendNeverMakesBytesBehindTheUsedSlotsARecord) {
    TempDir dir;
    std::string b(3632, '\0');
    b.replace(0, 4, "QARF");
    put32(&b, 4, 1);
    put32(&b, 8, 16);
    put32(&b, 12, 100);
    put32(&b, 16, 1);
    put32(&b, 24, 28);
    const size_t slot0 = 32, slot2 = 32 + 2 * 36;
    b.replace(slot0, 5, "a.txt");
    put32(&b, slot0 + 16, 3632);
    put32(&b, slot0 + 24, 3);
    b.replace(slot2, 4, "junk");  // slot 1 empty, slot 2 left over
    put32(&b, slot2 + 24, 3);
    write_file(dir.file("j.qar"), b + "abc");
    write_file(dir.file("new.txt"), "new");

    ProcessResult add = run_qartool(dir.path, {"a", "j.qar", "new.txt"});
    EXPECT_EQ(add.status, 0);
    EXPECT_EQ(add.err, "");
    std::string problem;
    auto rows = listed_records(run_qartool(dir.path, {"l", "j.qar"}).out, &problem);
    EXPECT_EQ(rows, (std::vector<std::pair<int, std::string>>{{0, "a.txt"}, {1, "new.txt"}}));
    EXPECT_EQ(inspect_archive(read_file(dir.file("j.qar"))).state, LAYOUT_STRICT);
}

// A chain whose second table starts inside the first, with the header one
// record behind (as an interrupted 100th append leaves it): an append wrote
// its slot into the first table's used slots. Such a chain is refused, and
// the file is left as it was.
TEST(Findings, AChainedTableOverlappingTheFirstIsRefusedAndNeverWritten) {
    TempDir dir;
    mkdir(dir.file("files").c_str(), 0755);
    for (int i = 0; i < 100; ++i)
        write_file(dir.file("files/f" + std::to_string(i)), "record " + std::to_string(i));
    ASSERT_EQ(run_qartool(dir.path, {"a", "o.qar", "files"}).status, 0);
    std::string b = read_file(dir.file("o.qar"));
    put32(&b, 16, 99);
    put32(&b, 28, 1728);  // table 0's next table, inside table 0
    write_file(dir.file("o.qar"), b);
    write_file(dir.file("new.txt"), "new");

    ProcessResult add = run_qartool(dir.path, {"a", "o.qar", "new.txt"});
    EXPECT_EQ(add.status, 1);
    EXPECT_EQ(add.err, "ERROR: could not open qar \"o.qar\" for write\n");
    EXPECT_EQ(read_file(dir.file("o.qar")), b);
    EXPECT_EQ(run_qartool(dir.path, {"l", "o.qar"}).status, 1);
}
