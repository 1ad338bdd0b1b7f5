// A table of factor values: one row per instrument (or per date), one column per
// factor, stored row by row.
#pragma once

#include <cstddef>
#include <vector>

namespace meridan::exposure {

struct FactorTable {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> values;  // rows * cols, row-major

    FactorTable() = default;
    FactorTable(std::size_t r, std::size_t c, double fill = 0.0)
        : rows(r), cols(c), values(r * c, fill) {}

    double& at(std::size_t r, std::size_t c) { return values[r * cols + c]; }
    double at(std::size_t r, std::size_t c) const { return values[r * cols + c]; }
};

}  // namespace meridan::exposure
