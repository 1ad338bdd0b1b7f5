#include "common/series.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "common/convert.hpp"

namespace meridan::bind {

py::array_t<double> float_values(py::handle data, const char* what) {
    py::object array;
    if (py::isinstance<py::array>(data)) {
        array = py::reinterpret_borrow<py::object>(data);
    } else if (py::hasattr(data, "to_numpy")) {
        // pandas: nullable and object columns carry pd.NA or None for missing values,
        // which only `to_numpy` turns into NaN.
        const bool is_float =
            PyObject_RichCompareBool(data.attr("dtype").ptr(),
                                     py::dtype::of<double>().ptr(), Py_EQ) == 1;
        array = is_float ? data.attr("to_numpy")()
                         : data.attr("to_numpy")(
                               py::arg("dtype") = "float64",
                               py::arg("na_value") =
                                   std::numeric_limits<double>::quiet_NaN());
    } else {
        array = py::module_::import("numpy").attr("asarray")(data, "float64");
    }
    auto values =
        py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
    if (!values) throw py::error_already_set();
    if (values.ndim() != 1) {
        throw py::value_error(
            std::string(what) + " must be one-dimensional, got shape " +
            py::str(py::getattr(values, "shape")).cast<std::string>());
    }
    return values;
}

DatedValues dated_values(py::handle series, const char* what) {
    return {index_day_numbers(series.attr("index")), float_values(series, what)};
}

}  // namespace meridan::bind
