// The time stamp that records carry. Expected seconds are computed
// independently (seconds since 1970 of the stated UTC instants).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "gather.h"
#include "platform.h"

namespace {

PlatDateTime at(int year, int month, int day, int hour, int minute, int second) {
    return PlatDateTime{year, month, day, hour, minute, second};
}

std::string text(const PlatDateTime& t) {
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
             t.minute, t.second);
    return buf;
}

std::string decoded(uint32_t stamp, int local) {
    PlatDateTime t;
    return decode_time_stamp(stamp, local, &t) ? text(t) : "fails";
}

TEST(TimeStamp, EncodesTheInstantOneMonthLater) {
    EXPECT_EQ(1408098600u, encode_time_stamp(at(2014, 7, 15, 10, 30, 0)));  // 2014-08-15
    EXPECT_EQ(1393848000u, encode_time_stamp(at(2014, 1, 31, 12, 0, 0)));   // 2014-03-03
    EXPECT_EQ(1422086400u, encode_time_stamp(at(2014, 12, 24, 8, 0, 0)));   // 2015-01-24
    EXPECT_EQ(0u, encode_time_stamp(at(1969, 12, 1, 0, 0, 0)));             // 1970-01-01
    EXPECT_EQ(0xFFFFFFFFu, encode_time_stamp(at(1969, 11, 30, 23, 59, 59)));  // before 1970
}

TEST(TimeStamp, DecodesBackIncludingDecember) {
    EXPECT_EQ("2014-07-15 10:30:00", decoded(1408098600u, 0));
    EXPECT_EQ("2014-12-24 08:00:00", decoded(1422086400u, 0));  // month field 0
    EXPECT_EQ("1969-12-01 00:00:00", decoded(0, 0));
    EXPECT_EQ("2037-12-19 03:14:07", decoded(0x7FFFFFFFu, 0));
    EXPECT_EQ("fails", decoded(0xFFFFFFFFu, 0));
    EXPECT_EQ("fails", decoded(0x80000000u, 1));
    for (int month = 1; month <= 12; ++month) {
        PlatDateTime t = at(2013, month, 28, 23, 59, 58);
        EXPECT_EQ(text(t), decoded(encode_time_stamp(t), 0));
    }
}

TEST(TimeStamp, ListingUsesTheLocalZone) {
    setenv("TZ", "XST-9", 1);  // nine hours east of UTC, no daylight saving
    tzset();
    EXPECT_EQ("2014-07-15 19:30:00", decoded(1408098600u, 1));
    setenv("TZ", "UTC", 1);
    tzset();
}

}  // namespace
