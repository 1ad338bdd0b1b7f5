// Exposure numerics: the newly-listed thresholds, averaging of the latest dates,
// weighting and the choice of snapshots for the period summaries.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "meridan/dates/civil.hpp"
#include "meridan/exposure/averaging.hpp"
#include "meridan/exposure/holdings.hpp"
#include "meridan/exposure/listing.hpp"
#include "meridan/exposure/snapshots.hpp"
#include "meridan/exposure/weighting.hpp"

namespace mx = meridan::exposure;
using meridan::dates::days_from_civil;

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();
}

TEST(Listing, Thresholds) {
    struct Case {
        std::int64_t days;
        mx::ListingAge age;
    };
    for (const Case& c : {Case{-3, mx::ListingAge::newly_listed},
                          Case{149, mx::ListingAge::newly_listed},
                          Case{150, mx::ListingAge::count_trading_days},
                          Case{365, mx::ListingAge::count_trading_days},
                          Case{366, mx::ListingAge::seasoned}}) {
        EXPECT_EQ(mx::listing_age(c.days), c.age) << c.days;
    }
    EXPECT_TRUE(mx::newly_listed_by_trading_days(0));
    EXPECT_TRUE(mx::newly_listed_by_trading_days(132));
    EXPECT_FALSE(mx::newly_listed_by_trading_days(133));
}

TEST(Averaging, LastRowsOfEachGroupSkippingMissing) {
    // Group 0 has 25 rows valued 1..25 (the last 22 average to 14.5); group 1 has two
    // rows, one missing in the second column; rows of group -1 are ignored; group 2 has
    // no rows.
    mx::FactorTable rows(0, 2);
    std::vector<std::int64_t> group;
    auto add = [&](std::int64_t g, double a, double b) {
        rows.values.push_back(a);
        rows.values.push_back(b);
        ++rows.rows;
        group.push_back(g);
    };
    for (int i = 1; i <= 25; ++i) {
        add(0, i, -i);
        if (i == 3) add(1, 10.0, kNaN);
        if (i == 7) add(-1, 1e9, 1e9);
    }
    add(1, 20.0, 4.0);
    const mx::GroupMeans m = mx::average_last_rows(mx::TableView::of(rows), group, 3);
    EXPECT_DOUBLE_EQ(m.means.at(0, 0), 14.5);
    EXPECT_DOUBLE_EQ(m.means.at(0, 1), -14.5);
    EXPECT_DOUBLE_EQ(m.means.at(1, 0), 15.0);
    EXPECT_DOUBLE_EQ(m.means.at(1, 1), 4.0);
    EXPECT_TRUE(std::isnan(m.means.at(2, 0)));
    EXPECT_EQ(m.count, (std::vector<std::size_t>{25, 2, 0}));
}

TEST(Averaging, ReadsEitherMemoryOrder) {
    // Three rows of one group, two columns, stored column by column.
    const std::vector<double> by_column = {1.0, 2.0, 6.0, 10.0, kNaN, 30.0};
    const mx::TableView view{by_column.data(), 3, 2, 1, 3};
    const std::vector<std::int64_t> group = {0, 0, 0};
    const mx::GroupMeans m = mx::average_last_rows(view, group, 1, 2);
    EXPECT_DOUBLE_EQ(m.means.at(0, 0), 4.0);   // rows 1 and 2
    EXPECT_DOUBLE_EQ(m.means.at(0, 1), 30.0);  // the missing value is skipped
}

TEST(Weighting, NormaliseSkipsMissingAndExposuresSumByFactor) {
    const std::vector<double> w = mx::normalise(std::vector<double>{1.0, kNaN, 3.0});
    EXPECT_DOUBLE_EQ(w[0], 0.25);
    EXPECT_TRUE(std::isnan(w[1]));
    EXPECT_DOUBLE_EQ(w[2], 0.75);

    mx::FactorTable e(3, 2);
    e.values = {1.0, 2.0, 5.0, 7.0, 2.0, kNaN};
    const mx::WeightedExposure x = mx::weigh_exposures(e, w);
    EXPECT_DOUBLE_EQ(x.total[0], 0.25 + 1.5);
    EXPECT_DOUBLE_EQ(x.total[1], 0.5);
    EXPECT_DOUBLE_EQ(x.share.at(0, 0), 0.25 / 1.75);
    EXPECT_DOUBLE_EQ(x.share.at(0, 1), 1.0);
    EXPECT_TRUE(std::isnan(x.share.at(1, 0)));
    EXPECT_TRUE(std::isnan(x.share.at(2, 1)));
    EXPECT_TRUE(mx::weigh_exposures(mx::FactorTable(0, 2), {}).total ==
                std::vector<double>(2, 0.0));
}

