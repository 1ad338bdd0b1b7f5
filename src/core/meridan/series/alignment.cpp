#include "meridan/series/alignment.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "meridan/series/label_slice.hpp"

namespace meridan::series {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void check_lengths(std::span<const std::int64_t> days, std::span<const double> values) {
    if (days.size() != values.size())
        throw std::invalid_argument("series index and values differ in length");
}
}  // namespace

std::vector<double> reindex_ffill(std::span<const std::int64_t> source_days,
                                  std::span<const double> values,
                                  std::span<const std::int64_t> target_days) {
    check_lengths(source_days, values);
    if (!is_ascending(source_days))
        throw std::invalid_argument(
            "cannot fill forward from a series whose dates are not ascending");
    std::vector<double> out(target_days.size(), kNaN);
    // `next` is the number of source days on or before the target: ascending targets
    // (a calendar, as usual) move it forward in one walk over both; a target earlier
    // than the one before it is found by a search.
    std::size_t next = 0;
    for (std::size_t i = 0; i < target_days.size(); ++i) {
        const std::int64_t day = target_days[i];
        if (i > 0 && day < target_days[i - 1]) {
            next = static_cast<std::size_t>(
                std::upper_bound(source_days.begin(), source_days.end(), day) -
                source_days.begin());
        } else {
            while (next < source_days.size() && source_days[next] <= day) ++next;
        }
        if (next > 0) out[i] = values[next - 1];
    }
    return out;
}

std::vector<double> reindex_fill(std::span<const std::int64_t> source_days,
                                 std::span<const double> values,
                                 std::span<const std::int64_t> target_days,
                                 double fill) {
    check_lengths(source_days, values);
    // Positions of the source sorted by day, so each target is a binary search.
    std::vector<std::size_t> order(source_days.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return source_days[a] < source_days[b];
    });
    std::vector<std::int64_t> sorted(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) sorted[i] = source_days[order[i]];
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        throw std::invalid_argument("cannot reindex a series with repeated dates");
    std::vector<double> out(target_days.size(), fill);
    for (std::size_t i = 0; i < target_days.size(); ++i) {
        const auto it = std::lower_bound(sorted.begin(), sorted.end(), target_days[i]);
        if (it != sorted.end() && *it == target_days[i])
            out[i] = values[order[static_cast<std::size_t>(it - sorted.begin())]];
    }
    return out;
}

}  // namespace meridan::series
