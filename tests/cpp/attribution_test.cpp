// Linking of per-period effects by the published methods, against four-period
// examples worked by hand, and the multi-period attribution built on it.
#include "meridan/brinson/attribution.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

namespace mb = meridan::brinson;
using mb::Linking;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double sum(const std::vector<double>& v) {
    return std::accumulate(v.begin(), v.end(), 0.0);
}

// Four periods, two effects (say allocation and selection) per period, each row
// adding up to R_t - B_t:
//   t   R_t     B_t     alloc    select
//   1   0.10    0.06    0.01     0.03
//   2  -0.05   -0.02    0.02    -0.05
//   3   0.08    0.05   -0.01     0.04
//   4   0.02    0.03    0.005   -0.015
// R = 1.1 x 0.95 x 1.08 x 1.02 - 1 = 0.151172, B = 1.06 x 0.98 x 1.05 x 1.03 - 1 =
// 0.1234622, R - B = 0.0277098.
const std::vector<double> kR = {0.10, -0.05, 0.08, 0.02};
const std::vector<double> kB = {0.06, -0.02, 0.05, 0.03};
const std::vector<double> kEffects = {0.01,  0.03, 0.02,  -0.05,
                                      -0.01, 0.04, 0.005, -0.015};
constexpr double kActive = 0.151172 - 0.1234622;

struct Worked {
    Linking how;
    double allocation;
    double selection;
};

// Carino: k = ln(1.151172 / 1.1234622) / 0.0277098 = 0.879305755785;
//   k_t = ln(1.1/1.06)/0.04 = 0.926031792, ln(0.95/0.98)/-0.03 = 1.036352902,
//         ln(1.08/1.05)/0.03 = 0.939029232, ln(1.02/1.03)/-0.01 = 0.975617495;
//   alloc = (0.01 x 0.926031792 + 0.02 x 1.036352902 - 0.01 x 0.939029232
//            + 0.005 x 0.975617495) / k = 0.025475224 / 0.879305756 = 0.028971914.
// Menchero: M = (0.0277098 / 4) / (1.151172^(1/4) - 1.1234622^(1/4)) = 1.101278289;
//   sum(R_t - B_t) = 0.03, sum((R_t - B_t)^2) = 0.0035,
//   a_t = (0.0277098 - 1.101278289 x 0.03) / 0.0035 x (R_t - B_t)
//       = -1.522442473 x (0.04, -0.03, 0.03, -0.01)
//       = (-0.060897699, 0.045673274, -0.045673274, 0.015224425);
//   alloc = 0.01 x 1.04038059 + 0.02 x 1.146951563 - 0.01 x 1.055605015
//           + 0.005 x 1.116502714 = 0.028369301.
// GRAP: c_t = prod_{j<t}(1+R_j) prod_{j>t}(1+B_j) = 0.98 x 1.05 x 1.03 = 1.05987,
//   1.1 x 1.05 x 1.03 = 1.18965, 1.1 x 0.95 x 1.03 = 1.07635, 1.1 x 0.95 x 1.08 =
//   1.1286; alloc = 0.0105987 + 0.023793 - 0.0107635 + 0.005643 = 0.0292712,
//   select = 0.0317961 - 0.0594825 + 0.043054 - 0.016929 = -0.0015614.
// Frongello: G_t = e_t prod_{j<t}(1+R_j) + B_t sum_{j<t} G_j;
//   alloc: G = 0.01, 0.02 x 1.1 - 0.02 x 0.01 = 0.0218,
//          -0.01 x 1.045 + 0.05 x 0.0318 = -0.00886,
//          0.005 x 1.1286 + 0.03 x 0.02294 = 0.0063312; sum 0.0292712;
//   select: 0.03, -0.05 x 1.1 - 0.02 x 0.03 = -0.0556,
//          0.04 x 1.045 + 0.05 x -0.0256 = 0.04052,
//          -0.015 x 1.1286 + 0.03 x 0.01492 = -0.0164814; sum -0.0015614
//   (the same totals as GRAP, as Frongello's recursion unrolls into GRAP's factors).
// In every case select = R - B - alloc.
const Worked kWorked[] = {
    {Linking::carino, 0.028971914433, kActive - 0.028971914433},
    {Linking::menchero, 0.028369300573, kActive - 0.028369300573},
    {Linking::grap, 0.0292712, -0.0015614},
    {Linking::frongello, 0.0292712, -0.0015614},
};

}  // namespace

