// Compound returns of daily change-rate tables, as the attribution reads them from
// the market-data client: one column per instrument, one row per trading day.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace meridan::brinson {

/// Compound return of each column of a row-major `rows` x `cols` table of daily
/// change rates: prod(1 + rate) - 1. A missing rate (NaN) counts as no change, the
/// way pandas' `prod` skips missing values, so a column without any rate gives 0.
std::vector<double> compound_columns(std::span<const double> rates, std::size_t rows,
                                     std::size_t cols);

/// The compound returns of the instruments `wanted` from the returns of a table's
/// columns labelled `columns` (codes): an instrument reads the first column with its
/// label and is missing (NaN) without one, as pandas' alignment leaves it.
std::vector<double> returns_by_label(std::span<const int> wanted,
                                     std::span<const int> columns,
                                     std::span<const double> growth);

}  // namespace meridan::brinson
