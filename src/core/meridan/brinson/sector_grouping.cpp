#include "meridan/brinson/sector_grouping.hpp"

#include <cmath>
#include <stdexcept>

namespace meridan::brinson {

namespace {

bool in_range(int slot, std::size_t n) {
    return slot >= 0 && static_cast<std::size_t>(slot) < n;
}

}  // namespace

SectorResult group_by_sector(std::span<const double> weight,
                             std::span<const double> ret,
                             std::span<const int> weight_sector,
                             std::span<const int> return_sector,
                             std::size_t n_sectors) {
    const std::size_t n = weight.size();
    if (ret.size() != n || weight_sector.size() != n || return_sector.size() != n)
        throw std::invalid_argument("group_by_sector: input sizes differ");
    SectorResult out{std::vector<double>(n_sectors, 0.0),
                     std::vector<double>(n_sectors, 0.0)};
    std::vector<double> weighted(n_sectors, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (in_range(weight_sector[i], n_sectors) && !std::isnan(weight[i]))
            out.weight[static_cast<std::size_t>(weight_sector[i])] += weight[i];
        const double contribution = weight[i] * ret[i];
        if (in_range(return_sector[i], n_sectors) && !std::isnan(contribution))
            weighted[static_cast<std::size_t>(return_sector[i])] += contribution;
    }
    for (std::size_t s = 0; s < n_sectors; ++s) {
        out.ret[s] = out.weight[s] == 0.0 ? 0.0 : weighted[s] / out.weight[s];
    }
    return out;
}

}  // namespace meridan::brinson
