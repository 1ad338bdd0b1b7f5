// What a portfolio value series must satisfy before an analysis reads it: values that
// can be divided by (finite and above 0, since every figure is a ratio of values) and
// dates in ascending order (periods are label slices from a base date).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace meridan::inputs {

/// Position of the first value that is NaN, infinite, 0 or negative, if any.
std::optional<std::size_t> first_unusable_value(std::span<const double> values);

/// Position of the first day earlier than the day before it, if any (repeated days
/// are in order).
std::optional<std::size_t> first_out_of_order(std::span<const std::int64_t> days);

}  // namespace meridan::inputs
