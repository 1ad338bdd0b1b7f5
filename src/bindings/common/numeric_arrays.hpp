// Conversions between pandas' numeric columns and plain buffers: the numbers of a
// Series or DataFrame read into std::vector (row-major for a frame, optionally only
// some rows), and new float64 Series and DataFrames built from such buffers with
// given labels.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace meridan::bind {

namespace py = pybind11;

/// The values of a Series, Index, numpy array or sequence of numbers as float64;
/// missing values (None, NaN, pandas' NA) become NaN. Raises as `float()` would for
/// values that are not numbers.
std::vector<double> float_values(py::handle values);

/// The values of an integer Series, Index or array (such as MultiIndex codes).
std::vector<std::int64_t> int64_values(py::handle values);

/// The values of a DataFrame (or 2-D array) as float64, row by row.
struct FloatRows {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> values;  // rows * cols, row-major
};
FloatRows float_rows(py::handle frame);

/// Only the rows at the given positions, in that order (each less than the frame's
/// length), copied without converting the rest of the frame.
FloatRows float_rows(py::handle frame, std::span<const std::size_t> rows);

/// A new float64 Series of `values` with `index` (any labels pandas accepts).
py::object float_series(std::span<const double> values, py::handle index,
                        py::handle name = py::none());

/// A new float64 DataFrame of `rows` x `cols` row-major `values`.
py::object float_frame(std::span<const double> values, std::size_t rows,
                       std::size_t cols, py::handle index, py::handle columns);

}  // namespace meridan::bind
