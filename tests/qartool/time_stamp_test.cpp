// The time stamp that records carry, and the calendar conversions of the
// platform layer beneath it. The expected seconds are computed independently
// (seconds since 1970 of the stated UTC instants).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "gather.h"
#include "platform.h"

namespace {

PlatDateTime at(int year, int month, int day, int hour, int minute, int second) {
    return PlatDateTime{year, month, day, hour, minute, second};
}

void expect_same(const PlatDateTime& want, const PlatDateTime& got) {
    EXPECT_EQ(want.year, got.year);
    EXPECT_EQ(want.month, got.month);
    EXPECT_EQ(want.day, got.day);
    EXPECT_EQ(want.hour, got.hour);
    EXPECT_EQ(want.minute, got.minute);
    EXPECT_EQ(want.second, got.second);
}

TEST(TimeStamp, EncodesTheInstantOneMonthLater) {
    EXPECT_EQ(1408098600u, encode_time_stamp(at(2014, 7, 15, 10, 30, 0)));  // 2014-08-15
    EXPECT_EQ(1393848000u, encode_time_stamp(at(2014, 1, 31, 12, 0, 0)));   // 2014-03-03
    EXPECT_EQ(1422086400u, encode_time_stamp(at(2014, 12, 24, 8, 0, 0)));   // 2015-01-24
}

TEST(TimeStamp, DatesBefore1970AreAllBitsSet) {
    EXPECT_EQ(0xFFFFFFFFu, encode_time_stamp(at(1969, 11, 30, 0, 0, 0)));
    EXPECT_EQ(0xFFFFFFFFu, encode_time_stamp(at(1900, 1, 1, 0, 0, 0)));
    // December 1969 is shifted into January 1970 and so is representable.
    EXPECT_EQ(0u, encode_time_stamp(at(1969, 12, 1, 0, 0, 0)));
}

TEST(TimeStamp, DecodesBackToTheFileTime) {
    PlatDateTime got;
    ASSERT_EQ(1, decode_time_stamp(1408098600u, 0, &got));
    expect_same(at(2014, 7, 15, 10, 30, 0), got);
    // The largest instant the field holds read as signed.
    ASSERT_EQ(1, decode_time_stamp(2147483647u, 0, &got));
    expect_same(at(2037, 12, 19, 3, 14, 7), got);
}

TEST(TimeStamp, DecemberRoundTripsThroughMonthZero) {
    for (int year : {1970, 1999, 2014, 2036}) {
        PlatDateTime got;
        ASSERT_EQ(1, decode_time_stamp(encode_time_stamp(at(year, 12, 24, 8, 0, 0)), 0, &got));
        expect_same(at(year, 12, 24, 8, 0, 0), got);
    }
}

TEST(TimeStamp, EveryMonthRoundTripsWhenTheDayExistsNextMonth) {
    for (int month = 1; month <= 12; ++month) {
        PlatDateTime got;
        ASSERT_EQ(1, decode_time_stamp(encode_time_stamp(at(2013, month, 28, 23, 59, 58)), 0,
                                       &got));
        expect_same(at(2013, month, 28, 23, 59, 58), got);
    }
}

TEST(TimeStamp, NegativeValuesCannotBeDecoded) {
    PlatDateTime got;
    EXPECT_EQ(0, decode_time_stamp(0xFFFFFFFFu, 0, &got));
    EXPECT_EQ(0, decode_time_stamp(0x80000000u, 1, &got));
}

TEST(TimeStamp, ListingUsesTheLocalZone) {
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "XST-9", 1);  // nine hours east of UTC, no daylight saving
    tzset();
    PlatDateTime got;
    ASSERT_EQ(1, decode_time_stamp(1408098600u, 1, &got));
    expect_same(at(2014, 7, 15, 19, 30, 0), got);
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(PlatformTime, MkgmtimeNormalisesOutOfRangeFields) {
    EXPECT_EQ(1422086400, plat_mkgmtime(PlatTm{114, 12, 24, 8, 0, 0}));  // month 12
    EXPECT_EQ(1393848000, plat_mkgmtime(PlatTm{114, 1, 31, 12, 0, 0}));  // 31 February
    EXPECT_EQ(0, plat_mkgmtime(PlatTm{70, 0, 1, 0, 0, 0}));
    EXPECT_EQ(-1, plat_mkgmtime(PlatTm{69, 11, 31, 23, 59, 59}));
    EXPECT_EQ(-1, plat_mkgmtime(PlatTm{60, 0, 1, 0, 0, 0}));
}

TEST(PlatformTime, GmtimeRefusesNegativeSeconds) {
    PlatTm t;
    EXPECT_EQ(0, plat_gmtime(-1, &t));
    ASSERT_EQ(1, plat_gmtime(0, &t));
    EXPECT_EQ(70, t.year);
    EXPECT_EQ(0, t.month);
    EXPECT_EQ(1, t.day);
}

}  // namespace
