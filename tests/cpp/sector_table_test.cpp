// Rows of a sector table and pandas' rules for reading results onto them: group
// order, reindex, repeated labels; and the compound returns read by column label.
#include "meridan/brinson/sector_table.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "meridan/brinson/compounding.hpp"
#include "meridan/brinson/linking.hpp"

namespace mb = meridan::brinson;

namespace {
constexpr int kNo = mb::kNoSector;
const auto by_code = [](int a, int b) { return a < b; };
}  // namespace

struct OrderCase {
    const char* what;
    std::vector<int> weight, ret;
    std::optional<int> cash;
    std::vector<int> expected;
};

class GroupOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(GroupOrder, SortedDistinctLabelsThenCash) {
    const OrderCase& c = GetParam();
    EXPECT_EQ(mb::group_order(c.weight, c.ret, by_code, c.cash), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GroupOrder,
    testing::Values(
        OrderCase{"sorted, once each", {5, 2, 5, 3}, {5, 2, 5, 3}, {}, {2, 3, 5}},
        OrderCase{
            "a label only the second grouping gave", {4, 1}, {4, 0}, {}, {0, 1, 4}},
        OrderCase{"dropped labels", {kNo, 3}, {kNo, 3}, {}, {3}},
        OrderCase{"cash last", {4, 1}, {4, 1}, 9, {1, 4, 9}},
        OrderCase{
            "cash also a sector: listed once, in order", {4, 1}, {4, 1}, 1, {1, 4}},
        OrderCase{"nothing held", {}, {}, 9, {9}}));

TEST(GroupOrder, LabelsThatDoNotOrderKeepTheirFirstSeenOrder) {
    // Python's sort is stable: labels neither below the other stay as first seen.
    const auto none = [](int, int) { return false; };
    EXPECT_EQ(mb::group_order(std::vector{7, 2, 5}, std::vector{7, 2, 5}, none),
              (std::vector<int>{7, 2, 5}));
}

TEST(SectorRows, RepeatedAndDroppedLabels) {
    const mb::SectorRows rows({0, 1, kNo, 1, 2});
    EXPECT_EQ(rows.row_of(1), 1);
    EXPECT_EQ(rows.row_of(kNo), kNo);
    EXPECT_EQ(rows.row_of(8), kNo);
    // Instruments: A in sector 1, B in sector 2, C dropped; cash (code 0) 0.1.
    const mb::SectorResult r = mb::on_rows(
        rows, std::vector{0.5, 0.3, 0.1}, std::vector{0.2, -0.1, 0.4},
        std::vector{1, 2, kNo}, std::vector{1, 2, kNo}, mb::CashRow{0, 0.1});
    EXPECT_EQ(r.weight, (std::vector<double>{0.1, 0.5, 0.0, 0.5, 0.3}));
    EXPECT_EQ(r.ret, (std::vector<double>{0.0, 0.2, 0.0, 0.2, -0.1}));
}

TEST(SectorRows, CashReplacesASectorOfTheSameName) {
    const mb::SectorRows rows({0, 1});
    const mb::SectorResult r =
        mb::on_rows(rows, std::vector{0.4, 0.5}, std::vector{0.1, 0.2},
                    std::vector{0, 1}, std::vector{0, 1}, mb::CashRow{0, 0.1});
    EXPECT_EQ(r.weight, (std::vector<double>{0.1, 0.5}));
    EXPECT_EQ(r.ret, (std::vector<double>{0.0, 0.2}));
}

TEST(Reindexed, OntoTheRowsWithFillValueZero) {
    const mb::SectorRows rows({0, 1, 2, 1});
    // Label 5 is not a row and is dropped; row 2 is filled with 0.
    const mb::SectorResult r =
        mb::reindexed(rows, std::vector{1, 0, 5}, std::vector{0.5, 0.2, 0.3},
                      std::vector{0, 1}, std::vector{0.0, 0.1});
    EXPECT_EQ(r.weight, (std::vector<double>{0.2, 0.5, 0.0, 0.5}));
    EXPECT_EQ(r.ret, (std::vector<double>{0.0, 0.1, 0.0, 0.1}));
}

TEST(Reindexed, ASeriesWithARepeatedLabelIsRefused) {
    const mb::SectorRows rows({0, 1});
    // Refused even when the repeated label is not a row, as pandas does.
    EXPECT_THROW(mb::reindexed(rows, std::vector{4, 4}, std::vector{0.1, 0.2},
                               std::vector<int>{}, std::vector<double>{}),
                 std::invalid_argument);
}

TEST(Realigned, ByLabelWithAbsentLabelsZero) {
    const mb::SectorRows from({0, 2, 1}), to({0, 1, 3, kNo});
    const mb::SectorResult r =
        mb::realigned({{0.1, 0.2, 0.7}, {0.0, 0.5, 0.3}}, from, to);
    EXPECT_EQ(r.weight, (std::vector<double>{0.1, 0.7, 0.0, 0.0}));
    EXPECT_EQ(r.ret, (std::vector<double>{0.0, 0.3, 0.0, 0.0}));
}

TEST(ReturnsByLabel, ColumnsInAnyOrderFirstOfARepeatedLabelMissingAreNaN) {
    const std::vector<double> growth = {0.1, 0.2, 0.3, 0.4};
    EXPECT_EQ(
        mb::returns_by_label(std::vector{4, 5, 6, 7}, std::vector{4, 5, 6, 7}, growth),
        growth);
    const auto r =
        mb::returns_by_label(std::vector{5, 9, 7}, std::vector{7, 5, 7, 6}, growth);
    EXPECT_EQ(r[0], 0.2);
    EXPECT_TRUE(std::isnan(r[1]));
    EXPECT_EQ(r[2], 0.1);
}

TEST(LinkedTotal, NormalisedWeightsAndReturnsRescaledToTheActualChange) {
    // One period of length 2, weights 0.5 / 0.3 (sum 0.8), returns 0.1 / 0.2.
    const std::vector<mb::SectorResult> periods = {{{0.5, 0.3}, {0.1, 0.2}}};
    const mb::SectorResult r = mb::linked_total(periods, std::vector{2.0}, 0.15);
    EXPECT_DOUBLE_EQ(r.weight[0], 0.625);
    EXPECT_DOUBLE_EQ(r.weight[1], 0.375);
    EXPECT_NEAR(r.weight[0] * r.ret[0] + r.weight[1] * r.ret[1], 0.15, 1e-15);
    EXPECT_NEAR(r.ret[1] / r.ret[0], 2.0, 1e-12);
}
