// Numbers given by a caller as any array-like (numpy array, pandas Series, list) read
// into a float64 array for the core, with errors that name the argument.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "common/api.hpp"

namespace meridan::bind {

namespace py = pybind11;

/// The values of `data` (a numpy array, a pandas Series, a list or any sequence of
/// numbers) as a one-dimensional float64 array, without a copy when it already is
/// one. Missing values (None, NaN, pd.NA) become NaN. ValueError naming `what` for
/// data that is not one-dimensional; numpy's own error for values that are not
/// numbers.
MERIDAN_BIND_API py::array_t<double> float_array(py::handle data, const char* what);

}  // namespace meridan::bind
