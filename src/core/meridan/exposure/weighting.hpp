// Weighted factor exposure of a set of holdings (a portfolio or an index): weights
// scaled to sum to one, the weighted sum of the holdings' exposures per factor, and
// each holding's share of that sum.
#pragma once

#include <span>
#include <vector>

#include "meridan/exposure/factor_table.hpp"

namespace meridan::exposure {

/// `weights` divided by their sum. Missing weights (NaN) are left out of the sum and
/// stay missing, as pandas' `s / s.sum()` does; a zero sum gives infinities or NaN.
std::vector<double> normalise(std::span<const double> weights);

struct WeightedExposure {
    std::vector<double> total;  // per factor: sum over holdings of weight * exposure
    FactorTable share;          // per holding and factor: weight * exposure / total
};

/// `exposures` has one row per holding, aligned with `weights`. Products that are
/// missing (a NaN exposure or weight) count as nothing in the totals, as pandas'
/// row sum skips them, and stay missing in the shares.
WeightedExposure weigh_exposures(const FactorTable& exposures,
                                 std::span<const double> weights);

}  // namespace meridan::exposure
