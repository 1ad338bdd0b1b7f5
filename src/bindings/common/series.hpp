// Reading the numbers of pandas Series, numpy arrays and lists into float64 arrays
// for the core, with missing values (None, NaN, pd.NA) as NaN.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

namespace meridan::bind {

namespace py = pybind11;

/// The values of `data` (a pandas Series, a numpy array, a list or any sequence of
/// numbers) as a one-dimensional float64 array, without a copy when it already is
/// one. Missing values become NaN. ValueError naming `what` for data that is not
/// one-dimensional; numpy's own error for values that are not numbers.
py::array_t<double> float_values(py::handle data, const char* what);

/// A pandas Series read as day numbers of its index labels (`no_day` for labels that
/// name no day) and its values as float64.
struct DatedValues {
    std::vector<std::int64_t> days;
    py::array_t<double> values;
};
DatedValues dated_values(py::handle series, const char* what);

}  // namespace meridan::bind
