// Pieces of the command line and of name handling that the end-to-end tests
// reach only indirectly.
#include <gtest/gtest.h>

#include <cstring>

#include "command_line.h"
#include "names.h"

namespace {

TEST(KeyNumber, ParsedAsA32BitStrtoul) {
    EXPECT_EQ(0u, parse_key_number(""));
    EXPECT_EQ(0u, parse_key_number("abc"));
    EXPECT_EQ(12345u, parse_key_number("12345"));
    EXPECT_EQ(12u, parse_key_number("12ab3"));
    EXPECT_EQ(42u, parse_key_number(" \t\n42"));
    EXPECT_EQ(7u, parse_key_number("+7"));
    EXPECT_EQ(0u, parse_key_number("- 7"));
    EXPECT_EQ(0u, parse_key_number("0x10"));  // base 10: stops at 'x'
    EXPECT_EQ(4294967295u, parse_key_number("4294967295"));
    EXPECT_EQ(4294967295u, parse_key_number("4294967296"));  // overflow
    EXPECT_EQ(4294967295u, parse_key_number("99999999999999999999999999"));
    EXPECT_EQ(4294967295u, parse_key_number("-1"));
    EXPECT_EQ(1u, parse_key_number("-4294967295"));
    EXPECT_EQ(4294967295u, parse_key_number("-4294967296"));  // overflow wins over the sign
    EXPECT_EQ(0u, parse_key_number("-0"));
}

TEST(Names, RecordNameStopsAtZeroOrSixteenBytes) {
    DirectoryEntry e;
    memset(&e, 0, sizeof e);
    memcpy(e.name, "readme.txt", 10);
    EXPECT_STREQ("readme.txt", record_name(e).text);
    memcpy(e.name, "abcdefghijklmnop", 16);
    EXPECT_STREQ("abcdefghijklmnop", record_name(e).text);
}

TEST(Names, DisplayHidesControlBytesOnly) {
    EXPECT_EQ("a?b?c?", display_text("a\x1b" "b\x7f" "c\n"));
    EXPECT_EQ("caf\xc3\xa9 ~!", display_text("caf\xc3\xa9 ~!"));
    EXPECT_EQ("abc", display_text("abcdef", 3));
    EXPECT_EQ('?', display_char('\0'));
}

TEST(Names, OnlyPlainFileNamesMayBeWritten) {
    for (const char* bad : {"", ".", "..", "../evil", "a/b", "a\\b", "/etc", "a\tb", "\x1b[2J"})
        EXPECT_EQ(0, is_plain_file_name(bad)) << bad;
    for (const char* good : {"a", "...", ".hidden", "x.y.txt", "caf\xc3\xa9", "a b", "-rf"})
        EXPECT_EQ(1, is_plain_file_name(good)) << good;
}

TEST(Names, RecordKeyFoldsAndCutsLikeTheStore) {
    EXPECT_EQ("readme.txt", record_key("Readme.TXT"));
    EXPECT_EQ("abcdefghijklmnop", record_key("ABCDEFGHIJKLMNOPQRST"));
    EXPECT_EQ("_\xc3", record_key("_\xc3"));
}

}  // namespace
