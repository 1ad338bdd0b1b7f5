// Shape figures of a return distribution on closed forms and their undefined cases
// (the hand-worked five-day series is checked from Python, through perilon.Risk).
#include "meridan/risk/distribution.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace mr = meridan::risk;

TEST(Distribution, TwoPointLawAndThresholds) {
    // ±x with equal weight: symmetric, m4 = m2², excess kurtosis −2.
    const std::vector<double> two{0.01, -0.01, 0.01, -0.01};
    EXPECT_NEAR(mr::skewness(two), 0.0, 1e-12);
    EXPECT_NEAR(mr::kurtosis(two), -2.0, 1e-12);
    EXPECT_NEAR(mr::omega(two, 0.0), 1.0, 1e-15);
    // Nothing below the threshold: undefined.
    EXPECT_TRUE(std::isnan(mr::omega(two, -0.05)));
}

TEST(Distribution, UndefinedCases) {
    const std::vector<double> none;
    // Constant values have exactly no spread, though 0.1 has no exact binary mean.
    const std::vector<double> flat{0.1, 0.1, 0.1};
    for (double x : {mr::value_at_risk(none, 0.95), mr::expected_shortfall(none, 0.95),
                     mr::skewness(none), mr::kurtosis(none), mr::omega(none, 0.0),
                     mr::tail_ratio(none), mr::skewness(flat), mr::kurtosis(flat)})
        EXPECT_TRUE(std::isnan(x));
    // A 5th percentile of exactly 0 leaves the tail ratio undefined.
    EXPECT_TRUE(std::isnan(mr::tail_ratio(std::vector<double>{0.0, 0.0, 0.01})));
}
