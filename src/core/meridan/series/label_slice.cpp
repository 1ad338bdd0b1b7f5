#include "meridan/series/label_slice.hpp"

#include <algorithm>

namespace meridan::series {

bool is_ascending(std::span<const std::int64_t> days) {
    return std::is_sorted(days.begin(), days.end());
}

std::optional<std::size_t> first_on_or_after(std::span<const std::int64_t> days,
                                             std::int64_t day) {
    const auto it = std::lower_bound(days.begin(), days.end(), day);
    if (it == days.end()) return std::nullopt;
    return static_cast<std::size_t>(it - days.begin());
}

PositionRange label_slice(std::span<const std::int64_t> days, std::int64_t first,
                          std::int64_t last) {
    const auto lo = std::lower_bound(days.begin(), days.end(), first);
    const auto hi = std::upper_bound(lo, days.end(), last);
    return {static_cast<std::size_t>(lo - days.begin()),
            static_cast<std::size_t>(std::max(lo, hi) - days.begin())};
}

}  // namespace meridan::series
