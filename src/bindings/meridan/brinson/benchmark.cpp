// meridan.brinson.benchmark: the benchmark side of an attribution — an index's
// constituents and weights on a date and its price change between two dates, read
// from the market-data client through one process-wide memo.
#include <pybind11/pybind11.h>

#include "common/args.hpp"
#include "common/globals.hpp"
#include "common/named.hpp"
#include "common/names.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;

namespace {

// The memoiser: functools' lru_cache, or fastcache's where functools lacks it.
py::object import_lru_cache() {
    try {
        return py::module_::import("functools").attr("lru_cache");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError)) throw;
    }
    return py::module_::import("fastcache").attr("lru_cache");
}

// Defines the module function and puts it behind an unbounded memo keyed by the
// arguments as passed; the memo hands out the very objects it keeps.
void def_memoised(py::module_& m, mb::Signature sig, const std::string& doc,
                  mb::Body body) {
    const std::string name = sig.function;
    mb::def_function(m, std::move(sig), doc, std::move(body));
    py::object memo = mb::global(m, "lru_cache")(py::arg("maxsize") = py::none());
    m.attr(name.c_str()) = memo(m.attr(name.c_str()));
}

// A copy of a value the memo keeps, for a caller: a list or Series the caller
// edits must not change what every later call (and every later attribution) reads.
// Series copy their values (pandas' own copy), lists their items; None and other
// immutable values are handed out as they are.
py::object private_copy(const py::object& value) {
    if (value.is_none()) return value;
    if (PyList_CheckExact(value.ptr())) {
        PyObject* items = PyList_GetSlice(value.ptr(), 0, PyList_GET_SIZE(value.ptr()));
        if (!items) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(items);
    }
    static PyObject* copy =
        py::object(py::module_::import("copy").attr("copy")).release().ptr();
    return mb::call(copy, value);
}

// As `def_memoised`, keeping the memo private: the module function answers a copy
// of what the memo keeps, and offers the memo's cache_info, cache_clear and
// cache_parameters as its own.
void def_memoised_copies(py::module_& m, mb::Signature sig, const std::string& doc,
                         mb::Body body) {
    const std::string name = sig.function;
    mb::def_function(m, sig, doc, std::move(body));
    py::object memoiser = mb::global(m, "lru_cache")(py::arg("maxsize") = py::none());
    py::object memo = memoiser(m.attr(name.c_str()));
    mb::def_function(m, std::move(sig), doc,
                     [memo = py::handle(memo)](mb::Args a) {
                         PyObject* stack[2] = {a[0].ptr(), a[1].ptr()};
                         PyObject* kept =
                             PyObject_Vectorcall(memo.ptr(), stack, 2, nullptr);
                         if (!kept) throw py::error_already_set();
                         return private_copy(py::reinterpret_steal<py::object>(kept));
                     },
                     {memo});
    py::object function = m.attr(name.c_str());
    for (const char* attribute : {"cache_info", "cache_clear", "cache_parameters"})
        py::setattr(function, attribute, memo.attr(attribute));
}

// A number from the client's closes: a numpy scalar becomes a Python float, anything
// else stays as the arithmetic made it.
py::object plain_number(py::object value) {
    if (PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr())) return value;
    if (PyFloat_Check(value.ptr()) ||
        py::isinstance(value, py::module_::import("numpy").attr("number")))
        return mb::to_float(value);
    return value;
}

// A module global looked up at call time by its interned name; NameError when absent.
template <mb::fixed_string Name>
py::object module_global(py::handle m) {
    PyObject* value =
        PyDict_GetItemWithError(PyModule_GetDict(m.ptr()), mb::name<Name>().ptr());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined",
                         mb::name<Name>().ptr());
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

// The benchmark operations of an index benchmark: the module function `Name`
// (looked up at call time, so its memo answers) on (self._index, *arguments). The
// attribution asks for constituents on every date, so this path avoids building
// names or tuples it does not need.
template <mb::fixed_string Name>
mb::Body on_index(py::handle m) {
    return [m = py::handle(m)](mb::Args a) -> py::object {
        py::object index = mb::getattr<"_index">(a[0]);
        PyObject* stack[3] = {index.ptr(), nullptr, nullptr};
        for (std::size_t i = 1; i < a.size(); ++i) stack[i] = a[i].ptr();
        PyObject* r =
            PyObject_Vectorcall(module_global<Name>(m).ptr(), stack, a.size(), nullptr);
        if (!r) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(r);
    };
}

