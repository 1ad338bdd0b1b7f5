// Reductions with pandas' treatment of missing values.
#pragma once

#include <cmath>
#include <span>

namespace meridan::series {

/// pandas' `sum()`: missing (NaN) values skipped, 0 when none is left.
inline double skipna_sum(std::span<const double> values) {
    double total = 0.0;
    for (double v : values) {
        if (!std::isnan(v)) total += v;
    }
    return total;
}

}  // namespace meridan::series
