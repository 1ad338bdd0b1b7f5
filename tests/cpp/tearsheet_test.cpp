// Tearsheet figures on series small enough to work by hand: drawdown episodes and
// their ranking, calendar returns across gaps and year ends, and rolling figures
// against the full-range risk figures of the same window.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "meridan/dates/civil.hpp"
#include "meridan/risk/figures.hpp"
#include "meridan/tearsheet/drawdowns.hpp"
#include "meridan/tearsheet/monthly.hpp"
#include "meridan/tearsheet/rolling.hpp"

namespace ts = meridan::tearsheet;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::int64_t day(int y, int m, int d) {
    return meridan::dates::days_from_civil(y, m, d);
}
}  // namespace

TEST(WorstDrawdowns, EpisodesRankedDeepestFirst) {
    // Peak 10 (day 1, flat from day 0) falls to 8 then 7 (day 4), back at 10 on day 5;
    // new peak 12 (day 6) falls to 9 (day 7) and never gets back.
    const std::vector<double> v{10, 10, 9, 8, 7, 10, 12, 9, 11};
    const auto d = ts::worst_drawdowns(v, 5);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].start, 1u);
    EXPECT_EQ(d[0].trough, 4u);
    ASSERT_TRUE(d[0].recovery.has_value());
    EXPECT_EQ(*d[0].recovery, 5u);
    EXPECT_EQ(d[0].length, 4u);
    EXPECT_DOUBLE_EQ(d[0].depth, -0.3);
    EXPECT_EQ(d[1].start, 6u);
    EXPECT_EQ(d[1].trough, 7u);
    EXPECT_FALSE(d[1].recovery.has_value());
    EXPECT_EQ(d[1].length, 2u);  // to the last day
    EXPECT_DOUBLE_EQ(d[1].depth, -0.25);
    // At most `top`, the deepest kept.
    const auto one = ts::worst_drawdowns(v, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].start, 1u);
    EXPECT_TRUE(ts::worst_drawdowns(v, 0).empty());
}

TEST(WorstDrawdowns, NoFallNoEpisodeAndTiesKeepDateOrder) {
    EXPECT_TRUE(ts::worst_drawdowns(std::vector<double>{5.0}, 5).empty());
    EXPECT_TRUE(ts::worst_drawdowns(std::vector<double>{1, 2, 2, 3}, 5).empty());
    EXPECT_TRUE(ts::worst_drawdowns({}, 5).empty());
    // Two 50 % falls; the earlier is listed first. Recovery exactly at the peak.
    const auto d = ts::worst_drawdowns(std::vector<double>{2, 1, 2, 4, 2, 4}, 5);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].start, 0u);
    EXPECT_EQ(d[1].start, 3u);
    EXPECT_EQ(*d[1].recovery, 5u);
    // The lowest value's first day is the trough.
    const auto t = ts::worst_drawdowns(std::vector<double>{4, 1, 2, 1, 4}, 5);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].trough, 1u);
}

TEST(MonthlyReturns, MonthsFromTheLastValueBeforeThem) {
    // Dec 2020 (first value 100, last 110), no January, Feb 2021 ends 121, Mar 2021
    // ends 108.9.
    const std::vector<std::int64_t> days{day(2020, 12, 30), day(2020, 12, 31),
                                         day(2021, 2, 1), day(2021, 2, 26),
                                         day(2021, 3, 31)};
    const std::vector<double> values{100, 110, 115, 121, 108.9};
    const ts::MonthlyTable t = ts::monthly_returns(days, values);
    ASSERT_EQ(t.first_year, 2020);
    ASSERT_EQ(t.years, 2u);
    auto cell = [&](std::size_t row, std::size_t col) {
        return t.cells[row * 13 + col];
    };
    for (std::size_t m = 0; m < 11; ++m) EXPECT_TRUE(std::isnan(cell(0, m)));
    EXPECT_NEAR(cell(0, 11), 0.1, 1e-15);
    EXPECT_NEAR(cell(0, 12), 0.1, 1e-15);
    EXPECT_TRUE(std::isnan(cell(1, 0)));
    EXPECT_NEAR(cell(1, 1), 0.1, 1e-15);  // from December's 110
    EXPECT_NEAR(cell(1, 2), 108.9 / 121 - 1, 1e-15);
    EXPECT_NEAR(cell(1, 12), 108.9 / 110 - 1, 1e-15);
    EXPECT_EQ(ts::monthly_returns({}, {}).years, 0u);
}

