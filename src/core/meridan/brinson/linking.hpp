// Linking of single-period sector results into one result over a whole range:
// weights averaged over time, returns linked so that the sectors' contributions add
// up to the compound total return; and the rescaling that makes a linked result
// reproduce an actual total change.
#pragma once

#include <span>
#include <vector>

#include "meridan/brinson/sector_grouping.hpp"

namespace meridan::brinson {

/// Links periods in time order; every period holds one entry per row of the shared
/// sector table and `lengths[i]` is the number of dates in period i. A period's
/// contributions (weight x return) are scaled by the growth of all earlier periods
/// (1 + their total return, cash included); the weights are averaged weighted by
/// length, not normalised. A row's linked return is its summed contribution over its
/// average weight; a row of average weight 0 has return 0.
SectorResult link_periods(std::span<const SectorResult> periods,
                          std::span<const double> lengths);

/// Divides every weight by the sum of all (missing values skipped by the sum): the
/// weights as fractions of their total.
void divide_by_sum(std::span<double> weight);

/// Scales `weight` by 1 / its sum, so that it adds up to 1 (missing values are
/// skipped by the sum).
void normalise_weights(std::span<double> weight);

/// Multiplies every return by actual / r1, r1 being sum(weight x return), so that
/// the weighted returns add up to `actual`; when r1 is 0 the returns stay as they
/// are. Returns the factor applied (1 when none).
double rescale_returns(std::span<const double> weight, std::span<double> ret,
                       double actual);

/// The whole range's result: the periods linked (link_periods), the weights
/// normalised to a total of 1 and the returns rescaled so that the weighted returns
/// add up to `actual`, the range's actual total change (rescale_returns).
SectorResult linked_total(std::span<const SectorResult> periods,
                          std::span<const double> lengths, double actual);

/// sum(weight x return), missing products skipped.
double weighted_sum(std::span<const double> weight, std::span<const double> ret);

}  // namespace meridan::brinson
