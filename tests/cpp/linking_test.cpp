// Linking of periods, rescaling to an actual change, and benchmark runs.
#include "meridan/brinson/linking.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "meridan/brinson/benchmark_runs.hpp"

namespace mb = meridan::brinson;

TEST(Linking, OnePeriodKeepsWeightsAndEmptyRowsGetZero) {
    // Rows: cash, A, B. Length 5, weights 0.4 / 0.6 / 0, returns 0 / 0.1 / 0.
    const std::vector<mb::SectorResult> periods = {{{0.4, 0.6, 0.0}, {0.0, 0.1, 0.0}}};
    const std::vector<double> lengths = {5};
    const auto r = mb::link_periods(periods, lengths);
    EXPECT_EQ(r.weight, (std::vector<double>{0.4, 0.6, 0.0}));
    EXPECT_EQ(r.ret[0], 0.0);
    EXPECT_NEAR(r.ret[1], 0.1, 1e-15);
    EXPECT_EQ(r.ret[2], 0.0);
}

TEST(Linking, LaterPeriodsAreScaledByEarlierGrowth) {
    // 10 % then 10 %: 0.1 + 1.1 x 0.1 = 21 %, the compound return.
    const std::vector<mb::SectorResult> same = {{{1.0}, {0.1}}, {{1.0}, {0.1}}};
    const std::vector<double> lengths = {1, 3};
    const auto r = mb::link_periods(same, lengths);
    EXPECT_EQ(r.weight[0], 1.0);
    EXPECT_NEAR(r.ret[0], 0.21, 1e-15);

    // Two sectors whose weights move: contributions add up to the compound total
    // (1 + R1)(1 + R2) - 1 and weights average by length.
    const std::vector<mb::SectorResult> moving = {{{0.5, 0.5}, {0.2, -0.1}},
                                                  {{0.25, 0.75}, {-0.04, 0.08}}};
    const std::vector<double> l2 = {2, 6};
    const auto m = mb::link_periods(moving, l2);
    EXPECT_NEAR(m.weight[0], (2 * 0.5 + 6 * 0.25) / 8, 1e-15);
    EXPECT_NEAR(m.weight[1], (2 * 0.5 + 6 * 0.75) / 8, 1e-15);
    const double r1 = 0.5 * 0.2 + 0.5 * -0.1;
    const double r2 = 0.25 * -0.04 + 0.75 * 0.08;
    EXPECT_NEAR(mb::weighted_sum(m.weight, m.ret), (1 + r1) * (1 + r2) - 1, 1e-15);
    EXPECT_NEAR(m.ret[0] * m.weight[0], 0.5 * 0.2 + (1 + r1) * 0.25 * -0.04, 1e-15);
}

TEST(Linking, RescalingReproducesTheActualChange) {
    // Weighted returns sum to 4 %, the actual change is 5 %: every return x 1.25.
    std::vector<double> w = {0.0, 0.5, 0.5};
    std::vector<double> r = {0.0, 0.06, 0.02};
    EXPECT_NEAR(mb::rescale_returns(w, r, 0.05), 1.25, 1e-15);
    EXPECT_NEAR(r[1], 0.075, 1e-15);
    EXPECT_NEAR(r[2], 0.025, 1e-15);
    // A zero weighted sum leaves the returns alone.
    std::vector<double> flat = {0.1, -0.1};
    std::vector<double> half = {0.5, 0.5};
    EXPECT_EQ(mb::rescale_returns(half, flat, 0.3), 1.0);
    EXPECT_EQ(flat, (std::vector<double>{0.1, -0.1}));

    std::vector<double> weights = {2.0, 6.0, 0.0};
    mb::normalise_weights(weights);
    EXPECT_EQ(weights, (std::vector<double>{0.25, 0.75, 0.0}));
    // Fractions of the total, a missing weight skipped by the sum and kept missing.
    std::vector<double> index = {1.0, std::nan(""), 3.0};
    mb::divide_by_sum(index);
    EXPECT_EQ(index[0], 0.25);
    EXPECT_TRUE(std::isnan(index[1]));
    EXPECT_EQ(index[2], 0.75);
}

TEST(BenchmarkRuns, ChangesStartRuns) {
    using R = mb::Run;
    const bool constant[] = {true, true, true};
    EXPECT_EQ(mb::constituent_runs(constant), (std::vector<R>{{0, 3}}));
    // A change on the third date of five: runs of 2 and 3.
    const bool third[] = {true, true, false, true, true};
    EXPECT_EQ(mb::constituent_runs(third), (std::vector<R>{{0, 2}, {2, 3}}));
    const bool flapping[] = {false, false, true, false};
    EXPECT_EQ(mb::constituent_runs(flapping), (std::vector<R>{{0, 1}, {1, 2}, {3, 1}}));
    EXPECT_TRUE(mb::constituent_runs({}).empty());
}
