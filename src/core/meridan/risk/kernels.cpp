#include "meridan/risk/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace meridan::risk {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

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

PairMoments pair_moments(std::span<const double> x, std::span<const double> y) {
    const std::size_t n = x.size();
    if (n == 0) return {nan, nan, nan, nan, nan, nan, nan};
    const double count = static_cast<double>(n);
    double sx = 0.0, sy = 0.0;
    bool x_varies = false, y_varies = false, diff_varies = false;
    const double diff0 = x[0] - y[0];
    for (std::size_t i = 0; i < n; ++i) {
        sx += x[i];
        sy += y[i];
        x_varies |= x[i] != x[0];
        y_varies |= y[i] != y[0];
        diff_varies |= x[i] - y[i] != diff0;
    }
    const double mx = sx / count, my = sy / count, md = mx - my;
    // Centred sums; the plain sums of deviations correct the means and the squares.
    double dx = 0.0, dy = 0.0, dd = 0.0, xx = 0.0, yy = 0.0, xy = 0.0, ddd = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = x[i] - mx, b = y[i] - my, c = (x[i] - y[i]) - md;
        dx += a;
        dy += b;
        dd += c;
        xx += a * a;
        yy += b * b;
        xy += a * b;
        ddd += c * c;
    }
    PairMoments m{
        mx + dx / count, my + dy / count, md + dd / count, nan, nan, nan, nan};
    if (n < 2) return m;
    const double dof = count - 1.0;
    m.var_x = x_varies ? (xx - dx * dx / count) / dof : 0.0;
    m.var_y = y_varies ? (yy - dy * dy / count) / dof : 0.0;
    m.cov = x_varies && y_varies ? (xy - dx * dy / count) / dof : 0.0;
    m.var_diff = diff_varies ? (ddd - dd * dd / count) / dof : 0.0;
    return m;
}

double mean(std::span<const double> x) { return pair_moments(x, x).mean_x; }

double sample_variance(std::span<const double> x) { return pair_moments(x, x).var_x; }

double sample_covariance(std::span<const double> x, std::span<const double> y) {
    return pair_moments(x, y).cov;
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
