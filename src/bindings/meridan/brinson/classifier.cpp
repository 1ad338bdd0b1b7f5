// meridan.brinson.classifier: which sector a stock belongs to, under the MSCI sector
// scheme or the Shenwan level-1 industries, read from the market-data client, and
// the full sector list of each scheme (the rows of every attribution table), which is
// the set the client's store records: the sample's (10 MSCI sectors, 28 industries of
// 2014) or today's (11 sectors, 31 industries of the 2021 revision).
#include <pybind11/pybind11.h>

#include <mutex>

#include "common/args.hpp"
#include "common/globals.hpp"
#include "common/named.hpp"
#include "common/names.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;

namespace {

// The sets of the store the client has open, kept for the last store seen as the
// tuple (meta, shenwan names or None, MSCI names, industry map). The key is the
// store's meta dict, which the client reads once when it opens a store: any store it
// opens, including the same file reopened after it was replaced (the client refuses
// to read a replaced file into the store it has open and asks for a reopen), has a
// new one, so a set is never served for another store, and the same store costs one
// call and one identity comparison. The cache holds the dict, so its identity cannot
// pass to another. The shenwan names are None for the sample's set: the class-level
// SHENWAN_INDUSTRIES list serves it.
enum Field { kMeta, kShenwanNames, kMsci, kIndustryMap };

std::mutex sets_lock;           // guards the pointer only; no Python runs under it
PyObject* sets_seen = nullptr;  // kept for the process, like the names below
PyObject* schema = nullptr;     // tickvane._schema
PyObject* no_store = nullptr;   // the meta of a stand-in client without stores: {}

// The meta of the store the client reads (opening it as any operation would), or
// an empty dict for a stand-in client that has no stores (the sample's sets).
py::object client_meta(py::handle m) {
    const py::object client = mb::global(m, "tickvane");
    PyObject* manage = PyObject_GetAttr(client.ptr(), mb::name<"_manage">().ptr());
    if (!manage) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw py::error_already_set();
        PyErr_Clear();
        return py::reinterpret_borrow<py::object>(no_store);
    }
    const py::object store =
        mb::call_method<"current">(py::reinterpret_steal<py::object>(manage));
    return mb::getattr<"meta">(store);
}

py::tuple read_sets(const py::object& meta) {
    const py::handle sch(schema);
    const py::tuple chosen = sch.attr("sector_sets")(meta);  // ValueError if unknown
    py::object names = py::none();
    py::dict industry_map;
    py::list industries;
    for (py::handle pair : sch.attr("SHENWAN_SETS")[chosen[0]]) {
        const py::tuple name_code = py::reinterpret_borrow<py::tuple>(pair);
        industry_map[name_code[1]] = name_code[0];
        industries.append(name_code[0]);
    }
    if (!mb::equal(chosen[0], "sw2014")) names = industries;
    const py::object msci = sch.attr("SECTOR_SETS")[chosen[1]];
    return py::make_tuple(meta, names, msci, industry_map);
}

// The sets of the store the client reads: see `sets_seen`.
py::tuple store_sets(py::handle m) {
    const py::object meta = client_meta(m);
    {
        std::lock_guard<std::mutex> hold(sets_lock);
        if (sets_seen && PyTuple_GET_ITEM(sets_seen, kMeta) == meta.ptr())
            return py::reinterpret_borrow<py::tuple>(sets_seen);
    }
    py::tuple fresh = read_sets(meta);
    PyObject* old;
    {
        std::lock_guard<std::mutex> hold(sets_lock);
        old = sets_seen;
        sets_seen = py::tuple(fresh).release().ptr();
    }
    Py_XDECREF(old);
    return fresh;
}

// A classifier's call: the named attribute of the client's instrument record. The
// client is looked up at call time, by interned names: attribution calls this twice
// per instrument and period.
template <mb::fixed_string Attribute>
py::object record_attribute(py::handle m, const py::object& order_book_id) {
    PyObject* client = PyDict_GetItemWithError(PyModule_GetDict(m.ptr()),
                                               mb::name<"tickvane">().ptr());
    if (!client) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_NameError, "name 'tickvane' is not defined");
        throw py::error_already_set();
    }
    py::object instruments = mb::getattr<"instruments">(client);
    PyObject* record = PyObject_CallOneArg(instruments.ptr(), order_book_id.ptr());
    if (!record) throw py::error_already_set();
    return mb::getattr<Attribute>(py::reinterpret_steal<py::object>(record));
}

// The module's lazy attribute SHENWAN_INDUSTRY_MAP.
void register_industry_map(py::module_& m) {
    mb::def_function(
        m, {"__getattr__", {"name"}, {}},
        "SHENWAN_INDUSTRY_MAP: a new dict of the index id of each Shenwan industry of\n"
        "the store's set to its name, in the set's order.",
        mb::named<1>([m = py::handle(m)](const py::object& name) {
            if (!mb::equal(name, "SHENWAN_INDUSTRY_MAP")) {
                PyErr_Format(
                    PyExc_AttributeError,
                    "module 'meridan.brinson.classifier' has no attribute '%U'",
                    name.ptr());
                throw py::error_already_set();
            }
            const py::tuple sets = store_sets(m);
            PyObject* copy = PyDict_Copy(PyTuple_GET_ITEM(sets.ptr(), kIndustryMap));
            if (!copy) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(copy);
        }));
}