TEST(AttributionLinking, FourPeriodsWorkedByHand) {
    for (const Worked& w : kWorked) {
        const auto linked = mb::link_values(kEffects, 2, kR, kB, w.how);
        EXPECT_NEAR(linked[0], w.allocation, 1e-11) << static_cast<int>(w.how);
        EXPECT_NEAR(linked[1], w.selection, 1e-11) << static_cast<int>(w.how);
        EXPECT_NEAR(linked[0] + linked[1], kActive, 1e-15) << static_cast<int>(w.how);
    }
}

TEST(AttributionLinking, EqualReturnsUseTheLimitForms) {
    // R = (0.10, 0, 0.05), B = (0, 0.10, 0.05): R = B = 0.155, and R_3 = B_3.
    // Carino: k = 1/1.155; k_1 = k_2 = ln(1.1)/0.1 = 0.953101798, k_3 = 1/1.05;
    //   col 0 = (0.04 x 0.953101798 - 0.03 x 0.953101798 + 0.01 / 1.05) x 1.155
    //         = 0.022008326.
    // Menchero: M = 1.155^(2/3) = 1.100832703, sum(R_t - B_t) = 0 so a_t = 0;
    //   col 0 = M x (0.04 - 0.03 + 0.01) = 0.022016654.
    const std::vector<double> r = {0.10, 0.0, 0.05}, b = {0.0, 0.10, 0.05};
    const std::vector<double> e = {0.04, 0.06, -0.03, -0.07, 0.01, -0.01};
    const auto carino = mb::link_values(e, 2, r, b, Linking::carino);
    EXPECT_NEAR(carino[0], 0.022008325767, 1e-11);
    EXPECT_NEAR(carino[0] + carino[1], 0.0, 1e-15);
    const auto menchero = mb::link_values(e, 2, r, b, Linking::menchero);
    EXPECT_NEAR(menchero[0], 0.022016654056, 1e-11);
    EXPECT_NEAR(menchero[0] + menchero[1], 0.0, 1e-15);

    // Returns a hair apart give the limit, not a cancellation error.
    const std::vector<double> r2 = {0.10, 1e-13, 0.05 + 1e-14};
    for (Linking how : {Linking::carino, Linking::menchero}) {
        const auto near = mb::link_values(e, 2, r2, b, how);
        const auto at = mb::link_values(e, 2, r, b, how);
        EXPECT_NEAR(near[0], at[0], 1e-9);
    }
}

TEST(AttributionLinking, NamesAndRefusals) {
    EXPECT_EQ(mb::linking_named("grap"), Linking::grap);
    EXPECT_EQ(mb::linking_named("scaled"), Linking::scaled);
    EXPECT_FALSE(mb::linking_named("Carino").has_value());
    EXPECT_THROW(mb::link_values(kEffects, 2, kR, kB, Linking::scaled),
                 std::invalid_argument);
    EXPECT_THROW(mb::link_values(kEffects, 3, kR, kB, Linking::grap),
                 std::invalid_argument);
}

TEST(AttributionRescaling, FactorOrShift) {
    std::vector<double> w = {0.5, 0.5}, r = {0.02, 0.04};
    const auto s = mb::rescale_to(w, r, 0.06);
    EXPECT_DOUBLE_EQ(s.factor, 2.0);
    EXPECT_DOUBLE_EQ(r[1], 0.08);
    // Returns that net to 0 cannot be scaled to 0.01: they are moved instead.
    std::vector<double> flat = {0.02, -0.02};
    const auto shifted = mb::rescale_to(w, flat, 0.01);
    EXPECT_DOUBLE_EQ(shifted.shift, 0.01);
    EXPECT_NEAR(0.5 * flat[0] + 0.5 * flat[1], 0.01, 1e-17);
}

