// Relative changes of a value series.
#pragma once

#include <span>
#include <vector>

namespace meridan::series {

/// Day-on-day change with missing values padded first, the rule of the pandas the
/// analyses were written for (`pct_change(fill_method="pad")`): a NaN takes the last
/// valid value, so its change is 0 and the next change is measured against that
/// value. Leading NaNs stay NaN; the first change is NaN (no previous value).
/// Division follows IEEE arithmetic, as numpy does (x / 0 is ±inf, 0 / 0 NaN).
std::vector<double> pad_filled_changes(std::span<const double> values);

/// Cumulative return since the first value: values / values[0] - 1 (empty in,
/// empty out).
std::vector<double> changes_since_first(std::span<const double> values);

}  // namespace meridan::series
