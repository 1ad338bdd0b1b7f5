// Label slices of a date-indexed series, done on calendar day numbers: pandas'
// `s[a:b]` on an ascending DatetimeIndex keeps the labels from `a` through `b`, both
// included, whether or not `a` and `b` are labels themselves. Comparing calendar days
// (not timestamps) lets a date, a midnight datetime and a Timestamp of the same day
// select the same rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace meridan::series {

/// Half-open range of positions [begin, end).
struct PositionRange {
    std::size_t begin;
    std::size_t end;

    std::size_t size() const { return end > begin ? end - begin : 0; }
    friend bool operator==(const PositionRange&, const PositionRange&) = default;
};

/// True when the days never decrease (repeated days allowed), as pandas requires
/// of an index sliced by labels it does not hold.
bool is_ascending(std::span<const std::int64_t> days);

/// Position of the first label on or after `day` (`s[day:]`'s first row), if any.
/// `days` must be ascending.
std::optional<std::size_t> first_on_or_after(std::span<const std::int64_t> days,
                                             std::int64_t day);

/// Positions of `s[first:last]`, both ends included. `days` must be ascending.
PositionRange label_slice(std::span<const std::int64_t> days, std::int64_t first,
                          std::int64_t last);

}  // namespace meridan::series
