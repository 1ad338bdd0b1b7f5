// Whole share counts after a split ratio is applied.
#include "meridan/brinson/whole_shares.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace mb = meridan::brinson;

struct WholeCase {
    double quantity, coefficient, expected;
};

class SplitQuantity : public testing::TestWithParam<WholeCase> {};

TEST_P(SplitQuantity, RoundsOnlyWhatIsWithinOneMillionthOfAWholeNumber) {
    const WholeCase c = GetParam();
    const double got = mb::split_quantity(c.quantity, c.coefficient);
    if (std::isnan(c.expected))
        EXPECT_TRUE(std::isnan(got));
    else
        EXPECT_EQ(got, c.expected);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitQuantity,
    testing::Values(WholeCase{700.0, 1.4, 980.0},        // 979.9999999999999 in floats
                    WholeCase{100.0, 1.5, 150.0},        // exact already
                    WholeCase{3.0, 0.5, 1.5},            // a fraction of a share stays
                    WholeCase{1.0, 100.0000009, 100.0},  // 9e-7 away: whole
                    WholeCase{1.0, 100.000002, 100.000002},  // 2e-6 away: kept
                    WholeCase{kInf, 2.0, kInf},
                    WholeCase{std::nan(""), 2.0, std::nan("")}));

TEST(WholeIfClose, NoiseBelowAWholeNumberAndAboveIt) {
    EXPECT_EQ(mb::whole_if_close(979.9999999999999), 980.0);
    EXPECT_EQ(mb::whole_if_close(980.0000001), 980.0);
    EXPECT_EQ(mb::whole_if_close(980.01), 980.01);
}
