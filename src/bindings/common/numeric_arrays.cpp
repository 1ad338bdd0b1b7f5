#include "common/numeric_arrays.hpp"

#include <pybind11/numpy.h>

#include <cstdint>
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

// The elements of a compact one-dimensional array of integers of type T, converted
// in one go (no zeroed vector filled afterwards); false for any other layout.
template <typename T>
bool read_integers(const py::array& array, std::vector<std::int64_t>& out) {
    const auto* first = static_cast<const T*>(array.data());
    if (array.strides(0) != static_cast<py::ssize_t>(sizeof(T)) ||
        reinterpret_cast<std::uintptr_t>(first) % alignof(T) != 0)
        return false;
    out.assign(first, first + array.shape(0));
    return true;
}

// True (with `out` filled) when `values` is a compact one-dimensional numpy array of
// signed integers in native byte order, the kind of MultiIndex codes (int8 to int64
// by the number of labels).
bool signed_integers(py::handle values, std::vector<std::int64_t>& out) {
    if (!py::isinstance<py::array>(values)) return false;
    const auto array = py::reinterpret_borrow<py::array>(values);
    if (array.ndim() != 1) return false;
    if (py::isinstance<py::array_t<std::int8_t>>(array))
        return read_integers<std::int8_t>(array, out);
    if (py::isinstance<py::array_t<std::int16_t>>(array))
        return read_integers<std::int16_t>(array, out);
    if (py::isinstance<py::array_t<std::int32_t>>(array))
        return read_integers<std::int32_t>(array, out);
    if (py::isinstance<py::array_t<std::int64_t>>(array))
        return read_integers<std::int64_t>(array, out);
    return false;
}

// `frame.to_numpy()` when it is a float64 matrix that can be read in place (a table
// of float columns, whose only missing value is then NaN, as the conversion with
// na_value would give); a null object otherwise (not an empty array, which is what
// a default py::array is).
py::object plain_float_matrix(py::handle frame) {
    if (!py::hasattr(frame, "to_numpy")) return {};
    py::object plain = frame.attr("to_numpy")();
    if (!py::isinstance<py::array_t<double>>(plain)) return {};
    const auto array = py::reinterpret_borrow<py::array>(plain);
    constexpr auto size = static_cast<py::ssize_t>(sizeof(double));
    const auto address = reinterpret_cast<std::uintptr_t>(array.data());
    if (array.ndim() != 2 || array.strides(0) % size != 0 ||
        array.strides(1) % size != 0 || address % sizeof(double) != 0)
        return {};
    return plain;
}

}  // namespace

std::vector<std::int64_t> int64_values(py::handle values) {
    std::vector<std::int64_t> out;
    if (signed_integers(values, out)) return out;
    py::module_ np = py::module_::import("numpy");
    auto array = np.attr("asarray")(values, py::arg("dtype") = np.attr("int64"))
                     .cast<py::array_t<std::int64_t>>();
    if (array.ndim() != 1) throw py::value_error("expected one-dimensional values");
    auto view = array.unchecked<1>();
    out.resize(static_cast<std::size_t>(view.shape(0)));
    for (py::ssize_t i = 0; i < view.shape(0); ++i)
        out[static_cast<std::size_t>(i)] = view(i);
    return out;
}

FloatMatrix float_matrix(py::handle frame) {
    FloatMatrix out;
    // A float64 table is read where it lies: the conversion below always copies,
    // and a reply of the market data can be over a megabyte.
    py::array array;
    if (py::object plain = plain_float_matrix(frame)) {
        array = py::reinterpret_steal<py::array>(plain.release());
    } else {
        array = float64_array(frame).cast<py::array_t<double>>();
        if (array.ndim() != 2) throw py::value_error("expected two-dimensional values");
        if (array.strides(0) % static_cast<py::ssize_t>(sizeof(double)) ||
            array.strides(1) % static_cast<py::ssize_t>(sizeof(double))) {
            // Strides that are no whole number of elements: read a compact copy.
            array = py::module_::import("numpy")
                        .attr("ascontiguousarray")(array)
                        .cast<py::array_t<double>>();
        }
    }
    out.data = static_cast<const double*>(array.data());
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
