// meridan.pcalc.trade: the record of one executed trade, as the normalisation of
// trade tables builds it and the portfolio book consumes it. An immutable record with
// its fields in native slots and nothing else (no __dict__, no __weakref__: a
// statement of a million rows is a million of them); the class is called through
// vectorcall so that building one costs about what a plain Python class costs.
#include <pybind11/pybind11.h>
#include <datetime.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "common/named.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;

namespace {

constexpr std::array<const char*, 7> kFields = {
    "datetime",      "order_book_id", "symbol",          "last_price",
    "last_quantity", "side",          "transaction_cost"};

constexpr const char* kTradeSignature =
    "Trade(*, datetime, order_book_id, symbol, last_price, last_quantity, side, "
    "transaction_cost)";

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
    py::object timestamp_type;  // pandas.Timestamp, imported on first use

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
            throw py::type_error(
                std::string("Trade() missing required keyword argument '") +
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

// The class, made as `type("Trade", (), namespace)` with a native slot for each of
// the seven fields and no other storage: no __dict__ and no __weakref__, which would
// add 24 bytes to every trade (a subclass gets its own __dict__ as usual).
py::object make_trade_class(py::module_& m) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "Trade";
    // The signature line goes into the type's internal doc, where
    // __text_signature__ is read from; __doc__ itself keeps the plain text.
    ns["__doc__"] = std::string(kTradeSignature) + "\n--\n\n" + kTradeDoc;
    py::list names;
    for (const char* f : kFields) names.append(f);
    ns["__slots__"] = py::tuple(names);
    py::object cls = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyType_Type))("Trade", py::tuple(), ns);
    py::setattr(cls, "__doc__", py::str(kTradeDoc));
    m.attr("Trade") = cls;
    return cls;
}

// Distinct values a pool keeps per kind before it starts again: enough for the prices,
// quantities, fees and names a statement repeats, and a bound on what a statement of
// distinct values costs.
constexpr Py_ssize_t kPoolLimit = 1 << 16;

// The dict of `pool` under `kind` (created empty when absent).
PyObject* pool_part(PyObject* pool, PyObject* kind) {
    PyObject* part = PyDict_GetItemWithError(pool, kind);
    if (part && PyDict_CheckExact(part)) return part;
    if (part) throw py::type_error("the pool holds an entry of its own making only");
    if (PyErr_Occurred()) throw py::error_already_set();
    py::dict fresh;
    if (PyDict_SetItem(pool, kind, fresh.ptr()) < 0) throw py::error_already_set();
    return fresh.ptr();  // the pool holds it
}

// The object of `part` equal to `value` (keyed by `value` itself), after adding
// `value` when there is none. Borrowed.
PyObject* pooled(PyObject* part, PyObject* value) {
    PyObject* hit = PyDict_GetItemWithError(part, value);
    if (hit) return hit;
    if (PyErr_Occurred()) throw py::error_already_set();
    if (PyDict_GET_SIZE(part) >= kPoolLimit) PyDict_Clear(part);
    if (PyDict_SetItem(part, value, value) < 0) throw py::error_already_set();
    return value;
}

// Whether two pandas Timestamps cannot be told apart by their value: both naive, the
// same wall time and fold (read from the datetime underneath), and the same value in
// the same resolution (which covers the nanoseconds).
bool same_timestamp(PyObject* a, PyObject* b) {
    if (PyDateTime_DATE_GET_TZINFO(a) != Py_None ||
        PyDateTime_DATE_GET_TZINFO(b) != Py_None)
        return false;
    const auto* x = reinterpret_cast<PyDateTime_DateTime*>(a);
    const auto* y = reinterpret_cast<PyDateTime_DateTime*>(b);
    if (std::memcmp(x->data, y->data, sizeof x->data) != 0 ||
        PyDateTime_DATE_GET_FOLD(a) != PyDateTime_DATE_GET_FOLD(b))
        return false;
    return mb::equal(mb::getattr<"_value">(a), mb::getattr<"_value">(b)) &&
           mb::equal(mb::getattr<"_creso">(a), mb::getattr<"_creso">(b));
}

// The object that stands for field value `value` in `pool`: an equal one met before
// when the two cannot be told apart (an exact str, int or float other than NaN and
// -0.0, from a dict per kind; a naive pandas Timestamp equal to the one of the trade
// before, since trades come in time order); `value` itself otherwise. Borrowed.
PyObject* shared(PyObject* pool, PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type || type == &PyLong_Type) {
        return pooled(pool_part(pool, reinterpret_cast<PyObject*>(type)), value);
    }
    if (type == &PyFloat_Type) {
        // NaN is unequal to itself (two trades of a NaN price are unequal) and -0.0
        // equal to 0.0: both kept as they are.
        const double d = PyFloat_AS_DOUBLE(value);
        if (std::isnan(d) || (d == 0.0 && std::signbit(d))) return value;
        return pooled(pool_part(pool, reinterpret_cast<PyObject*>(type)), value);
    }
    if (type == reinterpret_cast<PyTypeObject*>(g_trade->timestamp_type.ptr())) {
        PyObject* key = g_trade->timestamp_type.ptr();
        PyObject* last = PyDict_GetItemWithError(pool, key);
        if (!last && PyErr_Occurred()) throw py::error_already_set();
        if (last && last != value && Py_TYPE(last) == type &&
            same_timestamp(last, value))
            return last;
        if (PyDict_SetItem(pool, key, value) < 0) throw py::error_already_set();
        return value;
    }
    return value;
}

