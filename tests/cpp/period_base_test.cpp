// Standard period bases and the profit-and-loss summary built on them.
#include "meridan/periods/period_base.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "meridan/dates/civil.hpp"
#include "meridan/profit/profit_summary.hpp"

namespace mp = meridan::periods;
namespace mf = meridan::profit;

namespace {

std::int64_t day(int y, int m, int d) {
    return meridan::dates::days_from_civil(y, m, d);
}

}  // namespace

TEST(PeriodBase, RollingBaseDaysClampToMonthEnd) {
    struct {
        std::int64_t end;
        int months;
        std::int64_t base;
    } cases[] = {
        {day(2017, 3, 31), 1, day(2017, 2, 28)},
        {day(2016, 3, 31), 1, day(2016, 2, 29)},
        {day(2017, 5, 31), 3, day(2017, 2, 28)},
        {day(2017, 8, 31), 6, day(2017, 2, 28)},
        {day(2016, 2, 29), 12, day(2015, 2, 28)},
        {day(2017, 1, 15), 1, day(2016, 12, 15)},
        {day(2017, 7, 31), 1, day(2017, 6, 30)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mp::iso_day(mp::rolling_base_day(c.end, c.months)),
                  mp::iso_day(c.base));
    }
}

TEST(PeriodBase, BasePositionIsFirstOnOrAfter) {
    const std::vector<std::int64_t> days{10, 12, 12, 15};
    EXPECT_EQ(mp::base_position(days, std::nullopt), 0u);
    EXPECT_EQ(mp::base_position(days, 5), 0u);
    EXPECT_EQ(mp::base_position(days, 12), 1u);  // first of repeated days
    EXPECT_EQ(mp::base_position(days, 13), 3u);
    EXPECT_EQ(mp::base_position(days, 16), std::nullopt);
    EXPECT_EQ(mp::base_position({}, std::nullopt), std::nullopt);
}

namespace {

struct Series {
    std::vector<std::int64_t> days;
    std::vector<double> values;
    mf::DatedValues view() const { return {days, values}; }
};

// Daily values 100, 101, ... on every calendar day from `first` through `last`.
Series daily(std::int64_t first, std::int64_t last, double step = 1.0) {
    Series s;
    for (std::int64_t d = first; d <= last; ++d) {
        s.days.push_back(d);
        s.values.push_back(100.0 + step * static_cast<double>(d - first));
    }
    return s;
}

}  // namespace

TEST(ProfitSummary, BaseAfterTheLastValueNamesSeriesAndPeriod) {
    const Series p = daily(day(2017, 1, 2), day(2017, 3, 31));
    const Series b = daily(day(2017, 1, 2), day(2017, 2, 10));  // ends early
    try {
        mf::profit_summary(p.view(), b.view(), p.days.back(), {}, 88);
        FAIL() << "no exception";
    } catch (const mf::EmptyPeriod& e) {
        EXPECT_EQ(std::string(e.what()),
                  "benchmark series has no value on or after 2017-02-28, the base of "
                  "\"one_month\"");
    }
}
