// meridan.pcalc.trade: the record of one executed trade, as the normalisation of
// trade tables builds it and the portfolio book consumes it. An immutable record with
// its fields in native slots; the class is called through vectorcall so that building
// one costs about what a plain Python class costs.
#include <pybind11/pybind11.h>

#include <array>
#include <string>

#include "common/pyclass.hpp"
#include "common/pyops.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;

namespace {

constexpr std::array<const char*, 7> kFields = {
    "datetime", "order_book_id", "symbol", "last_price",
    "last_quantity", "side", "transaction_cost"};

constexpr const char* kTradeDoc =
    "One executed trade, created with keyword arguments only and read back through\n"
    "attributes of the same names:\n\n"
    "- ``datetime``: time of the trade (a naive pandas Timestamp, Beijing time).\n"
    "- ``order_book_id``: instrument id in normal form, e.g. \"000001.XSHE\".\n"
    "- ``symbol``: the instrument's name.\n"
    "- ``last_price``: price per share, in currency.\n"
    "- ``last_quantity``: number of shares, positive for buys and sales alike.\n"
    "- ``side``: \"BUY\" or \"SELL\".\n"
    "- ``transaction_cost``: fees of the trade, in currency.\n\n"
    "Trades are immutable, compare equal when all seven fields are equal (and are of\n"
    "the same class), and hash consistently with that.";

struct TradeClass {
    py::object cls;
    std::array<mb::Slot, 7> slots;
    std::array<py::object, 7> keys;  // interned field names
    py::object frozen_error;

    py::tuple values(py::handle trade) const {
        py::tuple out(7);
        for (std::size_t i = 0; i < 7; ++i)
            PyTuple_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i),
                             slots[i].value(trade).release().ptr());
        return out;
    }
};

TradeClass* g_trade = nullptr;  // lives as long as the module

// Fills the slots of `self` from keyword arguments, with the wording of a
// keyword-only signature; nothing is set unless every field is given once.
void fill(PyObject* self, PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    if (nargs) {
        throw py::type_error("Trade() takes no positional arguments (" +
                             std::to_string(nargs) + " given)");
    }
    std::array<PyObject*, 7> values{};
    const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t i = 0;
        while (i < 7 && g_trade->keys[i].ptr() != key) ++i;
        if (i == 7) {
            i = 0;
            while (i < 7 && !mb::equal(g_trade->keys[i], key)) ++i;
        }
        if (i == 7) {
            throw py::type_error("Trade() got an unexpected keyword argument '" +
                                 py::str(key).cast<std::string>() + "'");
        }
        if (values[i]) {
            throw py::type_error("Trade() got multiple values for keyword argument '" +
                                 py::str(key).cast<std::string>() + "'");
        }
        values[i] = args[k];
    }
    for (std::size_t i = 0; i < 7; ++i) {
        if (!values[i]) {
            throw py::type_error(std::string("Trade() missing required keyword argument '") +
                                 kFields[i] + "'");
        }
    }
    for (std::size_t i = 0; i < 7; ++i) g_trade->slots[i].set(self, values[i]);
}

// Calling the class itself: allocate and fill in one step. Subclasses are created
// the usual way (type.__call__ and __init__).
PyObject* trade_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    if (callable != g_trade->cls.ptr()) {
        // A subclass that inherited this entry point: create it the usual way.
        const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
        py::tuple positional(n);
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(positional.ptr(), i, Py_NewRef(args[i]));
        py::dict keywords;
        for (Py_ssize_t k = 0; kwnames && k < PyTuple_GET_SIZE(kwnames); ++k)
            keywords[PyTuple_GET_ITEM(kwnames, k)] = args[n + k];
        return PyType_Type.tp_call(callable, positional.ptr(), keywords.ptr());
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    try {
        fill(self, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames);
    } catch (py::error_already_set& e) {
        Py_DECREF(self);
        e.restore();
        return nullptr;
    } catch (py::builtin_exception& e) {
        Py_DECREF(self);
        e.set_error();
        return nullptr;
    }
    return self;
}

}  // namespace

