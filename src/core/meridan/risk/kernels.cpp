#include "meridan/risk/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace meridan::risk {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool is_constant(std::span<const double> x) {
    return std::all_of(x.begin(), x.end(), [&](double v) { return v == x.front(); });
}

// Sum of (x - m)(y - m_y): the mean is corrected by one more pass over the
// deviations, which removes most of the rounding of the first division.
double centred_cross_sum(std::span<const double> x, std::span<const double> y) {
    const double mx = mean(x);
    const double my = mean(y);
    double sum = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) sum += (x[i] - mx) * (y[i] - my);
    return sum;
}

}  // namespace

ReturnPairs drop_missing_pairs(std::span<const double> r, std::span<const double> b) {
    ReturnPairs out;
    out.r.reserve(r.size());
    out.b.reserve(r.size());
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (std::isnan(r[i]) || std::isnan(b[i])) continue;
        out.r.push_back(r[i]);
        out.b.push_back(b[i]);
    }
    return out;
}

double mean(std::span<const double> x) {
    if (x.empty()) return nan;
    const double n = static_cast<double>(x.size());
    double sum = 0.0;
    for (double v : x) sum += v;
    const double first = sum / n;
    double correction = 0.0;
    for (double v : x) correction += v - first;
    return first + correction / n;
}

double sample_variance(std::span<const double> x) {
    if (x.size() < 2) return nan;
    if (is_constant(x)) return 0.0;
    return centred_cross_sum(x, x) / static_cast<double>(x.size() - 1);
}

double sample_covariance(std::span<const double> x, std::span<const double> y) {
    if (x.size() < 2) return nan;
    if (is_constant(x) || is_constant(y)) return 0.0;
    return centred_cross_sum(x, y) / static_cast<double>(x.size() - 1);
}

double annualized_return(std::span<const double> r, double periods_per_year) {
    if (r.empty()) return nan;
    double growth = 1.0;
    for (double v : r) growth *= 1.0 + v;
    return std::pow(growth, periods_per_year / static_cast<double>(r.size())) - 1.0;
}

double downside_deviation(std::span<const double> x, double threshold) {
    if (x.empty()) return nan;
    double sum = 0.0;
    for (double v : x) {
        const double shortfall = std::min(v - threshold, 0.0);
        sum += shortfall * shortfall;
    }
    return std::sqrt(sum / static_cast<double>(x.size()));
}

double max_drawdown(std::span<const double> r) {
    if (r.empty()) return nan;
    double value = 1.0;
    double peak = 1.0;
    double worst = 0.0;
    for (double v : r) {
        value *= 1.0 + v;
        peak = std::max(peak, value);
        worst = std::max(worst, 1.0 - value / peak);
    }
    return worst;
}

double quantile_linear(std::span<const double> x, double q) {
    if (x.empty()) return nan;
    std::vector<double> sorted(x.begin(), x.end());
    const double h = static_cast<double>(sorted.size() - 1) * q;
    const auto lo = static_cast<std::size_t>(std::floor(h));
    const double t = h - static_cast<double>(lo);
    const auto lo_it = sorted.begin() + static_cast<std::ptrdiff_t>(lo);
    std::nth_element(sorted.begin(), lo_it, sorted.end());
    const double a = *lo_it;
    if (t == 0.0 || lo + 1 == sorted.size()) return a;
    const double b = *std::min_element(lo_it + 1, sorted.end());
    // numpy's interpolation form: exact at both ends of the step.
    return t < 0.5 ? a + (b - a) * t : b - (b - a) * (1.0 - t);
}

double historical_var(std::span<const double> r, double confidence) {
    return -quantile_linear(r, 1.0 - confidence);
}

}  // namespace meridan::risk
