#include "meridan/tearsheet/rolling.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "meridan/risk/kernels.hpp"

namespace meridan::tearsheet {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

double ratio(double numerator, double denominator) {
    if (!(denominator != 0.0) || std::isnan(denominator)) return nan;
    return numerator / denominator;
}

double finite_or_nan(double x) { return std::isfinite(x) ? x : nan; }

bool all_finite(std::span<const double> x) {
    for (double v : x) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

}  // namespace

RollingFigures rolling_figures(std::span<const double> r, std::span<const double> b,
                               double annual_rate, std::size_t window,
                               double annualization) {
    if (r.size() != b.size())
        throw std::invalid_argument("returns and benchmark returns differ in length");
    if (window == 0) throw std::invalid_argument("the window holds no day");
    const std::size_t n = r.size();
    RollingFigures out{std::vector<double>(n, nan), std::vector<double>(n, nan),
                       std::vector<double>(n, nan)};
    const double root_a = std::sqrt(annualization);
    const double daily_rate = annual_rate / annualization;
    // Each window is recomputed from its own pairs, with the same two-pass moments
    // as the full-range figures: a running sum would drift from them by rounding and
    // lose the exact zero variance of a constant window.
    for (std::size_t end = window; end <= n; ++end) {
        const std::size_t from = end - window;
        const risk::ReturnPairs pairs =
            risk::drop_missing_pairs(r.subspan(from, window), b.subspan(from, window));
        const std::size_t i = end - 1;
        if (!all_finite(pairs.r)) continue;
        const risk::PairMoments m = risk::pair_moments(pairs.r, pairs.b);
        const double deviation = std::sqrt(m.var_x);
        out.volatility[i] = finite_or_nan(deviation * root_a);
        out.sharpe[i] = finite_or_nan(ratio(m.mean_x - daily_rate, deviation) * root_a);
        if (all_finite(pairs.b)) out.beta[i] = finite_or_nan(ratio(m.cov, m.var_y));
    }
    return out;
}

}  // namespace meridan::tearsheet
