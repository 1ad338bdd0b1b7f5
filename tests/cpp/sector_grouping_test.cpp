// Grouping of instrument weights and returns into sector slots.
#include "meridan/brinson/sector_grouping.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace mb = meridan::brinson;

constexpr double nan_ = std::numeric_limits<double>::quiet_NaN();

TEST(SectorGrouping, WeightAveragedReturnsPerSlot) {
    // Two stocks of slot 0 (weights 0.3 and 0.1, returns 10 % and 30 %): weight 0.4,
    // return (0.03 + 0.03) / 0.4 = 15 %. One of slot 2; one unclassified.
    const std::vector<double> w = {0.3, 0.2, 0.1, 0.25};
    const std::vector<double> r = {0.10, -0.05, 0.30, 0.9};
    const std::vector<int> s = {0, 2, 0, mb::kNoSector};
    const auto g = mb::group_by_sector(w, r, s, s, 3);
    EXPECT_NEAR(g.weight[0], 0.4, 1e-15);
    EXPECT_NEAR(g.ret[0], 0.15, 1e-15);
    EXPECT_EQ(g.weight[1], 0.0);
    EXPECT_EQ(g.ret[1], 0.0);
    EXPECT_EQ(g.weight[2], 0.2);
    EXPECT_NEAR(g.ret[2], -0.05, 1e-15);
}

TEST(SectorGrouping, ZeroWeightSectorHasReturnZeroAndMissingValuesAreSkipped) {
    // A zero-value position alone in its sector: 0.0, not 0/0. A missing return
    // contributes nothing to the weighted return; a missing weight nothing at all.
    const std::vector<double> w = {0.0, 0.5, 0.5, nan_};
    const std::vector<double> r = {0.2, 0.1, nan_, 0.3};
    const std::vector<int> s = {0, 1, 1, 1};
    const auto g = mb::group_by_sector(w, r, s, s, 2);
    EXPECT_EQ(g.ret[0], 0.0);
    EXPECT_EQ(g.weight[1], 1.0);
    EXPECT_NEAR(g.ret[1], 0.05, 1e-15);
}

TEST(SectorGrouping, WeightsAndReturnsMayGoToDifferentSlots) {
    const std::vector<double> w = {0.5};
    const std::vector<double> r = {0.1};
    const auto g =
        mb::group_by_sector(w, r, std::vector<int>{0}, std::vector<int>{1}, 2);
    EXPECT_EQ(g.weight, (std::vector<double>{0.5, 0.0}));
    EXPECT_EQ(g.ret, (std::vector<double>{0.0, 0.0}));
    EXPECT_THROW(mb::group_by_sector(w, r, std::vector<int>{}, std::vector<int>{0}, 1),
                 std::invalid_argument);
}
