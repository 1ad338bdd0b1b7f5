// Drawdowns of a value series: how far each day's value lies below the highest value
// reached so far, and the separate episodes of falling from a peak and climbing back,
// ranked by depth. Values are positive and finite (the caller checks them).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace meridan::tearsheet {

/// value / running maximum − 1 for each day: 0 on a new high, negative below it.
std::vector<double> underwater(std::span<const double> values);

/// One episode below a peak, as positions in the series.
struct Drawdown {
    std::size_t start;                    // the peak it falls from (the last day at it)
    std::size_t trough;                   // its lowest value (the first such day)
    std::optional<std::size_t> recovery;  // first day back at or above the peak
    std::size_t length;  // days from start to recovery, or to the last day
    double depth;        // trough value / peak value − 1, negative
};

/// The `top` deepest episodes, deepest first (an earlier one first among equal
/// depths). Episodes never overlap: each runs from a peak to the first day the value
/// is back at or above it, so a fall that begins before a recovery belongs to the
/// same episode.
std::vector<Drawdown> worst_drawdowns(std::span<const double> values, std::size_t top);

}  // namespace meridan::tearsheet