TEST(Holdings, SharesOfTheBookAndLastValuePerInstrument) {
    // A (ST) 100, B newly listed and ST 300, A again 200, C 200.
    const std::vector<mx::Holding> h = {{100.0, false, true, 0},
                                        {300.0, true, true, 0},
                                        {200.0, false, true, 0},
                                        {200.0, false, false, 1}};
    const mx::BookWeights b = mx::weigh_holdings(h, 2);
    EXPECT_DOUBLE_EQ(b.total, 800.0);
    EXPECT_DOUBLE_EQ(b.newly_listed_total, 300.0);
    EXPECT_DOUBLE_EQ(b.special_total, 300.0);
    EXPECT_EQ(b.weights, (std::vector<double>{0.5, 0.5}));
}

TEST(Snapshots, StepByRangeLength) {
    EXPECT_EQ(mx::step_months(0), 3);
    EXPECT_EQ(mx::step_months(365), 3);
    EXPECT_EQ(mx::step_months(366), 6);
    EXPECT_EQ(mx::step_months(1095), 6);
    EXPECT_EQ(mx::step_months(1096), 12);
}

TEST(Snapshots, NearestSearchesDownwardsAndTiesGoEarlier) {
    const std::vector<std::int64_t> days = {10, 20, 30};
    EXPECT_EQ(mx::nearest_snapshot(days, 25, 2), 1u);  // tie between 20 and 30
    EXPECT_EQ(mx::nearest_snapshot(days, 26, 2), 2u);
    EXPECT_EQ(mx::nearest_snapshot(days, 26, 1), 2u);  // may go back above `from`
    EXPECT_EQ(mx::nearest_snapshot(days, 40, 2), 2u);
    EXPECT_EQ(mx::nearest_snapshot(days, 9, 2), std::nullopt);
    EXPECT_EQ(mx::nearest_snapshot(days, 25, -1), std::nullopt);
    EXPECT_EQ(mx::nearest_snapshot({}, 25, -1), std::nullopt);
}

TEST(Snapshots, ChoiceByStep) {
    auto day = [](int y, int m, int d) { return days_from_civil(y, m, d); };
    struct Case {
        std::vector<std::int64_t> days;
        std::int64_t start, end;
        std::vector<std::size_t> chosen;
    };
    const Case cases[] = {
        // Month ends a quarter apart: 31 Dec, 30 Sep, 30 Jun (31 Dec - 3 months).
        {{day(2016, 6, 30), day(2016, 9, 30), day(2016, 12, 31)},
         day(2016, 1, 1),
         day(2016, 12, 31),
         {2, 1, 0}},
        // 31 Aug back 6 months is 29 Feb, then 29 Aug: 28 Aug 2015 is nearer.
        {{day(2015, 8, 28), day(2016, 2, 29), day(2016, 8, 31)},
         day(2015, 1, 1),
         day(2016, 8, 31),
         {2, 1, 0}},
        // The second target's nearest snapshot is the one chosen first.
        {{day(2016, 4, 1), day(2016, 10, 31)},
         day(2016, 1, 1),
         day(2016, 12, 31),
         {1, 1, 0}},
        // The target moves before the start: one record.
        {{day(2016, 3, 1), day(2016, 5, 1)}, day(2016, 4, 1), day(2016, 5, 1), {1}},
        {{}, day(2016, 1, 1), day(2016, 12, 31), {}},
        // Yearly step past 1095 days.
        {{day(2014, 1, 2), day(2015, 1, 2), day(2016, 1, 4), day(2016, 7, 1)},
         day(2013, 1, 1),
         day(2016, 12, 31),
         {3, 2, 1}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mx::choose_by_step(c.days, c.start, c.end), c.chosen);
    }
}

TEST(Snapshots, FirstMiddleLast) {
    EXPECT_EQ(mx::choose_first_middle_last(0), (std::vector<std::size_t>{}));
    EXPECT_EQ(mx::choose_first_middle_last(3), (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(mx::choose_first_middle_last(4), (std::vector<std::size_t>{0, 2, 3}));
    EXPECT_EQ(mx::choose_first_middle_last(5), (std::vector<std::size_t>{0, 2, 4}));
}
