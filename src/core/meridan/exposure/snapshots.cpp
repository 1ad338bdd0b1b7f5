#include "meridan/exposure/snapshots.hpp"

#include <cstdlib>

#include "meridan/dates/civil.hpp"

namespace meridan::exposure {

namespace {
constexpr int kMaxSnapshots = 3;
}

int step_months(std::int64_t range_days) {
    if (range_days > 1095) return 12;
    if (range_days > 365) return 6;
    return 3;
}

std::optional<std::size_t> nearest_snapshot(std::span<const std::int64_t> days,
                                            std::int64_t target, std::ptrdiff_t from) {
    std::ptrdiff_t i = from;
    if (i >= static_cast<std::ptrdiff_t>(days.size()))
        i = static_cast<std::ptrdiff_t>(days.size()) - 1;
    while (i >= 0 && days[static_cast<std::size_t>(i)] > target) --i;
    if (i < 0) return std::nullopt;
    const auto at = static_cast<std::size_t>(i);
    if (at + 1 == days.size()) return at;
    const std::int64_t before = std::llabs(target - days[at]);
    const std::int64_t after = std::llabs(target - days[at + 1]);
    return before <= after ? at : at + 1;
}

std::vector<std::size_t> choose_by_step(std::span<const std::int64_t> days,
                                        std::int64_t start, std::int64_t end) {
    const int months = step_months(end - start);
    std::vector<std::size_t> chosen;
    std::ptrdiff_t index = static_cast<std::ptrdiff_t>(days.size()) - 1;
    dates::CivilDay target = dates::civil_from_days(end);
    for (int pass = 0; pass < kMaxSnapshots; ++pass) {
        const auto found = nearest_snapshot(
            days, dates::days_from_civil(target.year, target.month, target.day), index);
        if (!found) break;
        chosen.push_back(*found);
        target = dates::add_months(target, -months);
        index = static_cast<std::ptrdiff_t>(*found) - 1;
        if (index < 0 ||
            dates::days_from_civil(target.year, target.month, target.day) < start)
            break;
    }
    return chosen;
}

std::vector<std::size_t> choose_first_middle_last(std::size_t n) {
    if (n <= static_cast<std::size_t>(kMaxSnapshots)) {
        std::vector<std::size_t> all(n);
        for (std::size_t i = 0; i < n; ++i) all[i] = i;
        return all;
    }
    return {0, n / 2, n - 1};
}

}  // namespace meridan::exposure
