#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wildcard.h"

namespace {

bool matches(const char* name, const char* pattern) { return wildcard_match(name, pattern) == 1; }

TEST(Wildcard, StarStopsWhenTheTextRunsOut) {
    EXPECT_TRUE(matches("a.txt", "*.txt"));
    EXPECT_TRUE(matches("x.y.txt", "*.txt"));
    EXPECT_FALSE(matches("a.tx", "*.txt"));
    EXPECT_TRUE(matches("a", "a*"));
    EXPECT_FALSE(matches("a", "a**"));  // two stars remain when the text ends
    EXPECT_TRUE(matches("ab", "a**"));
    EXPECT_TRUE(matches("abc", "a**c"));
    EXPECT_TRUE(matches("abcbc", "*b*c"));
    EXPECT_FALSE(matches("abcbd", "*b*c"));
    EXPECT_EQ(-1, match_rest("", "ab"));
    EXPECT_EQ(1, match_rest("", "*"));
    EXPECT_EQ(-1, match_rest("", "**"));
    EXPECT_EQ(-1, match_star("abc", "abcd"));
}

TEST(Wildcard, LeadingDotIsHiddenFromStarAndQuestionMark) {
    EXPECT_FALSE(matches(".txt", "*.txt"));
    EXPECT_FALSE(matches(".a", "*"));
    EXPECT_FALSE(matches(".a", "?*"));
    EXPECT_TRUE(matches("", "*"));
    EXPECT_FALSE(matches("", "?*"));
    EXPECT_TRUE(matches(".abc", "[.]abc"));
    EXPECT_TRUE(matches(".abc", "\\.abc"));
    EXPECT_FALSE(matches(".abc", "?abc"));
    EXPECT_TRUE(matches(".abc", ".*"));
}

TEST(Wildcard, EmptyPatternAndQuestionMark) {
    EXPECT_TRUE(matches("", ""));
    EXPECT_FALSE(matches("a", ""));
    EXPECT_FALSE(matches("", "?"));
    EXPECT_TRUE(matches("ab", "??"));
    EXPECT_FALSE(matches("ab", "?"));
    EXPECT_FALSE(matches("ab", "???"));
}

TEST(Wildcard, CaseMatters) {
    EXPECT_FALSE(matches("readme", "README"));
    EXPECT_FALSE(matches("a.txt", "*.TXT"));
    EXPECT_TRUE(matches("readme", "readme"));
}

TEST(Wildcard, SetsRangesAndNegation) {
    EXPECT_TRUE(matches("bx", "[a-c]x"));
    EXPECT_FALSE(matches("dx", "[a-c]x"));
    EXPECT_TRUE(matches("dx", "[!a-c]x"));
    EXPECT_FALSE(matches("bx", "[!a-c]x"));
    EXPECT_TRUE(matches("a", "[ac]"));
    EXPECT_TRUE(matches("c", "[ac]"));
    EXPECT_FALSE(matches("b", "[ac]"));
    EXPECT_TRUE(matches("^", "[^a]"));  // '^' is an ordinary member
    EXPECT_FALSE(matches("b", "[^a]"));
    EXPECT_FALSE(matches("^", "[!^a]"));
    EXPECT_TRUE(matches("5", "[0-9a-f]"));
    EXPECT_TRUE(matches("e", "[0-9a-f]"));
    EXPECT_FALSE(matches("g", "[0-9a-f]"));
}

TEST(Wildcard, DashRulesInSets) {
    // A leading '-' opens a range from nothing: its bound is no member.
    EXPECT_FALSE(matches("a", "[-a]"));
    EXPECT_FALSE(matches("-", "[-a]"));
    EXPECT_TRUE(matches("a", "[!-a]"));
    EXPECT_TRUE(matches("-", "[!-a]"));
    // "[a-]x]" is one set: 'a', then a range from 'a' down to ']' (empty), then 'x'.
    EXPECT_TRUE(matches("a", "[a-]x]"));
    EXPECT_TRUE(matches("x", "[a-]x]"));
    EXPECT_FALSE(matches("]", "[a-]x]"));
    EXPECT_FALSE(matches("ax", "[a-]x]"));
    // The upper bound becomes the previous character of a following range.
    EXPECT_TRUE(matches("e", "[a-c-f]"));
}

TEST(Wildcard, EmptyAndAllSets) {
    EXPECT_FALSE(matches("ax", "[]x"));
    EXPECT_FALSE(matches("]x", "[]x"));
    EXPECT_TRUE(matches("ax", "[!]x"));
    EXPECT_TRUE(matches("]x", "[!]x"));
    EXPECT_FALSE(matches("x", "[!]x"));
}

TEST(Wildcard, RangesCompareSignedBytes) {
    // Bytes from 0x80 sort below 0x00..0x7F.
    EXPECT_TRUE(matches("\xC0", "[\x80-a]"));
    EXPECT_TRUE(matches("A", "[\x80-a]"));
    EXPECT_FALSE(matches("\xC0", "[a-\xFF]"));
}

TEST(Wildcard, BackslashEscapes) {
    EXPECT_TRUE(matches("*", "\\*"));
    EXPECT_FALSE(matches("a", "\\*"));
    EXPECT_TRUE(matches("a?", "a\\?"));
    EXPECT_FALSE(matches("ab", "a\\?"));
    EXPECT_FALSE(matches("a", "a\\"));
    EXPECT_FALSE(matches("a\\", "a\\"));  // a final backslash compares with the end
    EXPECT_TRUE(matches("a\\", "a\\\\"));
}

// A pattern that ends inside a set must not be read past its end. The pattern
// is copied into a buffer that ends exactly at its terminating zero, so an
// over-read is caught by the sanitizer build; the result is "no match".
TEST(Wildcard, UnterminatedSetMatchesNothingAndStaysInBounds) {
    for (const char* pattern : {"[", "[a", "[!", "[a-", "a[b-", "*[", "*[ab", "[]", "[a-]"}) {
        size_t n = strlen(pattern) + 1;
        char* exact = new char[n];
        memcpy(exact, pattern, n);
        for (const char* name : {"", "a", "ab", "a]", "[", "b"})
            EXPECT_FALSE(matches(name, exact)) << name << " vs " << pattern;
        delete[] exact;
    }
}

TEST(Wildcard, ManyStarsFailQuickly) {
    std::string name(2000, 'a');
    std::string pattern;
    for (int i = 0; i < 200; ++i) pattern += "*a";
    pattern += "b";
    EXPECT_FALSE(matches(name.c_str(), pattern.c_str()));  // returns at once thanks to -1
    std::string stars(100000, '*');
    EXPECT_TRUE(matches(name.c_str(), stars.c_str()));
}

TEST(Wildcard, SixteenByteNames) {
    EXPECT_TRUE(matches("abcdefghijklmnop", "abcdefghijklmnop"));
    EXPECT_TRUE(matches("abcdefghijklmnop", "*p"));
    EXPECT_FALSE(matches("abcdefghijklmnop", "abcdefghijklmno"));
}

}  // namespace
