// Runs of consecutive dates over which a benchmark keeps the same constituents: the
// benchmark's weights are read once per run and held through it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace meridan::brinson {

/// One run: the position of its first date and the number of dates in it.
struct Run {
    std::size_t first;
    std::size_t length;

    friend bool operator==(const Run&, const Run&) = default;
};

/// Cuts dates into runs. `same_as_previous[i]` tells whether date i has the
/// constituent set of date i - 1 (entry 0 is ignored); a change starts a new run,
/// even when the set returns to an earlier one.
std::vector<Run> constituent_runs(std::span<const bool> same_as_previous);

}  // namespace meridan::brinson
