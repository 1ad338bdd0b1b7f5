// The risk figures of a daily return series against a benchmark's daily returns:
// return, Jensen's alpha, beta, Sharpe and Sortino ratios, maximum drawdown,
// historical value at risk and a few more figures of the same family, computed in
// one pass over the pairs of days where both returns are known.
#pragma once

#include <cstddef>
#include <span>

namespace meridan::risk {

/// Trading days in a year on the A-share market, the default annualisation.
inline constexpr double kTradingDaysPerYear = 244.0;

/// Confidence level of the one-day value at risk.
inline constexpr double kVarConfidence = 0.95;

/// Every figure is a fraction (or a plain ratio); NaN where undefined for the input.
struct RiskFigures {
    double annual_return;   // (Π(1+r))^(A/n) − 1
    double alpha;           // annual_return − [rate + beta (benchmark return − rate)]
    double beta;            // cov(r, b) / var(b), sample (ddof 1)
    double sharpe;          // mean(r − rf_d) / std(r − rf_d) · √A
    double sortino;         // mean(r − rf_d) · A / (downside deviation · √A)
    double max_drawdown;    // largest fall from the running peak, positive
    double var;             // −(5th percentile of r)
    double volatility;      // std(r) · √A
    double tracking_error;  // std(r − b) · √A
    double information_ratio;  // mean(r − b) · A / tracking_error
    double downside_risk;      // √(mean(min(r − rf_d, 0)²)) · √A
    double calmar;             // annual_return / max_drawdown
    double win_rate;           // share of days with r > b
    std::size_t n;             // number of pairs used
};

/// Figures of daily returns `r` against benchmark daily returns `b` (equal lengths;
/// std::invalid_argument otherwise). Days where either is NaN are dropped first. An
/// infinite return makes every figure NaN, an infinite benchmark return alpha, beta,
/// tracking error, information ratio and win rate; a figure that overflows is NaN
/// too, so no figure is ever infinite.
/// `annual_rate` is the annual risk-free rate as a fraction; `annualization` the
/// number of days in a year (A), so the daily risk-free rate is rf_d = rate / A.
RiskFigures risk_figures(std::span<const double> r, std::span<const double> b,
                         double annual_rate,
                         double annualization = kTradingDaysPerYear);

}  // namespace meridan::risk
