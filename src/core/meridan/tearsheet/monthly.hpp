// Calendar returns of a value series: each month's and each year's growth, measured
// from the last value before the month (or year) to its last value, laid out as a
// table of years by months for a heat table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace meridan::tearsheet {

/// Rows are the years from the first day's to the last day's; `cells` holds, per row,
/// the twelve months' returns then the year's total (13 values, row-major).
struct MonthlyTable {
    int first_year = 0;
    std::size_t years = 0;
    std::vector<double> cells;

    static constexpr std::size_t kColumns = 13;
};

/// `days` (day numbers, ascending) and their positive `values`. A month's return is
/// its last value over the last value of an earlier day, less 1, and the year's
/// total likewise: the earlier day is the latest before the month (year) began, or,
/// for the first month (year), the series' first day. A month without a value is
/// NaN; so is the total of a year without one. Empty input gives an empty table.
MonthlyTable monthly_returns(std::span<const std::int64_t> days,
                             std::span<const double> values);

}  // namespace meridan::tearsheet
