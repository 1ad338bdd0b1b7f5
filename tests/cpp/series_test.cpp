// Reindexing with carried values, pad-filled changes and slice starts, each against
// the pandas expression it reproduces (worked out by hand here).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "meridan/series/daily.hpp"

namespace ms = meridan::series;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void expect_same(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(want[i]))
            EXPECT_TRUE(std::isnan(got[i])) << i;
        else
            EXPECT_DOUBLE_EQ(got[i], want[i]) << i;
    }
}
}  // namespace

TEST(Series, ReindexCarriesTheLatestEarlierValue) {
    // Source days 10, 12 (value NaN), 13, 13 (later wins), 16; targets around them.
    const std::vector<std::int64_t> src{10, 12, 13, 13, 16};
    const std::vector<double> vals{1.0, kNaN, 3.0, 4.0, 5.0};
    const std::vector<std::int64_t> dst{9, 10, 11, 12, 14, 16, 20};
    expect_same(ms::reindex_pad(src, vals, dst), {kNaN, 1.0, 1.0, kNaN, 4.0, 5.0, 5.0});
    expect_same(ms::reindex_pad({}, {}, dst), std::vector<double>(dst.size(), kNaN));
    // Targets out of order are looked up one by one.
    const std::vector<std::int64_t> shuffled{16, 9, 13, 11};
    expect_same(ms::reindex_pad(src, vals, shuffled), {5.0, kNaN, 4.0, 1.0});
}

TEST(Series, PctChangeFillsMissingValuesForward) {
    expect_same(ms::pct_change_pad(std::vector<double>{kNaN, 2.0, kNaN, 3.0, 1.5}),
                {kNaN, kNaN, 0.0, 0.5, -0.5});
    expect_same(ms::pct_change_pad(std::vector<double>{1.0}), {kNaN});
    expect_same(ms::pct_change_pad({}), {});
    EXPECT_TRUE(std::isinf(ms::pct_change_pad(std::vector<double>{0.0, 1.0})[1]));
}

TEST(Series, SliceStartAndOrder) {
    const std::vector<std::int64_t> days{3, 5, 8};
    EXPECT_EQ(ms::first_on_or_after(days, 1), 0u);
    EXPECT_EQ(ms::first_on_or_after(days, 5), 1u);
    EXPECT_EQ(ms::first_on_or_after(days, 6), 2u);
    EXPECT_EQ(ms::first_on_or_after(days, 9), 3u);
    EXPECT_FALSE(ms::first_out_of_order(days));
    EXPECT_EQ(ms::first_out_of_order(std::vector<std::int64_t>{3, 3, 2}), 2u);
}
