// Risk kernels on series small enough to check by hand, and the figures' undefined
// cases (the figures themselves are compared with numpy in the Python tests).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "meridan/risk/figures.hpp"
#include "meridan/risk/kernels.hpp"

namespace mr = meridan::risk;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

TEST(RiskKernels, MomentsAndTheirUndefinedCases) {
    const std::vector<double> x{0.01, -0.02, 0.03, 0.0};
    EXPECT_NEAR(mr::mean(x), 0.005, 1e-17);
    // deviations 0.005 -0.025 0.025 -0.005: squares sum 0.0013, over 3
    EXPECT_NEAR(mr::sample_variance(x), 0.0013 / 3, 1e-18);
    const std::vector<double> y{0.02, -0.01, 0.01, 0.0};
    // deviations of y from 0.005: 0.015 -0.015 0.005 -0.005
    EXPECT_NEAR(mr::sample_covariance(x, y),
                (0.005 * 0.015 + 0.025 * 0.015 + 0.025 * 0.005 + 0.005 * 0.005) / 3,
                1e-18);
    EXPECT_TRUE(std::isnan(mr::mean({})));
    EXPECT_TRUE(std::isnan(mr::sample_variance(std::vector<double>{0.1})));
    // Constant values: exactly zero, although 0.1 has no exact mean in binary.
    const std::vector<double> constant(7, 0.1);
    EXPECT_EQ(mr::sample_variance(constant), 0.0);
    EXPECT_EQ(mr::sample_covariance(std::vector<double>(4, 0.1), y), 0.0);
}

