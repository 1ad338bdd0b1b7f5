// Geometry of the bars of the attribution charts. A bar is a rectangle that spans from
// the zero line to its value, so it is centred at value / 2 with extent |value|;
// categories sit at i + 0.5 on a categorical axis (the centre of the i-th factor).
#pragma once

#include <span>
#include <vector>

namespace meridan::charts {

struct Bar {
    double x;       // centre on the horizontal axis
    double y;       // centre on the vertical axis
    double width;   // in data units
    double height;  // in data units
};

/// Centre of the i-th category (from 0) on a categorical axis.
double category_centre(std::size_t i);

/// Vertical bars, one per value, each of `thickness` wide, centred `offset` right of
/// its category's centre (negative: left), spanning from 0 to the value.
std::vector<Bar> column_bars(std::span<const double> values, double offset,
                             double thickness);

/// Horizontal bars, one per value, each `thickness` high, on its category's centre,
/// spanning from 0 to the value.
std::vector<Bar> row_bars(std::span<const double> values, double thickness);

}  // namespace meridan::charts