PYBIND11_MODULE(trade, m, py::mod_gil_not_used()) {
    m.doc() = "The record of one executed trade, as the normalisation of trade tables "
              "builds it and the portfolio book consumes it.";
    m.attr("__all__") = py::make_tuple("Trade");
    py::object cls = mb::make_class(
        m, "Trade", py::tuple(), kTradeDoc,
        "Trade(*, datetime, order_book_id, symbol, last_price, last_quantity, side, "
        "transaction_cost)",
        {"datetime", "order_book_id", "symbol", "last_price", "last_quantity", "side",
         "transaction_cost"});

    g_trade = new TradeClass{cls, {}, {}, {}};
    for (std::size_t i = 0; i < 7; ++i) {
        g_trade->slots[i] = mb::Slot(cls, kFields[i]);
        g_trade->keys[i] = py::reinterpret_steal<py::object>(
            PyUnicode_InternFromString(kFields[i]));
    }
    g_trade->frozen_error =
        py::module_::import("dataclasses").attr("FrozenInstanceError");

    std::vector<std::string> names = {"self"};
    for (const char* f : kFields) names.emplace_back(f);
    mb::Signature init{"__init__", names, {}};
    init.positional = 1;
    mb::def_method(cls, init, "A trade from its seven fields, given by keyword.",
                   [](mb::Args a) {
                       for (std::size_t i = 0; i < 7; ++i)
                           g_trade->slots[i].set(a[0], a[i + 1]);
                       return py::none();
                   });
    reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_vectorcall = trade_vectorcall;

    // Immutable as a frozen record: assigning or deleting a field raises.
    mb::def_method(cls, {"__setattr__", {"self", "name", "value"}, {}},
                   "Trades are immutable: raises FrozenInstanceError.", [](mb::Args a) -> py::object {
                       PyErr_SetObject(g_trade->frozen_error.ptr(),
                                       py::str("cannot assign to field '{}'")
                                           .format(a[1])
                                           .ptr());
                       throw py::error_already_set();
                   });
    mb::def_method(cls, {"__delattr__", {"self", "name"}, {}},
                   "Trades are immutable: raises FrozenInstanceError.", [](mb::Args a) -> py::object {
                       PyErr_SetObject(
                           g_trade->frozen_error.ptr(),
                           py::str("cannot delete field '{}'").format(a[1]).ptr());
                       throw py::error_already_set();
                   });

    mb::def_method(cls, {"__eq__", {"self", "other"}, {}},
                   "Equal to a trade of the same class with the same seven fields.",
                   [](mb::Args a) -> py::object {
                       if (Py_TYPE(a[0].ptr()) != Py_TYPE(a[1].ptr()))
                           return py::reinterpret_borrow<py::object>(Py_NotImplemented);
                       return py::bool_(mb::equal(g_trade->values(a[0]),
                                                  g_trade->values(a[1])));
                   });
    mb::def_method(cls, {"__hash__", {"self"}, {}}, "Hash of the seven fields.",
                   [](mb::Args a) { return py::int_(py::hash(g_trade->values(a[0]))); });
    mb::def_method(cls, {"__repr__", {"self"}, {}}, "Trade(datetime=…, …).",
                   [](mb::Args a) {
                       std::string out =
                           py::str(py::type::handle_of(a[0]).attr("__qualname__"))
                               .cast<std::string>() +
                           "(";
                       for (std::size_t i = 0; i < 7; ++i) {
                           if (i) out += ", ";
                           out += kFields[i];
                           out += "=";
                           out += py::repr(g_trade->slots[i].value(a[0])).cast<std::string>();
                       }
                       return py::str(out + ")");
                   });
    // Pickling and copying rebuild the record through the class's keywords.
    m.attr("_rebuild") = py::module_::import("functools").attr("partial");
    mb::def_method(cls, {"__reduce__", {"self"}, {}}, "Pickling support.",
                   [m](mb::Args a) {
                       py::dict kwargs;
                       for (std::size_t i = 0; i < 7; ++i)
                           kwargs[kFields[i]] = g_trade->slots[i].value(a[0]);
                       py::object cls_of = py::reinterpret_borrow<py::object>(py::type::handle_of(a[0]));
                       return py::make_tuple(m.attr("_rebuild")(cls_of, **kwargs),
                                             py::tuple());
                   });
}
