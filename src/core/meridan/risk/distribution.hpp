// Figures of the shape of a daily return distribution: its tails (value at risk,
// expected shortfall, the ratio of the right tail to the left), its third and fourth
// moments, and the omega ratio of gains to losses about a threshold. Inputs hold no
// NaN (the caller drops missing days); a figure undefined for the input is NaN.
#pragma once

#include <span>

namespace meridan::risk {

/// Minus the (1 − confidence)-quantile (linear interpolation) of `r`: a loss as a
/// positive fraction; NaN when empty.
double value_at_risk(std::span<const double> r, double confidence);

/// Minus the mean of the returns at or below the (1 − confidence)-quantile (linear
/// interpolation), the average loss on the days at or past the value at risk; NaN
/// when empty.
double expected_shortfall(std::span<const double> r, double confidence);

/// Population skewness m3 / m2^1.5, with m_k the mean of (r − mean)^k; NaN when
/// empty or constant.
double skewness(std::span<const double> r);

/// Population excess kurtosis m4 / m2² − 3 (0 for a normal distribution); NaN when
/// empty or constant.
double kurtosis(std::span<const double> r);

/// Σ max(r − threshold, 0) / Σ max(threshold − r, 0): gains above the threshold per
/// unit of losses below it; NaN when nothing falls below it.
double omega(std::span<const double> r, double threshold);

/// The 95th percentile over the absolute value of the 5th (linear interpolation);
/// NaN when empty or when the 5th percentile is 0.
double tail_ratio(std::span<const double> r);

}  // namespace meridan::risk