TEST(RiskKernels, CompoundingDrawdownAndQuantiles) {
    const std::vector<double> r{0.10, -0.5, 1.0};  // value 1.1, 0.55, 1.1
    EXPECT_NEAR(mr::annualized_return(r, 3.0), 1.1 - 1.0, 1e-15);
    EXPECT_NEAR(mr::annualized_return(r, 6.0), 1.21 - 1.0, 1e-15);
    EXPECT_NEAR(mr::max_drawdown(r), 0.5, 1e-15);
    // A first-day loss is measured from the starting value 1.
    EXPECT_NEAR(mr::max_drawdown(std::vector<double>{-0.2, 0.1}), 0.2, 1e-15);
    EXPECT_EQ(mr::max_drawdown(std::vector<double>{0.1, 0.0, 0.2}), 0.0);
    EXPECT_TRUE(std::isnan(mr::max_drawdown({})));

    const std::vector<double> q{5, 1, 4, 2, 3};  // sorted 1..5
    EXPECT_DOUBLE_EQ(mr::quantile_linear(q, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(mr::quantile_linear(q, 1.0), 5.0);
    EXPECT_DOUBLE_EQ(mr::quantile_linear(q, 0.05), 1.2);  // h = 0.2
    EXPECT_DOUBLE_EQ(mr::quantile_linear(q, 0.8), 4.2);   // h = 3.2
    EXPECT_DOUBLE_EQ(mr::historical_var(std::vector<double>{-0.03}, 0.95), 0.03);
    EXPECT_TRUE(std::isnan(mr::quantile_linear({}, 0.5)));

    EXPECT_NEAR(
        mr::downside_deviation(std::vector<double>{0.01, -0.02, 0.0, -0.01}, 0.0),
        std::sqrt(0.0005 / 4), 1e-17);
}

TEST(RiskFigures, UndefinedFiguresAreNaN) {
    // One pair: no standard deviation, so no beta, alpha, Sharpe or tracking error.
    const auto one =
        mr::risk_figures(std::vector<double>{-0.02}, std::vector<double>{0.01}, 0.0244);
    EXPECT_NEAR(one.annual_return, std::pow(0.98, 244.0) - 1, 1e-12);
    EXPECT_TRUE(std::isnan(one.beta));
    EXPECT_TRUE(std::isnan(one.alpha));
    EXPECT_TRUE(std::isnan(one.sharpe));
    EXPECT_TRUE(std::isnan(one.tracking_error));
    EXPECT_NEAR(one.max_drawdown, 0.02, 1e-15);
    EXPECT_NEAR(one.var, 0.02, 1e-15);
    EXPECT_NEAR(one.sortino, -1.0 * std::sqrt(244.0), 1e-9);  // mean/|mean|·√A

    // Constant returns against themselves: zero variances, never an infinity.
    const std::vector<double> flat(10, 0.001);
    const auto c = mr::risk_figures(flat, flat, 0.0);
    EXPECT_TRUE(std::isnan(c.sharpe));
    EXPECT_TRUE(std::isnan(c.beta));
    EXPECT_TRUE(std::isnan(c.information_ratio));
    EXPECT_TRUE(std::isnan(c.sortino));  // no day below the risk-free rate
    EXPECT_TRUE(std::isnan(c.calmar));   // no drawdown
    EXPECT_EQ(c.downside_risk, 0.0);
    EXPECT_EQ(c.tracking_error, 0.0);
    EXPECT_EQ(c.win_rate, 0.0);

    const std::vector<double> none{kNaN, kNaN};
    const auto e = mr::risk_figures(none, std::vector<double>{0.1, 0.2}, 0.03);
    EXPECT_EQ(e.n, 0u);
    for (double v : {e.annual_return, e.alpha, e.beta, e.sharpe, e.sortino,
                     e.max_drawdown, e.var, e.volatility, e.win_rate, e.calmar}) {
        EXPECT_TRUE(std::isnan(v));
    }
    EXPECT_THROW(mr::risk_figures(none, std::vector<double>{0.1}, 0.0),
                 std::invalid_argument);
}

TEST(RiskFigures, InfiniteReturnsLeaveFiguresUndefinedNeverInfinite) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> b{0.01, -0.01, 0.02};
    auto all_nan = [](const mr::RiskFigures& f) {
        for (double x : {f.annual_return, f.alpha, f.beta, f.sharpe, f.sortino,
                         f.max_drawdown, f.var, f.volatility, f.tracking_error,
                         f.information_ratio, f.downside_risk, f.calmar, f.win_rate})
            if (!std::isnan(x)) return false;
        return true;
    };
    // -inf once gave an annual return of +inf; +inf an infinite drawdown-free return.
    using V = std::vector<double>;
    EXPECT_TRUE(all_nan(mr::risk_figures(V{0.01, -inf, 0.0}, b, 0.02)));
    EXPECT_TRUE(all_nan(mr::risk_figures(V{0.01, inf, 0.0}, b, 0.02)));

    // An infinite benchmark return: the portfolio's own figures stand.
    const std::vector<double> r{0.01, 0.02, -0.01};
    const mr::RiskFigures f = mr::risk_figures(r, V{0.0, inf, 0.01}, 0.02);
    const mr::RiskFigures own = mr::risk_figures(r, b, 0.02);
    EXPECT_DOUBLE_EQ(f.annual_return, own.annual_return);
    EXPECT_DOUBLE_EQ(f.sharpe, own.sharpe);
    EXPECT_DOUBLE_EQ(f.max_drawdown, own.max_drawdown);
    for (double x :
         {f.alpha, f.beta, f.tracking_error, f.information_ratio, f.win_rate})
        EXPECT_TRUE(std::isnan(x));

    // Finite returns whose compounded growth overflows.
    const mr::RiskFigures big = mr::risk_figures(V{1e200, 1e200}, V{0.01, -0.01}, 0.0);
    EXPECT_TRUE(std::isnan(big.annual_return));
    EXPECT_TRUE(std::isnan(big.alpha));
}

TEST(RiskFigures, DaysMissingASideAreLeftOutExactly) {
    // A day without the portfolio's return and one without the benchmark's give the
    // figures of the series without those days, to the last bit.
    const std::vector<double> r{0.01, -0.02, 0.03, 0.004, -0.011, 0.02, 0.0};
    const std::vector<double> b{0.012, -0.01, 0.02, 0.001, -0.02, 0.015, 0.003};
    std::vector<double> r_gaps = r, b_gaps = b;
    r_gaps.insert(r_gaps.begin() + 2, kNaN);
    b_gaps.insert(b_gaps.begin() + 2, 0.5);
    r_gaps.insert(r_gaps.begin() + 5, -0.4);
    b_gaps.insert(b_gaps.begin() + 5, kNaN);
    const mr::RiskFigures want = mr::risk_figures(r, b, 0.02, 244);
    const mr::RiskFigures got = mr::risk_figures(r_gaps, b_gaps, 0.02, 244);
    EXPECT_EQ(got.n, r.size());
    for (auto field :
         {&mr::RiskFigures::annual_return, &mr::RiskFigures::alpha,
          &mr::RiskFigures::beta, &mr::RiskFigures::sharpe, &mr::RiskFigures::sortino,
          &mr::RiskFigures::max_drawdown, &mr::RiskFigures::var,
          &mr::RiskFigures::volatility, &mr::RiskFigures::tracking_error,
          &mr::RiskFigures::information_ratio, &mr::RiskFigures::downside_risk,
          &mr::RiskFigures::calmar, &mr::RiskFigures::win_rate})
        EXPECT_EQ(got.*field, want.*field);
}
