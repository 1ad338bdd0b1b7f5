#include "meridan/inputs/value_series.hpp"

#include <cmath>

namespace meridan::inputs {

std::optional<std::size_t> first_unusable_value(std::span<const double> values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        // Written so that NaN, which fails every comparison, is caught too.
        if (!(values[i] > 0.0) || std::isinf(values[i])) return i;
    }
    return std::nullopt;
}

std::optional<std::size_t> first_out_of_order(std::span<const std::int64_t> days) {
    for (std::size_t i = 1; i < days.size(); ++i) {
        if (days[i] < days[i - 1]) return i;
    }
    return std::nullopt;
}

}  // namespace meridan::inputs
