#include "meridan/brinson/compounding.hpp"

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

}  // namespace meridan::brinson
