#include "common/numbers.hpp"

#include "common/convert.hpp"
#include "common/pyops.hpp"

namespace meridan::bind {

namespace {

py::handle real_abc() {
    static PyObject* real =
        py::object(py::module_::import("numbers").attr("Real")).release().ptr();
    return real;
}

}  // namespace

bool is_real_number(py::handle value) {
    if (PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr())) return true;
    if (PyBool_Check(value.ptr())) return false;
    const int r = PyObject_IsInstance(value.ptr(), real_abc().ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool is_nan(py::handle value) {
    if (PyLong_CheckExact(value.ptr())) return false;
    return std::isnan(to_double(value));
}

bool is_finite(py::handle value) {
    if (PyLong_CheckExact(value.ptr())) return true;
    return std::isfinite(to_double(value));
}

bool is_negative(py::handle value) {
    double d;
    long long i;
    if (exact_float(value, d)) return d < 0;
    if (exact_int(value, i)) return i < 0;
    PyErr_Clear();
    static PyObject* zero = PyLong_FromLong(0);
    const int r = PyObject_RichCompareBool(value.ptr(), zero, Py_LT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

}  // namespace meridan::bind
