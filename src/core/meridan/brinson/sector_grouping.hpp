// Sector weights and weight-averaged sector returns of one period, from the weights
// and period returns of single instruments and the sector each one belongs to.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace meridan::brinson {

/// Weights and returns per sector (or per row of a sector table), fractions.
struct SectorResult {
    std::vector<double> weight;
    std::vector<double> ret;
};

/// Marks an instrument that belongs to no sector slot: it is left out of both sums.
inline constexpr int kNoSector = -1;

/// Groups instruments into `n_sectors` slots. `weight_sector[i]` is the slot whose
/// weight instrument i adds to, `return_sector[i]` the slot whose weighted return it
/// adds to (the same slot unless a classifier answers differently when asked again).
/// Missing values (NaN weight or return) are skipped by the sums, as pandas' `sum`
/// does. A slot's return is its weighted return divided by its weight; a slot of
/// weight 0 has return 0.0 rather than 0/0.
SectorResult group_by_sector(std::span<const double> weight,
                             std::span<const double> ret,
                             std::span<const int> weight_sector,
                             std::span<const int> return_sector, std::size_t n_sectors);

}  // namespace meridan::brinson
