// The book's arithmetic on the caller's own number objects: Python's operators, so
// ints stay ints, a Fraction stays a Fraction (and, as in Python, a Fraction meeting a
// float gives a float). Python refuses to mix a Decimal with a float; the book reads
// the floats of an operation that involves a Decimal as the Decimals of their
// shortest text (10.1 is Decimal('10.1'), what the float was written as), so a
// Decimal book stays Decimal and no float rounding reaches it. Numbers that still do
// not mix (a Decimal and a Fraction) raise TypeError naming both values.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string>

#include "common/pyops.hpp"
#include "meridan/pcalc/checks.hpp"

namespace meridan::pcalc {

namespace py = pybind11;

/// Whether `value` is a decimal.Decimal (exact ints and floats are told apart first).
inline bool is_decimal(py::handle value) {
    if (PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr())) return false;
    static PyObject* decimal =
        py::object(py::module_::import("decimal").attr("Decimal")).release().ptr();
    const int r = PyObject_IsInstance(value.ptr(), decimal);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

/// Whether an operation on `values` works in Decimals.
inline bool any_decimal(std::initializer_list<py::handle> values) {
    for (py::handle v : values) {
        if (is_decimal(v)) return true;
    }
    return false;
}

/// `value` as an operand of an operation: when the operation works in Decimals, a
/// float (numpy's float64 included) becomes the Decimal of its shortest text.
inline py::object operand(py::handle value, bool decimal) {
    if (!decimal || !PyFloat_Check(value.ptr()))
        return py::reinterpret_borrow<py::object>(value);
    static PyObject* decimal_type =
        py::object(py::module_::import("decimal").attr("Decimal")).release().ptr();
    py::object text = py::repr(py::float_(PyFloat_AsDouble(value.ptr())));
    return bind::call(decimal_type, text);
}

/// The arithmetic of one operation of the book on the amounts it involves.
class Arithmetic {
public:
    /// At most four `amounts`, which must outlive the operation.
    explicit Arithmetic(std::initializer_list<py::handle> amounts)
        : count_(std::min(amounts.size(), amounts_.size())),
          decimal_(any_decimal(amounts)) {
        std::copy_n(amounts.begin(), count_, amounts_.begin());
    }

    py::object add(py::handle a, py::handle b) const {
        return apply(PyNumber_Add, a, b);
    }
    py::object sub(py::handle a, py::handle b) const {
        return apply(PyNumber_Subtract, a, b);
    }
    py::object mul(py::handle a, py::handle b) const {
        return apply(PyNumber_Multiply, a, b);
    }
    py::object div(py::handle a, py::handle b) const {
        return apply(PyNumber_TrueDivide, a, b);
    }

private:
    py::object apply(PyObject* (*op)(PyObject*, PyObject*), py::handle a,
                     py::handle b) const {
        py::object x = operand(a, decimal_), y = operand(b, decimal_);
        if (PyObject* r = op(x.ptr(), y.ptr()))
            return py::reinterpret_steal<py::object>(r);
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        // Named by the amounts given, not the intermediate results: the first
        // Decimal and the first amount of another kind than int, float or Decimal.
        py::handle first = a, second = b;
        for (std::size_t i = 0; i < count_; ++i) {
            if (py::handle v = amounts_[i]; is_decimal(v)) {
                first = v;
                break;
            }
        }
        for (std::size_t i = 0; i < count_; ++i) {
            py::handle v = amounts_[i];
            if (!PyLong_Check(v.ptr()) && !PyFloat_Check(v.ptr()) && !is_decimal(v)) {
                second = v;
                break;
            }
        }
        raise_error(PyExc_TypeError,
                    "the book cannot combine " + repr_of(first) + " and " +
                        repr_of(second) +
                        ": give its amounts as one kind of number (floats are read "
                        "as Decimals where they meet one)");
    }

    std::array<py::handle, 4> amounts_;
    std::size_t count_;
    bool decimal_;
};

}  // namespace meridan::pcalc
