// Compound returns of change-rate tables.
#include "meridan/brinson/compounding.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace mb = meridan::brinson;

constexpr double nan_ = std::numeric_limits<double>::quiet_NaN();

TEST(Compounding, ColumnsCompoundAndMissingRatesCountAsNoChange) {
    // Rows are days, columns instruments: 1.01 x 1.02 - 1; a missing day skipped;
    // a column without any rate; a single fall.
    const std::vector<double> rates = {0.01, nan_, nan_, -0.5,  //
                                       0.02, 0.10, nan_, nan_};
    const auto r = mb::compound_columns(rates, 2, 4);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_NEAR(r[0], 0.0302, 1e-15);
    EXPECT_NEAR(r[1], 0.10, 1e-15);
    EXPECT_EQ(r[2], 0.0);
    EXPECT_EQ(r[3], -0.5);
}

TEST(Compounding, EmptyTables) {
    EXPECT_EQ(mb::compound_columns({}, 0, 3), std::vector<double>(3, 0.0));
    EXPECT_TRUE(mb::compound_columns({}, 5, 0).empty());
    EXPECT_THROW(mb::compound_columns(std::vector<double>{1.0}, 2, 2),
                 std::invalid_argument);
}
