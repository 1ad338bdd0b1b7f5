// Conversions between pandas' numeric objects and plain buffers, beside those of
// float_series.hpp: integer values (such as MultiIndex codes) read into std::vector,
// the values of a DataFrame exposed in place as a float64 matrix, and new float64
// Series and DataFrames built from buffers with given labels.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/api.hpp"

namespace meridan::bind {

namespace py = pybind11;

/// The values of an integer Series, Index or array (such as MultiIndex codes).
MERIDAN_BIND_API std::vector<std::int64_t> int64_values(py::handle values);

/// The values of a DataFrame (or 2-D array) as a float64 numpy array, converted
/// only when they are not float64 already (missing values become NaN), with its
/// shape and strides in elements for reading it in place in either memory order.
struct FloatMatrix {
    py::object array;  // the numpy array, kept alive while `data` is read
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
};
MERIDAN_BIND_API FloatMatrix float_matrix(py::handle frame);

/// A new float64 Series of `values` with `index` (any labels pandas accepts).
MERIDAN_BIND_API py::object float_series(std::span<const double> values,
                                         py::handle index,
                                         py::handle name = py::none());

/// A new float64 DataFrame of `rows` x `cols` row-major `values`.
MERIDAN_BIND_API py::object float_frame(std::span<const double> values,
                                        std::size_t rows, std::size_t cols,
                                        py::handle index, py::handle columns);

}  // namespace meridan::bind
