#include "common/numeric_arrays.hpp"

#include <pybind11/numpy.h>

#include <stdexcept>

#include "common/convert.hpp"

namespace meridan::bind {

namespace {

// pandas objects convert themselves, so nullable columns map NA to NaN; anything else
// goes through numpy.
py::array float64_array(py::handle values) {
    py::module_ np = py::module_::import("numpy");
    if (py::hasattr(values, "to_numpy")) {
        return values.attr("to_numpy")(py::arg("dtype") = np.attr("float64"),
                                       py::arg("na_value") = np.attr("nan"));
    }
    return np.attr("asarray")(values, py::arg("dtype") = np.attr("float64"));
}

}  // namespace

std::vector<std::int64_t> int64_values(py::handle values) {
    py::module_ np = py::module_::import("numpy");
    auto array = np.attr("asarray")(values, py::arg("dtype") = np.attr("int64"))
                     .cast<py::array_t<std::int64_t>>();
    if (array.ndim() != 1) throw py::value_error("expected one-dimensional values");
    auto view = array.unchecked<1>();
    std::vector<std::int64_t> out(static_cast<std::size_t>(view.shape(0)));
    for (py::ssize_t i = 0; i < view.shape(0); ++i)
        out[static_cast<std::size_t>(i)] = view(i);
    return out;
}

FloatMatrix float_matrix(py::handle frame) {
    FloatMatrix out;
    auto array = float64_array(frame).cast<py::array_t<double>>();
    if (array.ndim() != 2) throw py::value_error("expected two-dimensional values");
    if (array.strides(0) % static_cast<py::ssize_t>(sizeof(double)) ||
        array.strides(1) % static_cast<py::ssize_t>(sizeof(double))) {
        // Strides that are no whole number of elements: read a compact copy instead.
        array = py::module_::import("numpy")
                    .attr("ascontiguousarray")(array)
                    .cast<py::array_t<double>>();
    }
    out.data = array.data();
    out.rows = static_cast<std::size_t>(array.shape(0));
    out.cols = static_cast<std::size_t>(array.shape(1));
    out.row_stride = static_cast<std::ptrdiff_t>(array.strides(0)) /
                     static_cast<std::ptrdiff_t>(sizeof(double));
    out.col_stride = static_cast<std::ptrdiff_t>(array.strides(1)) /
                     static_cast<std::ptrdiff_t>(sizeof(double));
    out.array = std::move(array);
    return out;
}

py::object float_series(std::span<const double> values, py::handle index,
                        py::handle name) {
    py::array_t<double> array(static_cast<py::ssize_t>(values.size()), values.data());
    return pandas().attr("Series")(array, py::arg("index") = index,
                                   py::arg("name") = name, py::arg("copy") = false);
}

py::object float_frame(std::span<const double> values, std::size_t rows,
                       std::size_t cols, py::handle index, py::handle columns) {
    if (values.size() != rows * cols)
        throw std::invalid_argument("float_frame: values do not match the shape");
    py::array_t<double> array(
        {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)},
        values.data());
    return pandas().attr("DataFrame")(array, py::arg("index") = index,
                                      py::arg("columns") = columns,
                                      py::arg("copy") = false);
}

}  // namespace meridan::bind
