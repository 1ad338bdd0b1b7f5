#include "meridan/risk/capture.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "meridan/risk/kernels.hpp"

namespace meridan::risk {

namespace {
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
}

double capture(std::span<const double> r, std::span<const double> b, bool rising,
               double annualization) {
    std::vector<double> rr, bb;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (rising ? b[i] > 0.0 : b[i] < 0.0) {
            rr.push_back(r[i]);
            bb.push_back(b[i]);
        }
    }
    if (rr.empty()) return nan;
    const double benchmark = annualized_return(bb, annualization);
    if (!(benchmark != 0.0) || !std::isfinite(benchmark)) return nan;
    const double portfolio = annualized_return(rr, annualization);
    const double ratio = portfolio / benchmark;
    return std::isfinite(ratio) ? ratio : nan;
}

double stability(std::span<const double> r) {
    const std::size_t n = r.size();
    if (n < 2) return nan;
    std::vector<double> y(n);
    double level = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!(r[i] > -1.0)) return nan;
        level += std::log1p(r[i]);
        y[i] = level;
    }
    // Least squares on x = 0 … n−1: x̄ = (n−1)/2, Sxx = n(n²−1)/12.
    const double count = static_cast<double>(n);
    const double x_mean = (count - 1.0) / 2.0;
    const double y_mean = mean(y);
    double sxy = 0.0, syy = 0.0;
    bool varies = false;
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = static_cast<double>(i) - x_mean;
        const double dy = y[i] - y_mean;
        sxy += dx * dy;
        syy += dy * dy;
        varies |= y[i] != y[0];
    }
    if (!varies || !(syy > 0.0)) return nan;
    const double sxx = count * (count * count - 1.0) / 12.0;
    return sxy * sxy / (sxx * syy);
}

}  // namespace meridan::risk
