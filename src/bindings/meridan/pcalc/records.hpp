// Reading the records the book works on (Trade, Position) from C++: straight from the
// native slots of our own classes, through attributes for any other object that
// offers the same names, so duck-typed records keep working.
#pragma once

#include <pybind11/pybind11.h>

#include "common/names.hpp"
#include "common/pyclass.hpp"

namespace meridan::pcalc {

namespace py = pybind11;

/// Reads attribute `Name` of records of class `cls` (and its subclasses) from its
/// slot, and of any other object with getattr.
template <bind::fixed_string Name>
class Field {
public:
    Field() = default;
    explicit Field(py::handle cls) : cls_(cls.ptr()), slot_(cls, Name.text) {}

    py::object operator()(py::handle obj) const {
        if (cls_ &&
            PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(cls_)))
            return slot_.value(obj);
        return bind::getattr<Name>(obj);
    }
    /// The value as a new reference, or null when the attribute is missing (as
    /// `hasattr` sees it: other errors propagate).
    PyObject* get_optional(py::handle obj) const {
        if (cls_ &&
            PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(cls_))) {
            PyObject* v = slot_.get(obj);
            Py_XINCREF(v);
            return v;
        }
        PyObject* v = PyObject_GetAttr(obj.ptr(), bind::name<Name>().ptr());
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                throw py::error_already_set();
            PyErr_Clear();
        }
        return v;
    }
    void set(py::handle obj, py::handle value) const {
        if (cls_ &&
            PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(cls_)))
            slot_.set(obj, value);
        else
            bind::setattr<Name>(obj, value);
    }

private:
    PyObject* cls_ = nullptr;  // kept alive by the module that defines it
    bind::Slot slot_;
};

/// The fields of a Trade the book reads.
struct TradeFields {
    Field<"order_book_id"> order_book_id;
    Field<"side"> side;
    Field<"last_price"> last_price;
    Field<"last_quantity"> last_quantity;
    Field<"transaction_cost"> transaction_cost;

    explicit TradeFields(py::handle cls)
        : order_book_id(cls),
          side(cls),
          last_price(cls),
          last_quantity(cls),
          transaction_cost(cls) {}
};

/// The fields of a Position the book reads and changes.
struct PositionFields {
    Field<"order_book_id"> order_book_id;
    Field<"quantity"> quantity;
    Field<"avg_price"> avg_price;

    explicit PositionFields(py::handle cls)
        : order_book_id(cls), quantity(cls), avg_price(cls) {}
};

}  // namespace meridan::pcalc
