#include "common/float_series.hpp"

#include <limits>

namespace meridan::bind {

FloatArray float_values(py::handle series) {
    py::object values = py::reinterpret_borrow<py::object>(series);
    const py::dtype float64 = py::dtype::of<double>();
    if (py::hasattr(series, "dtype") && float64.equal(series.attr("dtype"))) {
        // Already float64: NaN is its only missing value, so the values serve as is
        // (a numpy array is taken itself; a Series or Index through to_numpy).
        if (py::hasattr(series, "to_numpy")) values = series.attr("to_numpy")();
    } else if (py::hasattr(series, "to_numpy")) {
        // na_value turns pd.NA of nullable columns into NaN instead of failing.
        values = series.attr("to_numpy")(
            py::arg("dtype") = "float64",
            py::arg("na_value") = std::numeric_limits<double>::quiet_NaN());
    }
    FloatArray array = FloatArray::ensure(values);
    if (!array) throw py::error_already_set();
    if (array.ndim() != 1) throw py::value_error("expected one-dimensional values");
    return array;
}

py::list float_list(std::span<const double> values) {
    py::list out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(values[i]);
        if (!f) throw py::error_already_set();
        PyList_SET_ITEM(out.ptr(), static_cast<py::ssize_t>(i), f);
    }
    return out;
}

}  // namespace meridan::bind
