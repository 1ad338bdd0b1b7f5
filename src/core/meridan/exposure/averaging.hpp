// Averaging of factor exposures over an instrument's latest dates, so that one noisy
// day does not dominate: the mean of each factor over the last rows of each instrument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "meridan/exposure/factor_table.hpp"

namespace meridan::exposure {

/// Number of latest dates averaged per instrument.
inline constexpr std::size_t kAveragedDates = 22;

struct GroupMeans {
    FactorTable means;               // one row per group
    std::vector<std::size_t> count;  // rows that fell in each group (before the cut)
};

/// Mean of each column over the last `window` rows of each group, the rows taken in
/// the order they are stored (dates ascending). `group[r]` is row r's group, in
/// [0, groups), or negative for a row to ignore. Missing values (NaN) are skipped, as
/// pandas' mean does; a column with no value in a group's window is NaN. Only the
/// rows averaged are read, so a reply spanning a long window costs little more.
GroupMeans average_last_rows(const TableView& rows, std::span<const std::int64_t> group,
                             std::size_t groups, std::size_t window = kAveragedDates);

}  // namespace meridan::exposure
