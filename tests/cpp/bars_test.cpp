// Bars span from zero to their value on the centre of their category.
#include "meridan/charts/bars.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace mc = meridan::charts;

TEST(Bars, ColumnsSitBesideTheirCategoryCentre) {
    const std::vector<double> values{0.3, -0.1, 0.0};
    const auto left = mc::column_bars(values, -0.1, 0.2);
    ASSERT_EQ(left.size(), 3u);
    EXPECT_DOUBLE_EQ(left[0].x, 0.4);
    EXPECT_DOUBLE_EQ(left[1].x, 1.4);
    EXPECT_DOUBLE_EQ(left[2].x, 2.4);
    // A negative value hangs below the zero line.
    EXPECT_DOUBLE_EQ(left[1].y, -0.05);
    EXPECT_DOUBLE_EQ(left[1].height, 0.1);
    EXPECT_DOUBLE_EQ(left[1].width, 0.2);
    EXPECT_DOUBLE_EQ(left[2].height, 0.0);
    const auto right = mc::column_bars(values, 0.1, 0.2);
    EXPECT_DOUBLE_EQ(right[0].x, 0.6);
    EXPECT_DOUBLE_EQ(right[0].y, 0.15);
}

TEST(Bars, RowsSpanFromZeroToTheirValue) {
    const std::vector<double> values{-0.02, 0.01, 0.005, 0.03};
    const auto bars = mc::row_bars(values, 0.4);
    ASSERT_EQ(bars.size(), 4u);
    for (std::size_t i = 0; i < bars.size(); ++i) {
        EXPECT_DOUBLE_EQ(bars[i].y, static_cast<double>(i) + 0.5);
        EXPECT_DOUBLE_EQ(bars[i].height, 0.4);
        // The two ends of the bar are 0 and the value.
        const double lo = bars[i].x - bars[i].width / 2.0;
        const double hi = bars[i].x + bars[i].width / 2.0;
        EXPECT_DOUBLE_EQ(std::fmin(lo, hi) + std::fmax(lo, hi), values[i]);
        EXPECT_NEAR(values[i] < 0 ? hi : lo, 0.0, 1e-18);
    }
}

TEST(Bars, NanValueGivesNanBarAndEmptyInputNoBars) {
    const std::vector<double> values{std::numeric_limits<double>::quiet_NaN()};
    const auto bars = mc::row_bars(values, 0.4);
    EXPECT_TRUE(std::isnan(bars[0].x));
    EXPECT_TRUE(std::isnan(bars[0].width));
    EXPECT_TRUE(mc::column_bars({}, 0.1, 0.2).empty());
}