TEST(MonthlyReturns, OneDayAndAYearWithoutData) {
    const std::vector<std::int64_t> one{day(2019, 5, 6)};
    const ts::MonthlyTable t = ts::monthly_returns(one, std::vector<double>{3.0});
    ASSERT_EQ(t.years, 1u);
    EXPECT_EQ(t.cells[4], 0.0);
    EXPECT_EQ(t.cells[12], 0.0);
    const std::vector<std::int64_t> gap{day(2018, 1, 2), day(2020, 1, 2)};
    const ts::MonthlyTable g = ts::monthly_returns(gap, std::vector<double>{1.0, 2.0});
    ASSERT_EQ(g.years, 3u);
    EXPECT_TRUE(std::isnan(g.cells[13 + 12]));
    EXPECT_NEAR(g.cells[26 + 0], 1.0, 1e-15);
    EXPECT_NEAR(g.cells[26 + 12], 1.0, 1e-15);
}

TEST(RollingFigures, EachWindowAsTheFullRangeFigures) {
    const std::vector<double> r{0.01, -0.02, 0.015, kNaN, 0.003, -0.007, 0.02, 0.0};
    const std::vector<double> b{0.005, -0.01, 0.02, 0.01, kNaN, -0.004, 0.012, 0.001};
    const std::size_t w = 4;
    const ts::RollingFigures f = ts::rolling_figures(r, b, 0.03, w, 244.0);
    ASSERT_EQ(f.volatility.size(), r.size());
    for (std::size_t i = 0; i < w - 1; ++i) {
        EXPECT_TRUE(std::isnan(f.volatility[i]) && std::isnan(f.beta[i]) &&
                    std::isnan(f.sharpe[i]));
    }
    for (std::size_t end = w; end <= r.size(); ++end) {
        const auto from = static_cast<std::ptrdiff_t>(end - w);
        const std::vector<double> rw(r.begin() + from, r.begin() + from + 4);
        const std::vector<double> bw(b.begin() + from, b.begin() + from + 4);
        const auto full = meridan::risk::risk_figures(rw, bw, 0.03, 244.0);
        const std::size_t i = end - 1;
        EXPECT_DOUBLE_EQ(f.volatility[i], full.volatility) << i;
        EXPECT_DOUBLE_EQ(f.beta[i], full.beta) << i;
        EXPECT_DOUBLE_EQ(f.sharpe[i], full.sharpe) << i;
    }
}

TEST(RollingFigures, UndefinedWindowsAreNaN) {
    // A constant window has no variance: volatility 0, Sharpe and beta undefined.
    const std::vector<double> c{0.01, 0.01, 0.01};
    const auto f = ts::rolling_figures(c, c, 0.0, 3, 244.0);
    EXPECT_EQ(f.volatility[2], 0.0);
    EXPECT_TRUE(std::isnan(f.sharpe[2]));
    EXPECT_TRUE(std::isnan(f.beta[2]));
    // An infinite return spoils every window holding it; an infinite benchmark
    // return only the beta.
    const std::vector<double> r{0.01, kInf, 0.02, 0.03};
    const std::vector<double> b{0.01, 0.02, kInf, 0.01};
    const auto g = ts::rolling_figures(r, b, 0.0, 2, 244.0);
    EXPECT_TRUE(std::isnan(g.volatility[1]) && std::isnan(g.volatility[2]));
    EXPECT_TRUE(std::isnan(g.beta[3]));
    EXPECT_TRUE(std::isfinite(g.volatility[3]));
    // A window longer than the data: nothing defined.
    const auto h = ts::rolling_figures(c, c, 0.0, 5, 244.0);
    EXPECT_TRUE(std::isnan(h.volatility[2]));
    EXPECT_THROW(ts::rolling_figures(c, c, 0.0, 0, 244.0), std::invalid_argument);
}
