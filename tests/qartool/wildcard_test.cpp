#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "wildcard.h"

namespace {

struct Case {
    const char* name;
    const char* pattern;
    bool match;
};

void expect_cases(std::initializer_list<Case> cases) {
    for (const Case& c : cases)
        EXPECT_EQ(c.match, wildcard_match(c.name, c.pattern) == 1)
            << '"' << c.name << "\" vs \"" << c.pattern << '"';
}

TEST(Wildcard, StarsAndTheEndOfTheText) {
    expect_cases({{"a.txt", "*.txt", true}, {"x.y.txt", "*.txt", true}, {"a.tx", "*.txt", false},
                  {"a", "a*", true}, {"a", "a**", false},  // two stars remain at the end
                  {"ab", "a**", true}, {"abc", "a**c", true}, {"abcbc", "*b*c", true},
                  {"abcbd", "*b*c", false}, {"", "*", true}, {"", "", true}, {"a", "", false},
                  {"", "?", false}, {"ab", "??", true}, {"ab", "?", false}});
    EXPECT_EQ(-1, match_rest("", "**"));
    EXPECT_EQ(-1, match_star("abc", "abcd"));
}

TEST(Wildcard, LeadingDotAndCase) {
    expect_cases({{".txt", "*.txt", false}, {".a", "?*", false}, {"", "?*", false},
                  {".abc", "[.]abc", true}, {".abc", "\\.abc", true}, {".abc", "?abc", false},
                  {".abc", ".*", true}, {"readme", "README", false}, {"a.txt", "*.TXT", false}});
}

TEST(Wildcard, SetsRangesAndNegation) {
    expect_cases({{"bx", "[a-c]x", true}, {"dx", "[a-c]x", false}, {"dx", "[!a-c]x", true},
                  {"bx", "[!a-c]x", false}, {"c", "[ac]", true}, {"b", "[ac]", false},
                  {"^", "[^a]", true},  // '^' is an ordinary member
                  {"e", "[a-c-f]", true},  // a range's bound starts the next range
                  {"a", "[-a]", false}, {"-", "[-a]", false}, {"a", "[!-a]", true},
                  // "[a-]x]" is one set: 'a', an empty range from 'a' down to ']', 'x'.
                  {"a", "[a-]x]", true}, {"x", "[a-]x]", true}, {"]", "[a-]x]", false},
                  {"ax", "[]x", false}, {"]x", "[!]x", true}, {"x", "[!]x", false},
                  // Ranges compare signed bytes: 0x80 and up sort below ASCII.
                  {"\xC0", "[\x80-a]", true}, {"\xC0", "[a-\xFF]", false}});
}

TEST(Wildcard, BackslashEscapes) {
    expect_cases({{"*", "\\*", true}, {"a", "\\*", false}, {"a?", "a\\?", true},
                  {"ab", "a\\?", false}, {"a\\", "a\\", false}, {"a\\", "a\\\\", true}});
}

// A pattern that ends inside a set matches nothing and is never read past its
// end: each pattern sits in a buffer that ends at its terminating zero, so
// the sanitizer build catches an over-read.
TEST(Wildcard, UnterminatedSetStaysInBounds) {
    for (const char* pattern : {"[", "[a", "[!", "[a-", "a[b-", "*[", "*[ab", "[a-]"}) {
        std::unique_ptr<char[]> exact(new char[strlen(pattern) + 1]);
        memcpy(exact.get(), pattern, strlen(pattern) + 1);
        for (const char* name : {"", "a", "ab", "a]", "["})
            EXPECT_EQ(0, wildcard_match(name, exact.get())) << name << " vs " << pattern;
    }
}

TEST(Wildcard, ManyStarsStayCheap) {
    std::string name(2000, 'a'), pattern;
    for (int i = 0; i < 200; ++i) pattern += "*a";
    EXPECT_EQ(0, wildcard_match(name.c_str(), (pattern + "b").c_str()));
    EXPECT_EQ(1, wildcard_match(name.c_str(), std::string(100000, '*').c_str()));
}

}  // namespace
