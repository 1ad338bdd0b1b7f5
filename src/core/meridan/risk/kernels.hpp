// The building blocks of the risk figures: sample moments, compounding, drawdown and
// historical value at risk over daily returns given as fractions. Inputs hold no NaN
// (missing values are dropped by the caller); a figure that is undefined for the input
// (too few values, a zero variance) is NaN, never an exception or an infinity.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace meridan::risk {

/// The pairs (r[i], b[i]) where neither value is NaN, in their order. `r` and `b`
/// have equal lengths.
struct ReturnPairs {
    std::vector<double> r;
    std::vector<double> b;
};
ReturnPairs drop_missing_pairs(std::span<const double> r, std::span<const double> b);

/// Means, sample variances (ddof 1) and covariance of paired values, and of their
/// differences x − y, from two passes over the pairs (the second corrects the means
/// for the rounding of the first). Means are NaN when empty, the second moments for
/// fewer than two pairs. A constant side has a variance (and covariance) of exactly
/// 0, not the rounding noise of its mean, so constant returns give undefined ratios
/// rather than huge ones.
struct PairMoments {
    double mean_x;
    double mean_y;
    double mean_diff;
    double var_x;
    double var_y;
    double cov;
    double var_diff;
};
PairMoments pair_moments(std::span<const double> x, std::span<const double> y);

/// Arithmetic mean; NaN when empty.
double mean(std::span<const double> x);

/// Sample variance (ddof 1), as `pair_moments`.
double sample_variance(std::span<const double> x);

/// Sample covariance (ddof 1), as `pair_moments`.
double sample_covariance(std::span<const double> x, std::span<const double> y);

/// (Π(1 + r))^(periods_per_year / n) − 1: the compound return scaled to a year of
/// `periods_per_year` periods; NaN when empty.
double annualized_return(std::span<const double> r, double periods_per_year);

/// √(mean(min(x − threshold, 0)²)) over all values (days above the threshold count
/// as zero deviation); NaN when empty.
double downside_deviation(std::span<const double> x, double threshold);

/// Largest fall of the compounded value (1 before the first return) from its running
/// peak, as a positive fraction (0.2 for a 20 % fall; 0 when it never falls); NaN
/// when empty. A loss on the first day counts, measured from the starting value.
double max_drawdown(std::span<const double> r);

/// The q-quantile (0 <= q <= 1) with linear interpolation between the order
/// statistics at positions floor(h) and ceil(h), h = (n − 1)·q (numpy's default
/// percentile); NaN when empty.
double quantile_linear(std::span<const double> x, double q);

/// One-day historical value at risk at `confidence` (0.95: 95 %): minus the
/// (1 − confidence)-quantile of the returns, a loss as a positive fraction; NaN when
/// empty.
double historical_var(std::span<const double> r, double confidence);

}  // namespace meridan::risk
