// Shape figures of a return distribution on a five-day series worked by hand
// (r = 2 %, −1 %, 3 %, −4 %, 0 %: mean 0, m2 = 6e-4, m3 = −6e-6, m4 = 7.08e-7), on
// closed forms, and their undefined cases.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "meridan/risk/distribution.hpp"

namespace mr = meridan::risk;

namespace {
const std::vector<double> kFive{0.02, -0.01, 0.03, -0.04, 0.0};
}

TEST(Distribution, TailsOfTheFiveDays) {
    // 5th percentile: h = 4 · 0.05 = 0.2, −0.04 + 0.2 · 0.03 = −0.034.
    EXPECT_NEAR(mr::value_at_risk(kFive, 0.95), 0.034, 1e-15);
    EXPECT_NEAR(mr::expected_shortfall(kFive, 0.95), 0.04, 1e-15);
    // Median 0: the days at or below it are −4 %, −1 % and 0 %.
    EXPECT_NEAR(mr::value_at_risk(kFive, 0.5), 0.0, 1e-15);
    EXPECT_NEAR(mr::expected_shortfall(kFive, 0.5), 0.05 / 3, 1e-15);
    // 95th percentile: h = 3.8, 0.02 + 0.8 · 0.01 = 0.028.
    EXPECT_NEAR(mr::tail_ratio(kFive), 0.028 / 0.034, 1e-13);
}

TEST(Distribution, MomentsOfTheFiveDaysAndATwoPointLaw) {
    EXPECT_NEAR(mr::skewness(kFive), -1.0 / std::sqrt(6.0), 1e-12);
    EXPECT_NEAR(mr::kurtosis(kFive), 354.0 / 180.0 - 3.0, 1e-12);
    // ±x with equal weight: symmetric, m4 = m2², excess kurtosis −2.
    const std::vector<double> two{0.01, -0.01, 0.01, -0.01};
    EXPECT_NEAR(mr::skewness(two), 0.0, 1e-12);
    EXPECT_NEAR(mr::kurtosis(two), -2.0, 1e-12);
}

TEST(Distribution, OmegaAboutThresholds) {
    EXPECT_NEAR(mr::omega(kFive, 0.0), 1.0, 1e-15);
    // Gains 0.01 + 0.02, losses 0.02 + 0.05 + 0.01.
    EXPECT_NEAR(mr::omega(kFive, 0.01), 0.03 / 0.08, 1e-14);
    // Nothing below the threshold: undefined.
    EXPECT_TRUE(std::isnan(mr::omega(kFive, -0.05)));
}

TEST(Distribution, UndefinedCases) {
    const std::vector<double> none;
    const std::vector<double> flat{0.1, 0.1, 0.1};
    for (double x : {mr::value_at_risk(none, 0.95), mr::expected_shortfall(none, 0.95),
                     mr::skewness(none), mr::kurtosis(none), mr::omega(none, 0.0),
                     mr::tail_ratio(none), mr::skewness(flat), mr::kurtosis(flat)})
        EXPECT_TRUE(std::isnan(x));
    // A 5th percentile of exactly 0 leaves the tail ratio undefined.
    EXPECT_TRUE(std::isnan(mr::tail_ratio(std::vector<double>{0.0, 0.0, 0.01})));
}