namespace {

// Rows: cash, A, B, C; holdings a (in A) and b (in B).
// Period 1 (2 dates): portfolio 0.1 cash, 0.5 A at 4 %, 0.4 B at 2 % (sum 2.8 %),
//   actual 3.5 %, so returns x 1.25: A 5 %, B 2.5 %. Benchmark 0.4 A at 3 %, 0.4 B
//   at 1 %, 0.2 C at 5 % (2.6 %, actual 2.6 %). C unheld: takes 5 %.
//   BHB: A alloc 0.1 x 0.03 = 0.003, select 0.4 x 0.02 = 0.008, inter 0.1 x 0.02 =
//   0.002; B select 0.4 x 0.015 = 0.006; C alloc -0.2 x 0.05 = -0.01; sum 0.009.
// Period 2 (3 dates): b sold; 0.2 cash, 0.8 A at -1 % (-0.8 %), actual -1 %: A
//   -1.25 %. Benchmark A 0.4 at -2 %, B 0.4 at 1 %, C 0.2 at 0 (actual -0.4 %).
//   BHB: A alloc 0.4 x -0.02 = -0.008, select 0.4 x 0.0075 = 0.003, inter 0.003;
//   B alloc -0.4 x 0.01 = -0.004; sum -0.006.
// Holdings (benchmark: a 0.4 at the sector's return, b 0.1 at 1 % in both):
//   period 1 contribution a 0.025, b 0.01; active a 0.1 x (0.05 - 0.026) = 0.0024,
//   b 0.3 x (0.025 - 0.026) = -0.0003;
//   period 2 contribution a -0.01, b 0; active a 0.4 x (-0.0125 + 0.004) = -0.0034,
//   b (not held: the benchmark's 1 %) -0.1 x (0.01 + 0.004) = -0.0014.
// R = 1.035 x 0.99 - 1 = 0.02465, B = 1.026 x 0.996 - 1 = 0.021896.
std::vector<mb::PeriodInput> two_periods() {
    mb::PeriodInput p1{2,
                       0.035,
                       0.026,
                       {{0.1, 0.5, 0.4, 0.0}, {0.0, 0.04, 0.02, 0.0}},
                       {{0.5, 0.4}, {0.04, 0.02}},
                       {{2,
                         {{0.0, 0.4, 0.4, 0.2}, {0.0, 0.03, 0.01, 0.05}},
                         {{0.4, 0.1}, {0.03, 0.01}}}}};
    mb::PeriodInput p2{3,
                       -0.01,
                       -0.004,
                       {{0.2, 0.8, 0.0, 0.0}, {0.0, -0.01, 0.0, 0.0}},
                       {{0.8, 0.0}, {-0.01, kNaN}},
                       {{3,
                         {{0.0, 0.4, 0.4, 0.2}, {0.0, -0.02, 0.01, 0.0}},
                         {{0.4, 0.1}, {-0.02, 0.01}}}}};
    return {p1, p2};
}

}  // namespace

TEST(Attribution, PeriodsAreRescaledAndUnheldSectorsTakeTheBenchmark) {
    const auto periods = two_periods();
    const auto a = mb::attribute(periods, mb::Method::BHB, Linking::grap);
    const auto& p1 = a.periods[0];
    EXPECT_NEAR(p1.portfolio.ret[1], 0.05, 1e-14);
    EXPECT_NEAR(p1.portfolio.ret[3], 0.05, 1e-14);  // C, from the benchmark
    const std::vector<double> alloc = {0.0, 0.003, 0.0, -0.01},
                              sel = {0.0, 0.008, 0.006, 0.0},
                              inter = {0.0, 0.002, 0.0, 0.0};
    for (std::size_t s = 0; s < 4; ++s) {
        EXPECT_NEAR(p1.effects.allocation[s], alloc[s], 1e-14) << s;
        EXPECT_NEAR(p1.effects.selection[s], sel[s], 1e-14) << s;
        EXPECT_NEAR(p1.effects.interaction[s], inter[s], 1e-14) << s;
    }
    const auto& p2 = a.periods[1];
    EXPECT_NEAR(p2.effects.allocation[2], -0.004, 1e-14);
    EXPECT_EQ(p2.effects.selection[2], 0.0);
    EXPECT_EQ(p2.effects.interaction[2], 0.0);
    EXPECT_NEAR(a.portfolio_return, 0.02465, 1e-14);
    EXPECT_NEAR(a.benchmark_return, 0.021896, 1e-14);
    // Contributions grow with the portfolio (1 + R_1 = 1.035); the active ones take
    // GRAP's factors 1 + B_2 = 0.996 and 1 + R_1.
    EXPECT_NEAR(a.contribution[0], 0.025 - 0.01 * 1.035, 1e-14);
    EXPECT_NEAR(a.contribution[1], 0.01, 1e-14);
    EXPECT_NEAR(a.active_contribution[0], 0.0024 * 0.996 - 0.0034 * 1.035, 1e-14);
    EXPECT_NEAR(a.active_contribution[1], -0.0003 * 0.996 - 0.0014 * 1.035, 1e-14);
}

