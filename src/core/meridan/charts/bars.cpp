// Bar placement of the attribution charts.
#include "meridan/charts/bars.hpp"

#include <cmath>

namespace meridan::charts {

double category_centre(std::size_t i) { return static_cast<double>(i) + 0.5; }

std::vector<Bar> column_bars(std::span<const double> values, double offset,
                             double thickness) {
    std::vector<Bar> bars;
    bars.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        bars.push_back({category_centre(i) + offset, v / 2.0, thickness, std::fabs(v)});
    }
    return bars;
}

std::vector<Bar> row_bars(std::span<const double> values, double thickness) {
    std::vector<Bar> bars;
    bars.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        bars.push_back({v / 2.0, category_centre(i), std::fabs(v), thickness});
    }
    return bars;
}

}  // namespace meridan::charts
