// Attribution effects and the table, checked against the published formulas worked
// out by hand.
#include "meridan/brinson/effects.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace mb = meridan::brinson;

namespace {

// Three sectors: A overweight with a beaten benchmark return, B underweight with
// negative returns, C at benchmark weight.
const std::vector<double> wp = {0.5, 0.3, 0.2};
const std::vector<double> wb = {0.4, 0.4, 0.2};
const std::vector<double> rp = {0.10, -0.05, 0.02};
const std::vector<double> rb = {0.08, -0.02, 0.03};
// R_b = 0.4 x 0.08 - 0.4 x 0.02 + 0.2 x 0.03 = 0.030; R_p = 0.039.

void expect_near(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want[i], 1e-15) << i;
}

}  // namespace

TEST(Effects, BrinsonHoodBeebowerTextbook) {
    // Allocation (w_p - w_b) r_b, selection w_b (r_p - r_b), interaction
    // (w_p - w_b)(r_p - r_b).
    const auto e = mb::attribution_effects(wp, wb, rp, rb, mb::Method::BHB);
    expect_near(e.allocation, {0.008, 0.002, 0.0});
    expect_near(e.selection, {0.008, -0.012, -0.002});
    expect_near(e.interaction, {0.002, 0.003, 0.0});
    expect_near(e.total, {0.018, -0.007, -0.002});
}

TEST(Effects, BrinsonFachlerTextbook) {
    // Allocation (w_p - w_b)(r_b - R_b): A 0.1 x 0.05, B -0.1 x -0.05, C 0.
    const auto e = mb::attribution_effects(wp, wb, rp, rb, mb::Method::BrinsonFachler);
    expect_near(e.allocation, {0.005, 0.005, 0.0});
    expect_near(e.selection, {0.008, -0.012, -0.002});
    expect_near(e.interaction, {0.002, 0.003, 0.0});
    expect_near(e.total, {0.015, -0.004, -0.002});
}

TEST(Effects, WorkedSectorAndCashRowUnderBothMethods) {
    // Rows: cash (w_p 0.1), the worked sector, a filler sector that brings R_b to
    // 0.04 (0.2 x 0.05 + 0.8 x 0.0375).
    const std::vector<double> p_w = {0.1, 0.3, 0.6}, b_w = {0.0, 0.2, 0.8};
    const std::vector<double> p_r = {0.0, 0.10, 0.0}, b_r = {0.0, 0.05, 0.0375};
    const auto bhb = mb::attribution_effects(p_w, b_w, p_r, b_r, mb::Method::BHB);
    EXPECT_NEAR(bhb.allocation[1], 0.005, 1e-15);
    EXPECT_NEAR(bhb.selection[1], 0.01, 1e-15);
    EXPECT_NEAR(bhb.interaction[1], 0.005, 1e-15);
    EXPECT_NEAR(bhb.total[1], 0.02, 1e-15);
    EXPECT_EQ(bhb.allocation[0], 0.0);
    EXPECT_EQ(bhb.total[0], 0.0);
    const auto bf =
        mb::attribution_effects(p_w, b_w, p_r, b_r, mb::Method::BrinsonFachler);
    EXPECT_NEAR(bf.allocation[1], 0.001, 1e-15);
    EXPECT_NEAR(bf.selection[1], 0.01, 1e-15);
    EXPECT_NEAR(bf.interaction[1], 0.005, 1e-15);
    EXPECT_NEAR(bf.total[1], 0.016, 1e-15);
    EXPECT_NEAR(bf.allocation[0], -0.1 * 0.04, 1e-15);
    EXPECT_EQ(bf.interaction[0], 0.0);
    EXPECT_NEAR(bf.total[0], -0.1 * 0.04, 1e-15);
}

TEST(Effects, TableTotalsAndTheSumIdentity) {
    for (auto method : {mb::Method::BHB, mb::Method::BrinsonFachler}) {
        const auto t = mb::attribution_table(wp, wb, rp, rb, method);
        ASSERT_EQ(t.size(), 4 * mb::kTableColumns);
        for (std::size_t row = 0; row < 4; ++row) {
            const double* c = t.data() + row * mb::kTableColumns;
            EXPECT_NEAR(c[6] + c[7] + c[8], c[9], 1e-15);
        }
        const double* total = t.data() + 3 * mb::kTableColumns;
        EXPECT_NEAR(total[0], 1.0, 1e-15);
        EXPECT_NEAR(total[1], 1.0, 1e-15);
        EXPECT_EQ(total[2], 0.0);
        EXPECT_NEAR(total[3], 0.039, 1e-15);
        EXPECT_NEAR(total[4], 0.030, 1e-15);
        EXPECT_NEAR(total[5], 0.009, 1e-15);
        EXPECT_NEAR(total[9], 0.009, 1e-15);
    }
}