TEST(Attribution, LinkedEffectsAddUpUnderEveryLinking) {
    const auto periods = two_periods();
    for (mb::Method method : {mb::Method::BHB, mb::Method::BrinsonFachler}) {
        for (Linking how : {Linking::carino, Linking::menchero, Linking::grap,
                            Linking::frongello, Linking::scaled}) {
            const auto a = mb::attribute(periods, method, how);
            const double total = sum(a.effects.allocation) + sum(a.effects.selection) +
                                 sum(a.effects.interaction);
            EXPECT_NEAR(total, 0.02465 - 0.021896, 1e-14) << static_cast<int>(how);
            EXPECT_NEAR(sum(a.effects.total), total, 1e-14);
            // C is never held, B only in period 1: C has no selection or interaction.
            EXPECT_NEAR(a.effects.selection[3], 0.0, 1e-17) << static_cast<int>(how);
            EXPECT_NEAR(a.effects.interaction[3], 0.0, 1e-17) << static_cast<int>(how);
            // The table's returns reproduce the compounded totals.
            double rp = 0.0, rb = 0.0;
            for (std::size_t s = 0; s < 4; ++s) {
                rp += a.portfolio.weight[s] * a.portfolio.ret[s];
                rb += a.benchmark.weight[s] * a.benchmark.ret[s];
            }
            EXPECT_NEAR(rp, 0.02465, 1e-14);
            EXPECT_NEAR(rb, 0.021896, 1e-14);
            // The holdings' contributions add up to the portfolio's compounded return.
            EXPECT_NEAR(a.contribution[0], 0.025 - 1.035 * 0.01, 1e-14);
            EXPECT_NEAR(sum(a.contribution), 0.02465, 1e-14) << static_cast<int>(how);
        }
    }
}

TEST(Attribution, BenchmarkRunsWithinAPeriodAreLinked) {
    // Run 1 (1 date): A 0.5 at 2 %, B 0.5 at 0; run 2 (3 dates): A 0.25 at 4 %,
    // B 0.75 at -2 %. Growth 1.01 after run 1: A contributes 0.01 + 1.01 x 0.01 =
    // 0.0201, B 1.01 x -0.015 = -0.01515 (total 0.00495 = 1.01 x 0.995 - 1); average
    // weights A (0.5 + 3 x 0.25) / 4 = 0.3125, B 0.6875; A's return 0.0201 / 0.3125.
    auto periods = two_periods();
    periods.resize(1);
    periods[0].benchmark_return = 0.00495;
    periods[0].benchmark = {
        {1, {{0, 0.5, 0.5, 0}, {0, 0.02, 0.0, 0}}, {{0.5, 0.5}, {0.02, 0.0}}},
        {3, {{0, 0.25, 0.75, 0}, {0, 0.04, -0.02, 0}}, {{0.25, 0.75}, {0.04, -0.02}}}};
    const auto a = mb::attribute(periods, mb::Method::BHB, Linking::carino);
    const auto& b = a.periods[0].benchmark;
    EXPECT_NEAR(b.weight[1], 0.3125, 1e-14);
    EXPECT_NEAR(b.ret[1], 0.0201 / 0.3125, 1e-14);
    EXPECT_NEAR(b.ret[2], -0.01515 / 0.6875, 1e-14);
    // Holding b: (0.5 + 3 x 0.75) / 4 = 0.6875 at -0.01515 / 0.6875; active
    // (0.4 - 0.6875) x (0.025 - 0.00495), one period: Carino's factor is 1.
    EXPECT_NEAR(a.active_contribution[1], (0.4 - 0.6875) * (0.025 - 0.00495), 1e-14);
}
