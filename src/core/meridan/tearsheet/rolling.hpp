// Risk figures over a trailing window of daily returns: volatility, beta and Sharpe
// ratio as the full-range risk figures define them, recomputed for each day from the
// `window` days that end on it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace meridan::tearsheet {

struct RollingFigures {
    std::vector<double> volatility;  // std(r, ddof 1) · √A
    std::vector<double> beta;        // cov(r, b) / var(b), sample
    std::vector<double> sharpe;      // mean(r − rf_d) / std(r − rf_d) · √A
};

/// For each day i ≥ window − 1, the figures of the returns `r` against `b` (equal
/// lengths) over days i − window + 1 … i; NaN before. As over a full range, a day
/// where either return is NaN is left out of its windows, a figure undefined for
/// what remains (fewer than two days, no variance) is NaN, an infinite return makes
/// the window's figures NaN (an infinite benchmark return its beta), and no figure
/// is infinite. `annual_rate` is the annual risk-free rate, rf_d = annual_rate / A,
/// A = `annualization`; `window` is at least 1.
RollingFigures rolling_figures(std::span<const double> r, std::span<const double> b,
                               double annual_rate, std::size_t window,
                               double annualization);

}  // namespace meridan::tearsheet
