// Cheap tests of the numbers that cross into the book: exact int and float are told
// apart without the abstract-base-class isinstance, which costs more than the rest of
// a trade's booking; anything else goes through numbers.Real as Python code would.
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>

#include "common/api.hpp"

namespace meridan::bind {

namespace py = pybind11;

/// `isinstance(value, numbers.Real) and not isinstance(value, bool)`.
MERIDAN_BIND_API bool is_real_number(py::handle value);

/// `math.isnan(value)` for a real number.
MERIDAN_BIND_API bool is_nan(py::handle value);

/// `math.isfinite(value)` for a real number.
MERIDAN_BIND_API bool is_finite(py::handle value);

/// `value < 0` for a real number.
MERIDAN_BIND_API bool is_negative(py::handle value);

/// The value of an exact int that fits in a long long, or false.
inline bool exact_int(py::handle value, long long& out) {
    if (!PyLong_CheckExact(value.ptr())) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    return overflow == 0 && !(out == -1 && PyErr_Occurred());
}

/// The value of an exact float, or false.
inline bool exact_float(py::handle value, double& out) {
    if (!PyFloat_CheckExact(value.ptr())) return false;
    out = PyFloat_AS_DOUBLE(value.ptr());
    return true;
}

}  // namespace meridan::bind
