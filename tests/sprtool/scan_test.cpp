// The number conversions and line input that every text reader relies on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text_scan.h"

TEST(Strtoul32, ConvertsLikeStrtoulWithA32BitLong) {
    const struct { const char* text; uint32_t value; } cases[] = {
        {"42", 42}, {"0x10", 16}, {"0X1f", 31}, {"010", 8}, {" \t\n+7", 7},
        // conversion stops at the first character that does not fit
        {"12abc", 12}, {"08", 0}, {"0x1fz", 31}, {"12\n", 12},
        // no digits, or a sign that does not touch the number
        {"", 0}, {"abc", 0}, {"-", 0}, {"0x", 0}, {"- 5", 0}, {"--5", 0}, {"+-5", 0},
        // a minus negates modulo 2^32
        {"-1", 4294967295u}, {"-2", 4294967294u}, {"-4294967295", 1}, {"-0x10", 4294967280u},
        // a magnitude beyond 32 bits clamps, whatever the sign
        {"4294967295", 4294967295u}, {"4294967296", 4294967295u}, {"0x100000000", 4294967295u},
        {"-4294967296", 4294967295u}, {"18446744073709551616", 4294967295u},
    };
    for (const auto& c : cases) EXPECT_EQ(strtoul32(c.text), c.value) << '"' << c.text << '"';
}

TEST(ScanDecimal16, KeepsTheExactLowSixteenBitsOrRefuses) {
    const struct { const char* text; bool ok; uint16_t value; size_t consumed; } cases[] = {
        {" 17 x", true, 17, 3}, {"-1", true, 65535, 2}, {"70000", true, 4464, 5},
        {"-65536", true, 0, 6}, {"+65535", true, 65535, 6}, {"4294967297", true, 1, 10},
        {"123456789012345678901234567890", true, 0x0ad2, 30}, {"0x5", true, 0, 1},
        {"", false, 9, 0}, {"x1", false, 9, 0}, {"- 1", false, 9, 0}, {"+\n", false, 9, 0},
    };
    for (const auto& c : cases) {
        const char* p = c.text;
        uint16_t v = 9;
        EXPECT_EQ(scan_decimal16(&p, &v), c.ok) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ(size_t(p - c.text), c.consumed) << c.text;
    }
}

TEST(ReadTextLine, SplitsLikeFgetsAndDropsCrBeforeLf) {
    auto lines_of = [](const std::string& data) {
        FILE* f = std::tmpfile();
        std::fwrite(data.data(), 1, data.size(), f);
        std::rewind(f);
        std::vector<std::string> lines;
        char buf[TEXT_LINE_BUFFER];
        while (read_text_line(f, buf, sizeof buf)) lines.push_back(buf);
        std::fclose(f);
        return lines;
    };
    using Lines = std::vector<std::string>;
    const std::string x1022(1022, 'x'), x1023(1023, 'x');
    EXPECT_EQ(lines_of(""), Lines{});
    EXPECT_EQ(lines_of("a\nb"), (Lines{"a\n", "b"}));
    EXPECT_EQ(lines_of(x1023 + "\n"), (Lines{x1023, "\n"}));
    EXPECT_EQ(lines_of(x1022 + "\n"), (Lines{x1022 + "\n"}));
    EXPECT_EQ(lines_of(x1022 + "\r\n"), (Lines{x1022 + "\n"}));  // fits once the CR is gone
    EXPECT_EQ(lines_of("a\r\nb\r\n"), (Lines{"a\n", "b\n"}));
    EXPECT_EQ(lines_of("a\rb\r\r\nc\r"), (Lines{"a\rb\r\n", "c\r"}));
    EXPECT_EQ(lines_of(std::string("\0abc\nd", 6)), (Lines{"", "d"}));  // zero byte kept
}
