// Python operators on objects, for code that must behave exactly as the equivalent
// Python expression: arithmetic that keeps the caller's numeric types (int, float,
// Decimal, numpy scalars), comparisons, membership and the float()/int() conversions.
#pragma once

#include <pybind11/pybind11.h>

namespace meridan::bind {

namespace py = pybind11;

namespace detail {
inline py::object checked(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}
}  // namespace detail

inline py::object add(py::handle a, py::handle b) {
    return detail::checked(PyNumber_Add(a.ptr(), b.ptr()));
}
inline py::object sub(py::handle a, py::handle b) {
    return detail::checked(PyNumber_Subtract(a.ptr(), b.ptr()));
}
inline py::object mul(py::handle a, py::handle b) {
    return detail::checked(PyNumber_Multiply(a.ptr(), b.ptr()));
}
inline py::object true_div(py::handle a, py::handle b) {
    return detail::checked(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}

/// Python's `a == b` as a truth value.
inline bool equal(py::handle a, py::handle b) {
    const int eq = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (eq < 0) throw py::error_already_set();
    return eq == 1;
}

/// Python's `a == "text"` for an ASCII `text`; an exact str is compared in place.
inline bool equal(py::handle a, const char* text) {
    if (PyUnicode_CheckExact(a.ptr()))
        return PyUnicode_CompareWithASCIIString(a.ptr(), text) == 0;
    return equal(a, py::str(text));
}

/// Python's `bool(a != b)` (not a shortcut on identity, so NaN != NaN holds).
inline bool not_equal(py::handle a, py::handle b) {
    return detail::checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)).cast<bool>();
}

/// Python's `item in container`.
inline bool contains(py::handle container, py::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

/// `fn(args...)` through vectorcall: no argument tuple is built.
template <class... A>
py::object call(py::handle fn, const A&... args) {
    PyObject* stack[] = {py::handle(args).ptr()...};
    return detail::checked(PyObject_Vectorcall(fn.ptr(), stack, sizeof...(A), nullptr));
}

/// Python's `float(value)` and `int(value)` (truncation toward zero, text accepted).
inline py::object to_float(py::handle value) {
    return detail::checked(PyNumber_Float(value.ptr()));
}
inline py::object to_int(py::handle value) {
    return detail::checked(PyNumber_Long(value.ptr()));
}

}  // namespace meridan::bind
