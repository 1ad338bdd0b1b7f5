#include "meridan/risk/distribution.hpp"

#include <cmath>
#include <limits>

#include "meridan/risk/kernels.hpp"

namespace meridan::risk {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Central moments m2, m3, m4 about the mean (corrected for the rounding of its first
// pass); m2 is exactly 0 for constant values, so their shape figures are undefined
// rather than the ratio of two rounding residues.
struct Central {
    double m2, m3, m4;
};

Central central_moments(std::span<const double> r) {
    const double n = static_cast<double>(r.size());
    const double mu = mean(r);
    bool varies = false;
    double residue = 0.0;
    for (double v : r) {
        varies |= v != r[0];
        residue += v - mu;
    }
    if (!varies) return {0.0, 0.0, 0.0};
    const double m = mu + residue / n;
    double s2 = 0.0, s3 = 0.0, s4 = 0.0;
    for (double v : r) {
        const double d = v - m;
        const double d2 = d * d;
        s2 += d2;
        s3 += d2 * d;
        s4 += d2 * d2;
    }
    return {s2 / n, s3 / n, s4 / n};
}

}  // namespace

double value_at_risk(std::span<const double> r, double confidence) {
    return historical_var(r, confidence);
}

double expected_shortfall(std::span<const double> r, double confidence) {
    if (r.empty()) return nan;
    const double cut = quantile_linear(r, 1.0 - confidence);
    double sum = 0.0;
    std::size_t count = 0;
    for (double v : r) {
        if (v <= cut) {
            sum += v;
            ++count;
        }
    }
    // The smallest return is always at or below any quantile, so count >= 1.
    return -sum / static_cast<double>(count);
}

double skewness(std::span<const double> r) {
    if (r.empty()) return nan;
    const Central c = central_moments(r);
    if (c.m2 == 0.0) return nan;
    return c.m3 / (c.m2 * std::sqrt(c.m2));
}

double kurtosis(std::span<const double> r) {
    if (r.empty()) return nan;
    const Central c = central_moments(r);
    if (c.m2 == 0.0) return nan;
    return c.m4 / (c.m2 * c.m2) - 3.0;
}

double omega(std::span<const double> r, double threshold) {
    double gains = 0.0, losses = 0.0;
    for (double v : r) {
        if (v > threshold)
            gains += v - threshold;
        else
            losses += threshold - v;
    }
    if (!(losses > 0.0)) return nan;
    return gains / losses;
}

double tail_ratio(std::span<const double> r) {
    if (r.empty()) return nan;
    const double left = std::fabs(quantile_linear(r, 0.05));
    if (left == 0.0) return nan;
    return quantile_linear(r, 0.95) / left;
}

}  // namespace meridan::risk
