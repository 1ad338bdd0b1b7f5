#include "common/array_input.hpp"

#include <limits>
#include <string>

namespace meridan::bind {

py::array_t<double> float_array(py::handle data, const char* what) {
    py::object array;
    if (py::isinstance<py::array>(data)) {
        array = py::reinterpret_borrow<py::object>(data);
    } else if (py::hasattr(data, "to_numpy")) {
        // pandas: nullable and object columns carry pd.NA or None for missing values,
        // which only `to_numpy` turns into NaN.
        const bool is_float = py::dtype::of<double>().equal(data.attr("dtype"));
        array = is_float ? data.attr("to_numpy")()
                         : data.attr("to_numpy")(
                               py::arg("dtype") = "float64",
                               py::arg("na_value") =
                                   std::numeric_limits<double>::quiet_NaN());
    } else {
        array = py::module_::import("numpy").attr("asarray")(data, "float64");
    }
    auto values = py::array_t < double,
         py::array::c_style | py::array::forcecast > ::ensure(array);
    if (!values) throw py::error_already_set();
    if (values.ndim() != 1) {
        throw py::value_error(
            std::string(what) + " must be one-dimensional, got shape " +
            py::str(py::getattr(values, "shape")).cast<std::string>());
    }
    return values;
}

}  // namespace meridan::bind
