// Statement times read in C++: the forms handled, and everything left to the full
// reader (which accepts or rejects it with its own message).
#include "meridan/dates/parse.hpp"

#include <gtest/gtest.h>

#include <string>

namespace md = meridan::dates;

TEST(ParseLocalTime, ReadsTheCommonForms) {
    struct Case {
        const char* text;
        md::LocalTime expected;
    } cases[] = {
        {"2017-06-30", {2017, 6, 30, 0, 0, 0, 0}},
        {"2017/6/3", {2017, 6, 3, 0, 0, 0, 0}},
        {"20170630", {2017, 6, 30, 0, 0, 0, 0}},
        {"  2017-06-30 09:31 ", {2017, 6, 30, 9, 31, 0, 0}},
        {"2017-06-30T9:31:05", {2017, 6, 30, 9, 31, 5, 0}},
        {"20170630  14:00:00.5", {2017, 6, 30, 14, 0, 0, 500000}},
        {"2017-06-30 14:00:00,123456", {2017, 6, 30, 14, 0, 0, 123456}},
        {"2016-02-29 23:59:59", {2016, 2, 29, 23, 59, 59, 0}},
    };
    for (const auto& c : cases) {
        const auto t = md::parse_local_time(c.text);
        ASSERT_TRUE(t) << c.text;
        EXPECT_EQ(t->epoch_microseconds(), c.expected.epoch_microseconds()) << c.text;
    }
}

TEST(ParseLocalTime, LeavesEverythingElseToTheFullReader) {
    for (const char* text :
         {"", "   ", "2017-02-30", "2017-13-01", "2017-06-30 24:00", "2017-06-30 09:61",
          "2017-0630", "2017-06/30", "30/06/2017", "yesterday", "2017-06-30 garbage",
          "2017-06-30 09:31:05+08:00", "2017-06-30T09:31Z",
          "2017-06-30 09:31:05.1234567", "1899-12-31", "2200-01-01", "9999-12-31",
          "2017-06-30 9", "201706301"}) {
        EXPECT_FALSE(md::parse_local_time(text)) << text;
    }
}

TEST(ParseLocalTime, EpochMicroseconds) {
    EXPECT_EQ((md::LocalTime{1970, 1, 1, 0, 0, 0, 1}).epoch_microseconds(), 1);
    EXPECT_EQ((md::LocalTime{1969, 12, 31, 23, 59, 59, 0}).epoch_microseconds(),
              -1'000'000);
}
