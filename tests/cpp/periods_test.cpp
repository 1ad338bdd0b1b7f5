// Start days of the standard periods, month-end clamping included.
#include <gtest/gtest.h>

#include "meridan/dates/civil.hpp"
#include "meridan/periods/standard.hpp"

namespace mp = meridan::periods;
namespace md = meridan::dates;

namespace {
std::int64_t d(int y, int m, int day) { return md::days_from_civil(y, m, day); }
}  // namespace

TEST(Periods, StartDays) {
    struct Case {
        mp::Period period;
        std::int64_t last, expected;
    };
    const std::int64_t first = d(2015, 3, 9);
    const Case cases[] = {
        {mp::Period::one_month, d(2018, 3, 31), d(2018, 2, 28)},
        {mp::Period::one_month, d(2016, 3, 31), d(2016, 2, 29)},
        {mp::Period::one_month, d(2018, 1, 15), d(2017, 12, 15)},
        {mp::Period::three_month, d(2018, 5, 31), d(2018, 2, 28)},
        {mp::Period::six_month, d(2018, 8, 31), d(2018, 2, 28)},
        {mp::Period::one_year, d(2016, 2, 29), d(2015, 2, 28)},
        {mp::Period::one_year, d(2018, 7, 4), d(2017, 7, 4)},
        {mp::Period::this_month, d(2018, 7, 4), d(2018, 7, 1)},
        {mp::Period::this_year, d(2018, 1, 3), d(2018, 1, 1)},
        {mp::Period::total, d(2018, 7, 4), first},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mp::period_start(c.period, c.last, first), c.expected)
            << mp::key(c.period);
    }
}

TEST(Periods, KeysRoundTripInResultOrder) {
    EXPECT_EQ(mp::key(mp::kStandardPeriods.front()), "one_month");
    EXPECT_EQ(mp::key(mp::kStandardPeriods.back()), "total");
    for (auto p : mp::kStandardPeriods) EXPECT_EQ(mp::from_key(mp::key(p)), p);
    EXPECT_FALSE(mp::from_key("annualized_total"));
}
