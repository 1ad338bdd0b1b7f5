#include "meridan/risk/figures.hpp"

#include <cmath>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <vector>

#include "meridan/risk/kernels.hpp"

namespace meridan::risk {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// A ratio whose denominator is zero or undefined is itself undefined: NaN rather
// than an infinity or the sign of a rounding residue.
double ratio(double numerator, double denominator) {
    if (!(denominator != 0.0) || std::isnan(denominator)) return nan;
    return numerator / denominator;
}

bool all_finite(std::span<const double> x) {
    for (double v : x) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

// A figure that overflowed (a compounded growth beyond the largest double, say) has
// no value to show: NaN, as for any other undefined figure.
double finite_or_nan(double x) { return std::isinf(x) ? nan : x; }

}  // namespace

RiskFigures risk_figures(std::span<const double> r_in, std::span<const double> b_in,
                         double annual_rate, double annualization) {
    if (r_in.size() != b_in.size()) {
        throw std::invalid_argument("returns and benchmark returns differ in length");
    }
    // Days with a missing return on either side are left out; without any (the
    // usual case) the returns are read where they lie.
    bool complete = true;
    for (std::size_t i = 0; i < r_in.size(); ++i)
        complete = complete && !std::isnan(r_in[i]) && !std::isnan(b_in[i]);
    const ReturnPairs pairs = complete ? ReturnPairs{} : drop_missing_pairs(r_in, b_in);
    const std::span<const double> r =
        complete ? r_in : std::span<const double>(pairs.r);
    const std::span<const double> b =
        complete ? b_in : std::span<const double>(pairs.b);
    const std::size_t n = r.size();
    const double a = annualization;
    const double root_a = std::sqrt(a);
    const double daily_rate = annual_rate / a;

    std::size_t wins = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (r[i] > b[i]) ++wins;
    }
    const PairMoments m = pair_moments(r, b);
    // r − rf_d differs from r by a constant: same standard deviation, and its mean
    // is the mean of r less rf_d.
    const double mean_excess = m.mean_x - daily_rate;
    const double volatility = std::sqrt(m.var_x);

    RiskFigures f{};
    f.n = n;
    f.annual_return = annualized_return(r, a);
    f.beta = ratio(m.cov, m.var_y);
    const double benchmark_return = annualized_return(b, a);
    f.alpha =
        f.annual_return - (annual_rate + f.beta * (benchmark_return - annual_rate));
    f.sharpe = ratio(mean_excess, volatility) * root_a;
    // The shortfall of r − rf_d below 0 is that of r below rf_d, to the last bit.
    const double downside = downside_deviation(r, daily_rate);
    f.sortino = ratio(mean_excess * a, downside * root_a);
    f.max_drawdown = max_drawdown(r);
    f.var = historical_var(r, kVarConfidence);
    f.volatility = volatility * root_a;
    f.tracking_error = std::sqrt(m.var_diff) * root_a;
    f.information_ratio = ratio(m.mean_diff * a, f.tracking_error);
    f.downside_risk = downside * root_a;
    f.calmar = ratio(f.annual_return, f.max_drawdown);
    f.win_rate = n == 0 ? nan : static_cast<double>(wins) / static_cast<double>(n);

    // An infinite return (a value that came from nothing, or fell to -inf) leaves
    // every figure that reads it undefined: all of them for the returns, the
    // comparisons with the benchmark for the benchmark's.
    if (!all_finite(r)) {
        const std::size_t kept = f.n;
        f = RiskFigures{nan, nan, nan, nan, nan, nan, nan,
                        nan, nan, nan, nan, nan, nan, kept};
    } else if (!all_finite(b)) {
        f.alpha = f.beta = f.tracking_error = f.information_ratio = f.win_rate = nan;
    }
    for (double* x : {&f.annual_return, &f.alpha, &f.beta, &f.sharpe, &f.sortino,
                      &f.max_drawdown, &f.var, &f.volatility, &f.tracking_error,
                      &f.information_ratio, &f.downside_risk, &f.calmar, &f.win_rate})
        *x = finite_or_nan(*x);
    return f;
}

}  // namespace meridan::risk