// The memoised module functions the benchmarks read: index_components,
// index_weights, get_change_rate.
void register_memoised(py::module_& m) {
    def_memoised_copies(
        m, {"index_components", {"order_book_id", "date"}, {}},
        "The constituent ids of index `order_book_id` on `date`, as the\n"
        "market-data client answers them. Memoised for the process; each call\n"
        "answers a new list, which the caller may change.",
        mb::named<2>([m = py::handle(m)](const py::object& order_book_id,
                                         const py::object& date) {
            return mb::getattr<"index_components">(module_global<"tickvane">(m))(
                order_book_id, date);
        }));
    def_memoised_copies(
        m, {"index_weights", {"order_book_id", "date"}, {}},
        "The constituent weights of index `order_book_id` on `date`: a Series\n"
        "by constituent id, as the market-data client answers it. Memoised for\n"
        "the process; each call answers a new Series, which the caller may change.",
        mb::named<2>([m = py::handle(m)](const py::object& order_book_id,
                                         const py::object& date) {
            return mb::service(m, "index_weights")(order_book_id, date);
        }));
    def_memoised(
        m, {"get_change_rate", {"order_book_id", "start_date", "end_date"}, {}},
        "Price change of `order_book_id` from `start_date` to `end_date` as a "
        "fraction:\n"
        "the last unadjusted close of the range over the first, minus 1 (0.0 for a\n"
        "single close). Memoised for the process. An empty reply raises IndexError, "
        "no\n"
        "reply (None) TypeError.",
        mb::named<3>([m = py::handle(m)](const py::object& order_book_id,
                                         const py::object& start_date,
                                         const py::object& end_date) {
            py::object closes = mb::service(m, "get_price")(
                order_book_id, start_date, end_date, py::arg("fields") = "close",
                py::arg("adjust_type") = "none");
            // Read by position, not by date label; None fails as a subscript does.
            if (closes.is_none() && !PyObject_GetItem(closes.ptr(), py::int_(0).ptr()))
                throw py::error_already_set();
            py::object by_position = closes.attr("iloc");
            py::object first = by_position[py::int_(0)];
            py::object last = by_position[py::int_(-1)];
            return plain_number(mb::sub(mb::true_div(last, first), py::int_(1)));
        }));
}

// The benchmark classes, BrinsonBenchmark and IndexBenchmark; returns the latter.
py::object register_benchmarks(py::module_& m) {
    py::object base = mb::make_class(
        m, "BrinsonBenchmark", py::tuple(),
        "A benchmark of an attribution: constituents and weights on a date, total "
        "return\nover a range.");
    mb::def_abstract_method(
        base, {"components", {"self", "date"}, {}},
        "Implemented by benchmarks: the constituent ids on `date`.");
    mb::def_abstract_method(
        base, {"get_weighting", {"self", "date"}, {}},
        "Implemented by benchmarks: a Series of constituent weights on `date`.");
    mb::def_abstract_method(
        base, {"get_change_rate", {"self", "start_date", "end_date"}, {}},
        "Implemented by benchmarks: the total return from `start_date` to `end_date`.");

    py::object index = mb::make_class(
        m, "IndexBenchmark", py::make_tuple(base),
        "A stock index as benchmark, read through the module's memoised functions.",
        "IndexBenchmark(order_book_id)");
    mb::def_method(
        index, {"__init__", {"self", "order_book_id"}, {}},
        "A benchmark on the index `order_book_id`, kept as `_index`.",
        mb::named<2>([](const py::object& self, const py::object& order_book_id) {
            py::setattr(self, "_index", order_book_id);
            return py::none();
        }));
    mb::def_method(index, {"components", {"self", "date"}, {}},
                   "The index's constituent ids on `date`: a new list on each call\n"
                   "(memoised).",
                   on_index<"index_components">(m), {m});
    mb::def_method(index, {"get_weighting", {"self", "date"}, {}},
                   "The index's constituent weights on `date`, a Series by id: a new\n"
                   "Series on each call (memoised).",
                   on_index<"index_weights">(m), {m});
    mb::def_method(
        index, {"get_change_rate", {"self", "start_date", "end_date"}, {}},
        "The index's close-to-close change from `start_date` to `end_date`,\n"
        "a fraction (memoised).",
        on_index<"get_change_rate">(m), {m});
    return index;
}

}  // namespace

PYBIND11_MODULE(benchmark, m) {
    m.doc() = "Index benchmarks for Brinson attribution, with a process-wide memo.";
    m.attr("lru_cache") = import_lru_cache();
    m.attr("tickvane") = py::module_::import("tickvane");

    register_memoised(m);
    // The memos keep what the store open at the time answered: another store, or the
    // same file replaced by a fetch, must not be answered from them.
    const py::object client = m.attr("tickvane");
    if (py::hasattr(client, "when_store_changes")) {
        for (const char* name :
             {"index_components", "index_weights", "get_change_rate"})
            client.attr("when_store_changes")(m.attr(name).attr("cache_clear"));
    }
    py::object index = register_benchmarks(m);
    m.attr("BrinsonBenchmark_HS300") = index("000300.XSHG");
    m.attr("BrinsonBenchmark_ZZ500") = index("000905.XSHG");
}
