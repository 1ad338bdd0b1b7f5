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

/// A read-only view of a table stored elsewhere in either memory order (a numpy array
/// of a DataFrame is usually stored column by column): element (r, c) is
/// data[r * row_stride + c * col_stride].
struct TableView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    static TableView of(const FactorTable& t) {
        return {t.values.data(), t.rows, t.cols, static_cast<std::ptrdiff_t>(t.cols),
                1};
    }

    double at(std::size_t r, std::size_t c) const {
        return data[static_cast<std::ptrdiff_t>(r) * row_stride +
                    static_cast<std::ptrdiff_t>(c) * col_stride];
    }
};

}  // namespace meridan::exposure
