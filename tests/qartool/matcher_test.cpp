// The pattern matcher and the time stamp records carry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "gather.h"
#include "wildcard.h"

namespace {

TEST(Wildcard, EveryRule) {
    struct {
        const char* pattern;
        std::vector<const char*> match, miss;
    } cases[] = {
        {"*.txt", {"a.txt", "x.y.txt"}, {"a.tx", ".txt", "a.TXT"}},
        {"*", {"", "abc"}, {".a"}},  // a leading dot needs a literal dot
        {"?*", {"a"}, {"", ".a"}},
        {"[.]abc", {".abc"}, {}}, {"\\.abc", {".abc"}, {}}, {"?abc", {"xabc"}, {".abc"}},
        {"a*", {"a", "ab"}, {"ba"}}, {"a**", {"ab"}, {"a"}}, {"*b*c", {"abcbc"}, {"abcbd"}},
        {"", {""}, {"a"}}, {"?", {"a"}, {"", "ab"}}, {"README", {"README"}, {"readme"}},
        {"[a-c]x", {"bx"}, {"dx", "b"}}, {"[!a-c]x", {"dx"}, {"bx"}}, {"[ac]", {"c"}, {"b"}},
        {"[-a]", {}, {"a", "-"}}, {"[!-a]", {"a"}, {}},
        {"[a-]x]", {"a", "x"}, {"]"}},  // one set: 'a', the empty range a..], 'x'
        {"[]x", {}, {"ax", "]x"}}, {"[!]x", {"]x"}, {"x"}},
        {"\\*", {"*"}, {"a"}}, {"a\\", {}, {"a\\", "a"}}, {"a\\\\", {"a\\"}, {}},
    };
    for (const auto& c : cases) {
        for (const char* name : c.match) EXPECT_EQ(1, wildcard_match(name, c.pattern)) << name << " ~ " << c.pattern;
        for (const char* name : c.miss) EXPECT_EQ(0, wildcard_match(name, c.pattern)) << name << " ~ " << c.pattern;
    }
    // A set left open at the end matches nothing and is not read past: each
    // pattern sits in a buffer of its exact size, so the sanitizer sees an over-read.
    for (const char* open : {"[", "[a", "[!", "[a-", "*[ab"}) {
        std::vector<char> exact(open, open + strlen(open) + 1);
        for (const char* name : {"", "a", "[", "a]"}) EXPECT_EQ(0, wildcard_match(name, exact.data())) << open;
    }
    // Backtracking over many stars stays cheap.
    std::string stars;
    for (int i = 0; i < 200; ++i) stars += "*a";
    EXPECT_EQ(0, wildcard_match(std::string(2000, 'a').c_str(), (stars + "b").c_str()));
}

std::string decoded(uint32_t stamp, int local) {
    PlatDateTime t;
    if (!decode_time_stamp(stamp, local, &t)) return "fails";
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
             t.minute, t.second);
    return buf;
}

// The stored value is the instant one month after the file's time.
TEST(TimeStamp, EncodeAndDecode) {
    EXPECT_EQ(1408098600u, encode_time_stamp({2014, 7, 15, 10, 30, 0}));
    EXPECT_EQ(1393848000u, encode_time_stamp({2014, 1, 31, 12, 0, 0}));   // 2014-03-03 12:00
    EXPECT_EQ(1422086400u, encode_time_stamp({2014, 12, 24, 8, 0, 0}));   // 2015-01-24 08:00
    EXPECT_EQ(0xFFFFFFFFu, encode_time_stamp({1969, 11, 30, 23, 59, 59}));  // before 1970
    setenv("TZ", "XST-9", 1);  // the listing decodes in the local zone, extraction in UTC
    tzset();
    struct { uint32_t stamp; int local; const char* text; } cases[] = {
        {1408098600u, 0, "2014-07-15 10:30:00"}, {1408098600u, 1, "2014-07-15 19:30:00"},
        {1422086400u, 0, "2014-12-24 08:00:00"},  // month field 0: December
        {0, 0, "1969-12-01 00:00:00"}, {0xFFFFFFFFu, 0, "fails"}, {0x80000000u, 1, "fails"}};
    for (const auto& c : cases) EXPECT_EQ(c.text, decoded(c.stamp, c.local)) << c.stamp;
    setenv("TZ", "UTC", 1);
    tzset();
}

}  // namespace