// The record's methods: made by keyword, immutable, compared and shown by its fields.
void register_record(const py::object& cls) {
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
                   "Trades are immutable: raises FrozenInstanceError.",
                   mb::named<3>([](const py::object& /*self*/, const py::object& name,
                                   const py::object& /*value*/) -> py::object {
                       PyErr_SetObject(
                           g_trade->frozen_error.ptr(),
                           py::str("cannot assign to field '{}'").format(name).ptr());
                       throw py::error_already_set();
                   }));
    mb::def_method(
        cls, {"__delattr__", {"self", "name"}, {}},
        "Trades are immutable: raises FrozenInstanceError.",
        mb::named<2>(
            [](const py::object& /*self*/, const py::object& name) -> py::object {
                PyErr_SetObject(g_trade->frozen_error.ptr(),
                                py::str("cannot delete field '{}'").format(name).ptr());
                throw py::error_already_set();
            }));

    mb::def_method(
        cls, {"__eq__", {"self", "other"}, {}},
        "Equal to a trade of the same class with the same seven fields.",
        mb::named<2>([](const py::object& self, const py::object& other) -> py::object {
            if (Py_TYPE(self.ptr()) != Py_TYPE(other.ptr()))
                return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            return py::bool_(mb::equal(g_trade->values(self), g_trade->values(other)));
        }));
    mb::def_method(cls, {"__hash__", {"self"}, {}}, "Hash of the seven fields.",
                   mb::named<1>([](const py::object& self) {
                       return py::int_(py::hash(g_trade->values(self)));
                   }));
    mb::def_method(
        cls, {"__repr__", {"self"}, {}}, "Trade(datetime=…, …).",
        mb::named<1>([](const py::object& self) {
            std::string out = py::str(py::type::handle_of(self).attr("__qualname__"))
                                  .cast<std::string>() +
                              "(";
            for (std::size_t i = 0; i < 7; ++i) {
                if (i) out += ", ";
                out += kFields[i];
                out += "=";
                out += py::repr(g_trade->slots[i].value(self)).cast<std::string>();
            }
            return py::str(out + ")");
        }));
}

// Sharing equal field values between the trades of a long list.
void register_sharing(py::module_& m) {
    mb::def_function(
        m, {"_share_fields", {"trades", "pool"}, {}},
        "Makes equal field values of the new trades in the list `trades` one object, "
        "in\n"
        "place, so that a long list holds each distinct price, quantity, fee, id, "
        "name\n"
        "and side once, and each time once where trades of the same time follow one\n"
        "another. Only values that cannot be told apart are shared: exact str, int "
        "and\n"
        "float (not NaN, not -0.0), naive pandas Timestamps of the same value,\n"
        "resolution and fold. `pool` is a dict kept between calls on the parts of one\n"
        "list (start with {}). For trades nobody else holds yet: the records are\n"
        "immutable to everyone else.",
        mb::named<2>([](const py::object& trades, const py::object& pool) {
            if (!PyList_Check(trades.ptr()))
                throw py::type_error("trades must be a list");
            if (!PyDict_Check(pool.ptr())) throw py::type_error("pool must be a dict");
            if (!g_trade->timestamp_type) {
                // Read as the datetime it derives from (which it always has).
                py::object ts = py::module_::import("pandas").attr("Timestamp");
                py::object base = py::module_::import("datetime").attr("datetime");
                const int derived = PyObject_IsSubclass(ts.ptr(), base.ptr());
                if (derived < 0) throw py::error_already_set();
                g_trade->timestamp_type = derived ? ts : py::none();
            }
            PyObject* list = trades.ptr();
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list); ++k) {
                const auto trade =
                    py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list, k));
                for (const mb::Slot& slot : g_trade->slots) {
                    PyObject* value = slot.get(trade);
                    if (!value) continue;
                    PyObject* same = shared(pool.ptr(), value);
                    if (same != value) slot.set(trade, same);
                }
            }
            return py::none();
        }));
}

// Pickling and copying.
void register_pickling(py::module_& m, const py::object& cls) {
    // Pickling and copying rebuild the record through the class's keywords.
    m.attr("_rebuild") = py::module_::import("functools").attr("partial");
    mb::def_method(
        cls, {"__reduce__", {"self"}, {}}, "Pickling support.",
        mb::named<1>([m = py::handle(m)](const py::object& self) {
            py::dict kwargs;
            for (std::size_t i = 0; i < 7; ++i)
                kwargs[kFields[i]] = g_trade->slots[i].value(self);
            py::object cls_of =
                py::reinterpret_borrow<py::object>(py::type::handle_of(self));
            return py::make_tuple(m.attr("_rebuild")(cls_of, **kwargs), py::tuple());
        }),
        {m});
}

}  // namespace

PYBIND11_MODULE(trade, m) {
    m.doc() =
        "The record of one executed trade, as the normalisation of trade tables "
        "builds it and the portfolio book consumes it.";
    m.attr("__all__") = py::make_tuple("Trade");
    py::object cls = make_trade_class(m);

    g_trade = new TradeClass{cls, {}, {}, {}, {}};
    for (std::size_t i = 0; i < 7; ++i) {
        g_trade->slots[i] = mb::Slot(cls, kFields[i]);
        g_trade->keys[i] =
            py::reinterpret_steal<py::object>(PyUnicode_InternFromString(kFields[i]));
    }
    g_trade->frozen_error =
        py::module_::import("dataclasses").attr("FrozenInstanceError");
    register_record(cls);
    register_sharing(m);
    register_pickling(m, cls);
}
