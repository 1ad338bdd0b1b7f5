// Multi-period attribution whose effects add up: each period's sector results are
// made to reproduce that period's actual returns, a sector the portfolio does not
// hold is measured at the benchmark's return (so nothing is "selected" in it), the
// per-period effects are computed and then linked over the range by one of the
// published linking methods, so that the linked effects sum to the compounded
// portfolio return minus the compounded benchmark return. The same linking carries
// each holding's contribution and active contribution over the range.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "meridan/brinson/effects.hpp"
#include "meridan/brinson/sector_grouping.hpp"

namespace meridan::brinson {

/// How per-period effects are carried over a range of periods. With R_t, B_t the
/// portfolio's and the benchmark's return of period t and R, B their compounded
/// returns over the range:
enum class Linking {
    // Carino: effect x k_t / k, k_t = ln((1+R_t)/(1+B_t)) / (R_t - B_t),
    // k = ln((1+R)/(1+B)) / (R - B); 1/(1+R_t) and 1/(1+R) when the returns are equal.
    carino,
    // Menchero: effect x (M + a_t), M = ((R-B)/T) / ((1+R)^(1/T) - (1+B)^(1/T))
    // ((1+R)^((T-1)/T) when R = B), a_t = (R - B - M sum(R_t - B_t)) (R_t - B_t) /
    // sum((R_t - B_t)^2) (0 when every R_t = B_t).
    menchero,
    // GRAP: effect x prod_{j<t}(1+R_j) x prod_{j>t}(1+B_j).
    grap,
    // Frongello: G_t = effect_t x prod_{j<t}(1+R_j) + B_t x sum_{j<t} G_j.
    frongello,
    // Sector weights averaged over time and returns linked by growth (as `calc`
    // links periods), rescaled to R and B; the effects taken once on the result.
    scaled,
};

/// The linking named `name` ("carino", "menchero", "grap", "frongello", "scaled").
std::optional<Linking> linking_named(std::string_view name);

/// prod(1 + r) - 1.
double compound(std::span<const double> returns);

/// Links per-period values: `values` is row-major, one row of `n` values per period
/// (in time order), `portfolio` and `benchmark` the periods' returns. Returns one
/// linked value per column. When each row sums to R_t - B_t, the result sums to
/// R - B. `how` is any linking but `scaled`, which links weights and returns rather
/// than effects (std::invalid_argument).
std::vector<double> link_values(std::span<const double> values, std::size_t n,
                                std::span<const double> portfolio,
                                std::span<const double> benchmark, Linking how);

/// One run of dates within a period over which the benchmark keeps its constituents:
/// its weights (fractions of the run's total) and compound returns.
struct BenchmarkRun {
    double length;          // dates in the run
    SectorResult sectors;   // one entry per row of the sector table
    SectorResult holdings;  // one entry per holding of the portfolio (0 weight for
                            // a stock that is no member)
};

/// One period of unchanged portfolio holdings, as read from the snapshots and the
/// market data. Weights are fractions of the period's first value; returns compound
/// over the period's dates; a missing return (NaN) counts as no change.
struct PeriodInput {
    double length;            // dates in the period
    double portfolio_return;  // the period's actual returns, the targets of the
    double benchmark_return;  // rescaling
    SectorResult portfolio;   // per row (cash as a row of return 0)
    SectorResult holdings;    // per holding, weight 0 when not held in the period
    std::vector<BenchmarkRun> benchmark;  // in time order, at least one
};

/// A period as attributed: weights and returns per row after the rescaling and the
/// benchmark return of unheld sectors, and the effects per row.
struct PeriodAttribution {
    SectorResult portfolio;
    SectorResult benchmark;
    Effects effects;
};

struct Attribution {
    std::vector<PeriodAttribution> periods;
    SectorResult portfolio;  // per row: weights averaged over time, linked returns
    SectorResult benchmark;
    Effects effects;          // per row, linked
    double portfolio_return;  // compounded over the periods
    double benchmark_return;
    std::vector<double> contribution;  // per holding, w r grown with the portfolio
    std::vector<double> active_contribution;  // per holding, linked (w - wb)(r - B_t)
};

/// Scales `ret` so that sum(weight x ret) equals `target`: by target / sum when the
/// sum is not 0, else by adding (target - sum) / sum(weight) to every return (no
/// scale factor can move a zero sum). Returns the (factor, shift) applied, so that
/// related returns can be moved alike. Missing products are skipped by the sums.
struct Rescaling {
    double factor = 1.0;
    double shift = 0.0;
    double apply(double r) const { return r * factor + shift; }
};
Rescaling rescale_to(std::span<const double> weight, std::span<double> ret,
                     double target);

/// A row the portfolio does not hold (weight 0) takes the benchmark's return, so
/// that its selection and interaction are 0 and its whole effect is allocation.
void unheld_take_benchmark(SectorResult& portfolio, const SectorResult& benchmark);

/// Attributes `periods` (at least one, every result sized alike) by `method`, linked
/// by `how`. Per period: the portfolio's row and holding returns rescaled to
/// `portfolio_return`; the benchmark's runs linked into one result, its weights
/// normalised to 1 and its returns rescaled to `benchmark_return`; then unheld rows
/// take the benchmark's return; then the effects. The holdings' per-period
/// contribution is w r and their active contribution (w - wb)(r - B_t), r being the
/// benchmark's return of the stock where the portfolio holds none of it.
Attribution attribute(std::span<const PeriodInput> periods, Method method, Linking how);

}  // namespace meridan::brinson
