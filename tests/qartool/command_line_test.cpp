// The -k number and the names extraction may write.
#include <gtest/gtest.h>

#include "command_line.h"
#include "names.h"

namespace {

TEST(KeyNumber, ParsedAsA32BitStrtoul) {
    struct {
        const char* text;
        uint32_t key;
    } cases[] = {{"", 0}, {"abc", 0}, {"12ab3", 12}, {" \t\n42", 42}, {"+7", 7}, {"- 7", 0},
                 {"0x10", 0}, {"4294967295", 4294967295u},
                 {"4294967296", 4294967295u},  // overflow
                 {"99999999999999999999999", 4294967295u}, {"-1", 4294967295u},
                 {"-4294967295", 1}, {"-4294967296", 4294967295u}, {"-0", 0}};
    for (const auto& c : cases) EXPECT_EQ(c.key, parse_key_number(c.text)) << c.text;
}

TEST(Names, OnlyPlainFileNamesMayBeWritten) {
    for (const char* bad : {"", ".", "..", "../evil", "a/b", "a\\b", "/etc", "a\tb", "\x1b[2J"})
        EXPECT_EQ(0, is_plain_file_name(bad)) << bad;
    for (const char* good : {"a", "...", ".hidden", "caf\xc3\xa9", "a b", "-rf", "x\x7f"})
        EXPECT_EQ(1, is_plain_file_name(good)) << good;
}

}  // namespace
