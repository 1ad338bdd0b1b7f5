#include "meridan/brinson/compounding.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace meridan::brinson {

std::vector<double> compound_columns(std::span<const double> rates, std::size_t rows,
                                     std::size_t cols) {
    if (rates.size() != rows * cols)
        throw std::invalid_argument("compound_columns: table size mismatch");
    std::vector<double> growth(cols, 1.0);
    // Row by row so the table is read in memory order.
    for (std::size_t i = 0; i < rows; ++i) {
        const double* row = rates.data() + i * cols;
        for (std::size_t j = 0; j < cols; ++j) {
            if (!std::isnan(row[j])) growth[j] *= 1.0 + row[j];
        }
    }
    for (double& g : growth) g -= 1.0;
    return growth;
}

std::vector<double> returns_by_label(std::span<const int> wanted,
                                     std::span<const int> columns,
                                     std::span<const double> growth) {
    if (columns.size() != growth.size())
        throw std::invalid_argument("returns_by_label: one return per column expected");
    std::vector<double> out(wanted.size(), std::nan(""));
    if (std::equal(wanted.begin(), wanted.end(), columns.begin(), columns.end())) {
        std::copy(growth.begin(), growth.end(), out.begin());
        return out;
    }
    int top = -1;
    for (int c : columns) top = std::max(top, c);
    std::vector<std::size_t> first(static_cast<std::size_t>(top + 1), columns.size());
    for (std::size_t j = columns.size(); j-- > 0;)
        if (columns[j] >= 0) first[static_cast<std::size_t>(columns[j])] = j;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const auto at = static_cast<std::size_t>(wanted[i]);
        if (wanted[i] >= 0 && at < first.size() && first[at] < columns.size())
            out[i] = growth[first[at]];
    }
    return out;
}

}  // namespace meridan::brinson
