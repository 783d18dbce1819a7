// An archive near the format's 2,147,483,647-byte limit, made by hand as a
// sparse file: an add that would pass the limit fails with a message and
// leaves the archive as it was, and one that still fits is stored.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "archive_layout.h"
#include "reliability_support.h"

namespace {

const int64_t LIMIT = 2147483647;

void put32(std::string* b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[off + i] = char(v >> (8 * i));
}

// Header, one table with two records (a small one, then one that fills the
// file up to `room` bytes short of the limit), and the small one's bytes.
std::string near_limit_head(int64_t room, uint32_t* big_size) {
    std::string b(3632, '\0');
    b.replace(0, 4, "QARF");
    put32(&b, 4, 1);
    put32(&b, 8, 16);
    put32(&b, 12, 100);
    put32(&b, 16, 2);
    put32(&b, 24, 28);
    const std::string small = "hello world";
    *big_size = uint32_t(LIMIT - room - 3632 - int64_t(small.size()));
    const struct {
        const char* name;
        uint32_t offset, size;
    } slots[] = {{"small.txt", 3632, uint32_t(small.size())},
                 {"big.bin", uint32_t(3632 + small.size()), *big_size}};
    for (int i = 0; i < 2; ++i) {
        size_t slot = 28 + 4 + size_t(i) * 36;
        b.replace(slot, strlen(slots[i].name), slots[i].name);
        put32(&b, slot + 16, slots[i].offset);
        put32(&b, slot + 20, uint32_t(i));
        put32(&b, slot + 24, slots[i].size);
        put32(&b, slot + 28, 1408098600);
    }
    return b + small;
}

std::string incompressible(size_t n) {
    std::string bytes(n, '\0');
    uint32_t x = 12345;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    return bytes;
}

}  // namespace

TEST(NearSizeLimit, AnAddPastTwoGigabytesFailsAndTheArchiveStaysListable) {
    TempDir dir;
    const std::string path = dir.file("near.qar");
    uint32_t big_size = 0;
    const std::string head = near_limit_head(100, &big_size);
    write_file(path, head);
    ASSERT_EQ(truncate(path.c_str(), LIMIT - 100), 0) << "no sparse file of 2 GiB here";
    write_file(dir.file("toobig.dat"), incompressible(101));
    write_file(dir.file("fits.dat"), incompressible(100));

    ProcessResult add = run_qartool(dir.path, {"a", "near.qar", "toobig.dat"});
    EXPECT_EQ(add.status, 0);  // the command ran; the file was reported
    EXPECT_EQ(
        add.err.rfind("\"toobig.dat\": Could not write data toobig.dat to file \"near.qar\"", 0),
        0u)
        << add.err;
    EXPECT_EQ(add.err.back(), '\n');
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(int64_t(st.st_size), LIMIT - 100);
    EXPECT_EQ(read_file_prefix(path, head.size()), head);

    ProcessResult list = run_qartool(dir.path, {"l", "near.qar"});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find(" big.bin " + std::to_string(big_size) + " "), std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("    2 records"), std::string::npos) << list.out;
    ProcessResult extract = run_qartool(dir.path, {"x", "near.qar", "small.txt"});
    EXPECT_EQ(extract.status, 0);
    EXPECT_EQ(read_file(dir.file("small.txt")), "hello world");

    // Exactly up to the limit still fits.
    add = run_qartool(dir.path, {"a", "near.qar", "fits.dat"});
    EXPECT_EQ(add.status, 0);
    EXPECT_EQ(add.err, "");
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(int64_t(st.st_size), LIMIT);
    list = run_qartool(dir.path, {"l", "near.qar", "fits.dat"});
    EXPECT_NE(list.out.find("    2         fits.dat       100       100 "), std::string::npos)
        << list.out;
    extract = run_qartool(dir.path, {"x", "near.qar", "fits.dat"});
    EXPECT_EQ(read_file(dir.file("fits.dat")), incompressible(100));
}
