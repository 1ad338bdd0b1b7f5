// Reindexing, label slices and relative changes, checked against what the pandas
// expression named in each test gives.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "meridan/series/alignment.hpp"
#include "meridan/series/changes.hpp"
#include "meridan/series/label_slice.hpp"

namespace ms = meridan::series;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Days = std::vector<std::int64_t>;
using Values = std::vector<double>;

// Element-wise equality with NaN equal to NaN.
void expect_same(const Values& got, const Values& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(want[i]))
            EXPECT_TRUE(std::isnan(got[i])) << i;
        else
            EXPECT_DOUBLE_EQ(got[i], want[i]) << i;
    }
}
}  // namespace

TEST(Alignment, ForwardFillTakesLatestEarlierValue) {
    // s = pd.Series([1, nan, 3, 4], [2, 3, 6, 6]); s.reindex([1, 2, 3, 4, 6, 9],
    // method="ffill") (the repeated day answers its last value; a stored NaN is not
    // filled)
    expect_same(ms::reindex_ffill(Days{2, 3, 6, 6}, Values{1, kNaN, 3, 4},
                                  Days{1, 2, 3, 4, 6, 9}),
                Values{kNaN, 1, kNaN, kNaN, 4, 4});
    // Targets in any order, repeated: each on its own (s.reindex([9, 1, 6, 2, 2, 7],
    // method="ffill"))
    expect_same(ms::reindex_ffill(Days{2, 3, 6, 6}, Values{1, kNaN, 3, 4},
                                  Days{9, 1, 6, 2, 2, 7}),
                Values{4, kNaN, 4, 1, 1, 4});
    EXPECT_THROW(ms::reindex_ffill(Days{3, 2}, Values{1, 2}, Days{2}),
                 std::invalid_argument);
}

TEST(Alignment, FillValueForMissingDays) {
    // pd.Series([0.1, 0.2, nan], [5, 1, 3]).reindex([1, 2, 3, 5], fill_value=0.0)
    expect_same(
        ms::reindex_fill(Days{5, 1, 3}, Values{0.1, 0.2, kNaN}, Days{1, 2, 3, 5}, 0.0),
        Values{0.2, 0.0, kNaN, 0.1});
    EXPECT_THROW(ms::reindex_fill(Days{1, 1}, Values{1, 2}, Days{1}, 0.0),
                 std::invalid_argument);
}

TEST(LabelSlice, BothEndsIncludedWhetherOrNotLabels) {
    const Days days{10, 11, 14, 15, 15, 20};
    EXPECT_EQ(ms::label_slice(days, 11, 15), (ms::PositionRange{1, 5}));
    EXPECT_EQ(ms::label_slice(days, 12, 13), (ms::PositionRange{2, 2}));
    EXPECT_EQ(ms::label_slice(days, 0, 100), (ms::PositionRange{0, 6}));
    EXPECT_EQ(ms::label_slice(days, 16, 12).size(), 0u);
    EXPECT_TRUE(ms::is_ascending(days));
    EXPECT_FALSE(ms::is_ascending(Days{2, 1}));
}

TEST(Changes, PadFilledLikeOldPctChange) {
    // pd.Series(v).ffill().pipe(lambda s: s / s.shift() - 1)
    expect_same(
        ms::pad_filled_changes(Values{kNaN, 2, kNaN, 4, 0, 5}),
        Values{kNaN, kNaN, 0.0, 1.0, -1.0, std::numeric_limits<double>::infinity()});
    expect_same(ms::pad_filled_changes(Values{}), Values{});
    expect_same(ms::changes_since_first(Values{2, 3, kNaN, 1}),
                Values{0.0, 0.5, kNaN, -0.5});
}
