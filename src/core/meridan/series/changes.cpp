#include "meridan/series/changes.hpp"

#include <cmath>
#include <limits>

namespace meridan::series {

std::vector<double> pad_filled_changes(std::span<const double> values) {
    std::vector<double> out(values.size(), std::numeric_limits<double>::quiet_NaN());
    double previous = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double current = std::isnan(values[i]) ? previous : values[i];
        if (i > 0) out[i] = current / previous - 1.0;
        previous = current;
    }
    return out;
}

std::vector<double> changes_since_first(std::span<const double> values) {
    std::vector<double> out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        out[i] = values[i] / values[0] - 1.0;
    return out;
}

}  // namespace meridan::series