// The abstract scheme, SectorDecider; returns it.
py::object register_scheme(py::module_& m) {
    py::object base = mb::make_class(
        m, "SectorDecider", py::tuple(),
        "A sector classification scheme: `all_sectors()` lists its sectors in a fixed\n"
        "order and calling it with an order book id names the sector of that "
        "instrument.");
    mb::def_method(base, {"__init__", {"self"}, {}}, "Takes no settings.",
                   [](mb::Args) { return py::object(py::none()); });
    mb::def_abstract_method(base, {"all_sectors", {"self"}, {}},
                            "Implemented by schemes: the list of all sector names.");
    mb::def_abstract_method(
        base, {"__call__", {"self", "order_book_id"}, {}},
        "Implemented by schemes: the sector name of an instrument.");
    return base;
}

// The MSCI sectors, MSCISectorDecider; returns the class.
py::object register_msci(py::module_& m, const py::object& base) {
    py::object msci = mb::make_class(
        m, "MSCISectorDecider", py::make_tuple(base),
        "The MSCI sector scheme (Chinese names: the 10 sectors, or the 11 with "
        "通信服务\n"
        "and 房地产, as the client's store records), read from the client's\n"
        "instrument records.");
    mb::def_method(msci, {"all_sectors", {"self"}, {}},
                   "A new list of the MSCI sector names of the store's set, in the "
                   "scheme's\norder.",
                   [m = py::handle(m)](mb::Args) {
                       const py::tuple sets = store_sets(m);
                       PyObject* names =
                           PySequence_List(PyTuple_GET_ITEM(sets.ptr(), kMsci));
                       if (!names) throw py::error_already_set();
                       return py::reinterpret_steal<py::object>(names);
                   },
                   {m});
    mb::def_method(msci, {"__call__", {"self", "order_book_id"}, {}},
                   "The MSCI sector name of the instrument: the `sector_code_name` of\n"
                   "`tickvane.instruments(order_book_id)`, unchecked.",
                   mb::named<2>([m = py::handle(m)](const py::object& /*self*/,
                                                    const py::object& order_book_id) {
                       return record_attribute<"sector_code_name">(m, order_book_id);
                   }),
                   {m});
    return msci;
}

// The Shenwan industries, ShenWanSectorDecider; returns the class.
py::object register_shenwan(py::module_& m, const py::object& base) {
    py::object shenwan = mb::make_class(
        m, "ShenWanSectorDecider", py::make_tuple(base),
        "The Shenwan level-1 industries (Chinese names: the 28 of 2014, or the 31 of\n"
        "the 2021 revision, as the client's store records), read from the client's\n"
        "instrument records. SHENWAN_INDUSTRIES: the 28 of 2014.");
    py::list industries;
    for (py::handle pair : py::handle(schema).attr("SHENWAN_INDUSTRIES"))
        industries.append(py::reinterpret_borrow<py::tuple>(pair)[0]);
    shenwan.attr("SHENWAN_INDUSTRIES") = industries;
    mb::def_method(
        shenwan, {"all_sectors", {"self"}, {}},
        "The industry names of the store's set in the order of SHENWAN_INDUSTRY_MAP,\n"
        "shared, not a copy: for the 28 of 2014 the class-level SHENWAN_INDUSTRIES\n"
        "list itself, for the 31 of 2021 one list per store.",
        mb::named<1>([m = py::handle(m)](const py::object& self) {
            const py::tuple sets = store_sets(m);
            PyObject* names = PyTuple_GET_ITEM(sets.ptr(), kShenwanNames);
            if (names == Py_None) return mb::getattr<"SHENWAN_INDUSTRIES">(self);
            return py::reinterpret_borrow<py::object>(names);
        }),
        {m});
    mb::def_method(shenwan, {"__call__", {"self", "order_book_id"}, {}},
                   "The Shenwan industry name of the instrument: the\n"
                   "`shenwan_industry_name` of `tickvane.instruments(order_book_id)`,\n"
                   "unchecked.",
                   mb::named<2>([m = py::handle(m)](const py::object& /*self*/,
                                                    const py::object& order_book_id) {
                       return record_attribute<"shenwan_industry_name">(m,
                                                                        order_book_id);
                   }),
                   {m});
    return shenwan;
}

}  // namespace

PYBIND11_MODULE(classifier, m) {
    m.doc() =
        "Sector classifiers: the MSCI sectors and the Shenwan level-1 industries, as\n"
        "the store the market-data client reads records them (SHENWAN_INDUSTRY_MAP,\n"
        "read as a module attribute, maps the index ids of its industries to their\n"
        "names).";
    m.attr("tickvane") = py::module_::import("tickvane");
    schema = py::module_::import("tickvane._schema").release().ptr();
    no_store = py::dict().release().ptr();

    register_industry_map(m);
    py::object base = register_scheme(m);
    py::object msci = register_msci(m, base);
    py::object shenwan = register_shenwan(m, base);
    m.attr("SectorDecider_MSCI") = msci();
    m.attr("SectorDecider_ShenWan") = shenwan();
}
