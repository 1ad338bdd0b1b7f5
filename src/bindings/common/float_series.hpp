// Numeric values of pandas objects as contiguous float64 arrays for the core, and
// core results back as Python floats.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <span>

#include "common/api.hpp"

namespace meridan::bind {

namespace py = pybind11;

using FloatArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

/// The values of a Series (or Index, or 1-d array) as float64, missing values (None,
/// NaN, pd.NA) as NaN; integer, Decimal and nullable columns are converted. No copy
/// when the values already are contiguous float64.
MERIDAN_BIND_API FloatArray float_values(py::handle series);

/// A read-only view of a 1-d float64 array.
inline std::span<const double> span_of(const FloatArray& array) {
    return {array.data(), static_cast<std::size_t>(array.size())};
}

/// A list of Python floats.
MERIDAN_BIND_API py::list float_list(std::span<const double> values);

}  // namespace meridan::bind
