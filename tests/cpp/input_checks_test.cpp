// The rules an analysis applies to its inputs before reading them: usable values of a
// value series, date order, and the numbers of a portfolio snapshot.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "meridan/inputs/snapshot_rules.hpp"
#include "meridan/inputs/value_series.hpp"

namespace mi = meridan::inputs;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
}  // namespace

TEST(ValueSeries, FirstUnusableValue) {
    struct Case {
        std::vector<double> values;
        std::optional<std::size_t> first;
    };
    const Case cases[] = {
        {{}, std::nullopt},
        {{1.0, 2.5, 1e300}, std::nullopt},
        {{1.0, kNaN, 0.0}, 1},
        {{1.0, 2.0, -kInf}, 2},
        {{kInf}, 0},
        {{3.0, 0.0}, 1},
        {{3.0, -1e-300}, 1},
        {{5e-324}, std::nullopt},  // the smallest subnormal is still above 0
    };
    for (const Case& c : cases) EXPECT_EQ(mi::first_unusable_value(c.values), c.first);
}

TEST(ValueSeries, FirstOutOfOrder) {
    using Days = std::vector<std::int64_t>;
    EXPECT_EQ(mi::first_out_of_order(Days{}), std::nullopt);
    EXPECT_EQ(mi::first_out_of_order(Days{5, 5, 6}), std::nullopt);  // repeats allowed
    EXPECT_EQ(mi::first_out_of_order(Days{9, 8, 7}), 1u);            // newest first
    EXPECT_EQ(mi::first_out_of_order(Days{1, 3, 2, 4}), 2u);
}

TEST(SnapshotRules, NumbersOfASnapshot) {
    using F = mi::Fault;
    EXPECT_EQ(mi::money_fault(-50.0), F::none);  // an overdrawn cash account
    EXPECT_EQ(mi::money_fault(kNaN), F::not_finite);
    EXPECT_EQ(mi::money_fault(-kInf), F::not_finite);
    EXPECT_EQ(mi::holding_fault(0.0), F::none);
    EXPECT_EQ(mi::holding_fault(-0.01), F::negative);
    EXPECT_EQ(mi::holding_fault(kNaN), F::not_finite);
    EXPECT_EQ(mi::holding_fault(kInf), F::not_finite);
    EXPECT_EQ(mi::closing_value_fault(0.0), F::not_positive);
    EXPECT_EQ(mi::closing_value_fault(-3.0), F::not_positive);
    EXPECT_EQ(mi::closing_value_fault(kNaN), F::not_finite);
    EXPECT_EQ(mi::closing_value_fault(1.0), F::none);
    EXPECT_EQ(mi::describe(F::none), "");
    EXPECT_EQ(mi::describe(F::negative), "is negative");
    EXPECT_TRUE(mi::is_index_type("INDX"));
    EXPECT_FALSE(mi::is_index_type("CS"));
    EXPECT_FALSE(mi::is_index_type("ETF"));
}
