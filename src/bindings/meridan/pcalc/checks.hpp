// The checks that keep values which would corrupt the book (NaN, infinities,
// negative amounts, things that are not numbers) out of it. Exact ints and floats
// are checked inline; other numbers (Decimal, Fraction, numpy scalars) the way
// Python code would check them.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "common/numbers.hpp"
#include "common/pyops.hpp"
#include "meridan/brinson/whole_shares.hpp"

namespace meridan::pcalc {

namespace py = pybind11;

enum class Bound { any, non_negative, positive };

[[noreturn]] inline void raise_error(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

/// repr() of a value for a message, cut short when long (a whole table given by
/// mistake).
inline std::string repr_of(py::handle value) {
    // numpy scalars (a split coefficient read from market data makes a quantity
    // np.float64) show as plain numbers: "1300.0", not "np.float64(1300.0)".
    const bool numpy_number =
        !PyFloat_CheckExact(value.ptr()) && !PyLong_CheckExact(value.ptr()) &&
        py::str(py::type::handle_of(value).attr("__module__")).cast<std::string>() ==
            "numpy";
    std::string text =
        (numpy_number ? py::str(value) : py::repr(value)).cast<std::string>();
    if (text.size() > 120) {
        const std::size_t first_line = text.find('\n');
        text = text.substr(0, std::min<std::size_t>(first_line, 100)) + " ...";
    }
    return text;
}

namespace detail {

// int, float, Decimal, Fraction and numpy numbers; never bool.
inline bool is_amount_type(py::handle value) {
    if (bind::is_real_number(value)) return true;
    static PyObject* decimal =
        py::object(py::module_::import("decimal").attr("Decimal")).release().ptr();
    const int r = PyObject_IsInstance(value.ptr(), decimal);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

inline bool sign_ok(double d, Bound bound) {
    return bound == Bound::any || (bound == Bound::positive ? d > 0 : d >= 0);
}

inline bool in_bounds(py::handle value, Bound bound) {
    double d;
    long long i;
    if (bind::exact_float(value, d)) return std::isfinite(d) && sign_ok(d, bound);
    if (bind::exact_int(value, i)) return sign_ok(static_cast<double>(i), bound);
    PyErr_Clear();
    if (!PyLong_Check(value.ptr())) {
        // Decimal, Fraction and numpy values convert to float for the finiteness
        // test (a signalling NaN refuses to and is not finite either).
        const double f = PyFloat_AsDouble(value.ptr());
        if (f == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (!std::isfinite(f)) return false;
    }
    if (bound == Bound::any) return true;
    static PyObject* zero = PyLong_FromLong(0);
    const int r = PyObject_RichCompareBool(value.ptr(), zero,
                                           bound == Bound::positive ? Py_GT : Py_GE);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

}  // namespace detail

/// Raises TypeError unless `value` is a real number and ValueError unless it is
/// finite and within `bound`; `what` names the value ("last_price must be …") and
/// `where()` the record it belongs to (made only for a message).
template <class Where>
void check_amount(py::handle value, const char* what, const char* kind, Bound bound,
                  const Where& where) {
    if (PyFloat_CheckExact(value.ptr())) {
        const double d = PyFloat_AS_DOUBLE(value.ptr());
        if (std::isfinite(d) && detail::sign_ok(d, bound)) return;
    } else if (!detail::is_amount_type(value)) {
        raise_error(PyExc_TypeError, std::string(what) + " must be " + kind + ", got " +
                                         repr_of(value) + " (" + where() + ")");
    } else if (detail::in_bounds(value, bound)) {
        return;
    }
    raise_error(PyExc_ValueError,
                std::string(what) + " must be " +
                    (bound == Bound::any        ? "a finite "
                     : bound == Bound::positive ? "a finite positive "
                                                : "a finite non-negative ") +
                    kind + ", got " + repr_of(value) + " (" + where() + ")");
}

/// A trade's side: exactly "BUY" (true) or "SELL" (false); anything else raises
/// ValueError (a lower-case "buy" used to be booked as a sale).
template <class Where>
bool check_side(py::handle side, const Where& where) {
    if (PyUnicode_CheckExact(side.ptr())) {
        if (PyUnicode_CompareWithASCIIString(side.ptr(), "BUY") == 0) return true;
        if (PyUnicode_CompareWithASCIIString(side.ptr(), "SELL") == 0) return false;
    } else if (PyUnicode_Check(side.ptr())) {
        if (bind::equal(side, "BUY")) return true;
        if (bind::equal(side, "SELL")) return false;
    }
    raise_error(PyExc_ValueError, "side must be \"BUY\" or \"SELL\", got " +
                                      repr_of(side) + " (" + where() + ")");
}

/// ValueError unless a result the book is about to keep is finite (a float result
/// can overflow to an infinity even from finite inputs).
template <class Where>
void check_result(py::handle value, const char* what, const Where& where) {
    if (PyFloat_Check(value.ptr()) && !std::isfinite(PyFloat_AS_DOUBLE(value.ptr()))) {
        raise_error(PyExc_ValueError, std::string(what) + " would become " +
                                          repr_of(value) + " (" + where() + ")");
    }
}

/// A float quantity after a split, rounded to a whole number when within 1e-6 of one
/// (the rule Brinson's period splitting applies too); exact number types (int,
/// Decimal, Fraction) are returned as they are.
inline py::object whole_if_close(py::object quantity) {
    if (!PyFloat_Check(quantity.ptr())) return quantity;
    const double d = PyFloat_AS_DOUBLE(quantity.ptr());
    const double whole = brinson::whole_if_close(d);
    if (std::isfinite(d) && whole != d) return py::float_(whole);
    return quantity;
}

}  // namespace meridan::pcalc
