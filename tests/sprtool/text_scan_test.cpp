#include "text_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_streams.h"

TEST(Strtoul32, BasesFollowThePrefix) {
    EXPECT_EQ(strtoul32("42"), 42u);
    EXPECT_EQ(strtoul32("0x10"), 16u);
    EXPECT_EQ(strtoul32("0X1f"), 31u);
    EXPECT_EQ(strtoul32("010"), 8u);
    EXPECT_EQ(strtoul32("0"), 0u);
    EXPECT_EQ(strtoul32(" \t\n+7"), 7u);
}

TEST(Strtoul32, StopsAtTheFirstCharacterThatDoesNotFit) {
    EXPECT_EQ(strtoul32("12abc"), 12u);
    EXPECT_EQ(strtoul32("08"), 0u);       // 8 is no octal digit
    EXPECT_EQ(strtoul32("0x1fz"), 31u);
    EXPECT_EQ(strtoul32("1 2"), 1u);
    EXPECT_EQ(strtoul32("12\n"), 12u);
}

TEST(Strtoul32, WithoutDigitsGivesZero) {
    EXPECT_EQ(strtoul32(""), 0u);
    EXPECT_EQ(strtoul32("abc"), 0u);
    EXPECT_EQ(strtoul32("-"), 0u);
    EXPECT_EQ(strtoul32("0x"), 0u);
    EXPECT_EQ(strtoul32("- 5"), 0u);   // the sign must touch the number
    EXPECT_EQ(strtoul32("--5"), 0u);
    EXPECT_EQ(strtoul32("+-5"), 0u);
}

TEST(Strtoul32, NegationIsModulo2To32) {
    EXPECT_EQ(strtoul32("-1"), 4294967295u);
    EXPECT_EQ(strtoul32("-2"), 4294967294u);
    EXPECT_EQ(strtoul32("-4294967295"), 1u);
    EXPECT_EQ(strtoul32("-0x10"), 4294967280u);
}

TEST(Strtoul32, BeyondThirtyTwoBitsClampsWhateverTheSign) {
    EXPECT_EQ(strtoul32("4294967295"), 4294967295u);
    EXPECT_EQ(strtoul32("4294967296"), 4294967295u);
    EXPECT_EQ(strtoul32("0x100000000"), 4294967295u);
    EXPECT_EQ(strtoul32("-4294967296"), 4294967295u);
    EXPECT_EQ(strtoul32("18446744073709551616"), 4294967295u);  // beyond 64 bits too
    EXPECT_EQ(strtoul32("-99999999999999999999999"), 4294967295u);
}

TEST(ScanDecimal16, KeepsTheLowSixteenBits) {
    struct Case { const char* text; uint16_t value; size_t consumed; };
    const Case cases[] = {
        {"0", 0, 1},          {" 17 x", 17, 3},        {"-1", 65535, 2},
        {"70000", 4464, 5},   {"+65535", 65535, 6},    {"-65536", 0, 6},
        {"4294967297", 1, 10}, {"123456789012345678901234567890", 0x0ad2 /* mod 2^16 */, 30},
    };
    for (const Case& c : cases) {
        const char* p = c.text;
        uint16_t v = 1;
        ASSERT_TRUE(scan_decimal16(&p, &v)) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ(size_t(p - c.text), c.consumed) << c.text;
    }
}

TEST(ScanDecimal16, RefusesWhatIsNoNumberAndLeavesTheCursor) {
    for (const char* text : {"", "x1", "- 1", "+", "0x", "\n"}) {
        const char* p = text;
        uint16_t v = 7;
        if (text[0] == '0') {
            // "0x" is the number 0 followed by x: a decimal scan stops at the x.
            EXPECT_TRUE(scan_decimal16(&p, &v));
            EXPECT_EQ(v, 0);
            continue;
        }
        EXPECT_FALSE(scan_decimal16(&p, &v)) << text;
        EXPECT_EQ(p, text);
        EXPECT_EQ(v, 7);
    }
}

namespace {

std::vector<std::string> lines_of(const std::string& data) {
    FILE* f = stream_with(data);
    std::vector<std::string> lines;
    char buf[TEXT_LINE_BUFFER];
    while (read_text_line(f, buf, sizeof buf)) lines.push_back(buf);
    std::fclose(f);
    return lines;
}

}  // namespace

TEST(ReadTextLine, SplitsLikeFgets) {
    EXPECT_TRUE(lines_of("").empty());
    EXPECT_EQ(lines_of("a\nb"), (std::vector<std::string>{"a\n", "b"}));
    EXPECT_EQ(lines_of("\n\n"), (std::vector<std::string>{"\n", "\n"}));
    std::string line(1023, 'x');
    EXPECT_EQ(lines_of(line + "\n"), (std::vector<std::string>{line, "\n"}));
    EXPECT_EQ(lines_of(std::string(1022, 'x') + "\n").size(), 1u);
    EXPECT_EQ(lines_of(std::string(2100, 'y')).size(), 3u);
}

TEST(ReadTextLine, DropsCarriageReturnOnlyBeforeLineFeed) {
    EXPECT_EQ(lines_of("a\r\nb\r\n"), (std::vector<std::string>{"a\n", "b\n"}));
    EXPECT_EQ(lines_of("a\rb\n"), (std::vector<std::string>{"a\rb\n"}));
    EXPECT_EQ(lines_of("a\r"), (std::vector<std::string>{"a\r"}));
    EXPECT_EQ(lines_of("a\r\r\n"), (std::vector<std::string>{"a\r\n"}));
    // A CR LF line that fits once the CR is gone comes in one piece.
    std::string text(1022, 'x');
    EXPECT_EQ(lines_of(text + "\r\n"), (std::vector<std::string>{text + "\n"}));
}

TEST(ReadTextLine, KeepsZeroBytesInTheLine) {
    std::vector<std::string> lines = lines_of(std::string("\0abc\nd\n", 7));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "");  // seen as an empty string
    EXPECT_EQ(lines[1], "d\n");
}
