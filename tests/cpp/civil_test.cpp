// Day numbers, month arithmetic and day lookup.
#include "meridan/dates/civil.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace md = meridan::dates;

TEST(Civil, KnownDayNumbers) {
    EXPECT_EQ(md::days_from_civil(1970, 1, 1), 0);
    EXPECT_EQ(md::days_from_civil(2000, 3, 1), 11017);
    EXPECT_EQ(md::days_from_civil(1969, 12, 31), -1);
    EXPECT_EQ(md::days_from_civil(2017, 6, 30), 17347);
}

TEST(Civil, RoundTripsEveryDayOverFourCenturies) {
    for (std::int64_t n = md::days_from_civil(1800, 1, 1);
         n <= md::days_from_civil(2200, 12, 31); ++n) {
        const md::CivilDay c = md::civil_from_days(n);
        ASSERT_TRUE(md::is_valid(c.year, c.month, c.day));
        ASSERT_EQ(md::days_from_civil(c.year, c.month, c.day), n);
    }
}

TEST(Civil, Validity) {
    EXPECT_TRUE(md::is_valid(2016, 2, 29));
    EXPECT_FALSE(md::is_valid(2017, 2, 29));
    EXPECT_FALSE(md::is_valid(1900, 2, 29));
    EXPECT_TRUE(md::is_valid(2000, 2, 29));
    EXPECT_FALSE(md::is_valid(2017, 4, 31));
    EXPECT_FALSE(md::is_valid(2017, 13, 1));
    EXPECT_FALSE(md::is_valid(2017, 0, 1));
}

TEST(Civil, TicksBeforeMidnightBelongToThePreviousDay) {
    const std::int64_t ns_per_day = 86'400'000'000'000;
    EXPECT_EQ(md::day_of_ticks(0, ns_per_day), 0);
    EXPECT_EQ(md::day_of_ticks(ns_per_day - 1, ns_per_day), 0);
    EXPECT_EQ(md::day_of_ticks(-1, ns_per_day), -1);
    EXPECT_EQ(md::day_of_ticks(-ns_per_day, ns_per_day), -1);
}

TEST(Civil, AddMonthsClampsToMonthEnd) {
    EXPECT_EQ(md::add_months({2017, 3, 31}, -1), (md::CivilDay{2017, 2, 28}));
    EXPECT_EQ(md::add_months({2016, 3, 31}, -1), (md::CivilDay{2016, 2, 29}));
    EXPECT_EQ(md::add_months({2017, 1, 15}, -1), (md::CivilDay{2016, 12, 15}));
    EXPECT_EQ(md::add_months({2017, 8, 31}, 6), (md::CivilDay{2018, 2, 28}));
    EXPECT_EQ(md::add_months({2017, 6, 30}, -12), (md::CivilDay{2016, 6, 30}));
    EXPECT_EQ(md::add_months({2016, 2, 29}, 12), (md::CivilDay{2017, 2, 28}));
}

TEST(Civil, FindDayReturnsFirstMatch) {
    const std::vector<std::int64_t> days{5, 7, 7, 9};
    EXPECT_EQ(md::find_day(days, 7), std::optional<std::size_t>(1));
    EXPECT_EQ(md::find_day(days, 6), std::nullopt);
    EXPECT_EQ(md::find_day(std::span<const std::int64_t>{}, 6), std::nullopt);
}
