// meridan.quotes: a date-by-date view of market data (closes, cash dividends per
// share, split coefficients) for the position calculator and the attribution, with a
// provider that fetches from the market-data client and keeps what it fetched.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/globals.hpp"
#include "common/named.hpp"
#include "common/names.hpp"
#include "common/numpy_interface.hpp"
#include "common/price_cache.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"
#include "meridan/dates/civil.hpp"

namespace py = pybind11;
using meridan::bind::id_list;

namespace {

// Closes are cached a year ahead of the date asked for, so that a day-by-day replay
// needs one request per instrument and year.
constexpr int kPrefetchDays = 365;

// The calendar day a request is about, whatever form the date takes (date, datetime,
// Timestamp, datetime64, ISO or compact text), as a datetime.date: the caches are
// keyed by calendar day.
py::object calendar_day(const py::object& date) {
    if (meridan::bind::is_plain_date(date)) return date;
    const auto day = meridan::bind::day_number(date);
    if (!day) {
        throw py::value_error("cannot read a date from " +
                              py::repr(date).cast<std::string>());
    }
    return meridan::bind::date_object(*day);
}

// Calendar days of the row labels: vectorised for a DatetimeIndex, `.date()` of each
// label otherwise.
std::vector<py::object> row_dates(py::handle index) {
    std::vector<py::object> out;
    out.reserve(py::len(index));
    if (py::isinstance(index, meridan::bind::pandas().attr("DatetimeIndex"))) {
        for (std::int64_t day : meridan::bind::index_day_numbers(index)) {
            out.push_back(day == meridan::bind::no_day
                              ? py::object(py::none())
                              : meridan::bind::date_object(day));
        }
        return out;
    }
    for (py::handle label : index) out.push_back(label.attr("date")());
    return out;
}

// Values of one column as Python objects, read from the column's array in one pass.
std::vector<py::object> column_values(py::handle frame, py::ssize_t j) {
    py::object column = frame.attr(
        "iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
    py::object array = column.attr("to_numpy")();
    std::vector<py::object> out;
    out.reserve(py::len(array));
    if (py::str(array.attr("dtype")).cast<std::string>() == "float64") {
        auto values = array.cast<py::array_t<double>>().unchecked<1>();
        for (py::ssize_t i = 0; i < values.shape(0); ++i)
            out.push_back(py::float_(values(i)));
        return out;
    }
    for (py::handle v : column.attr("tolist")())
        out.push_back(py::reinterpret_borrow<py::object>(v));
    return out;
}

// Day numbers of the index of a cached event series, worked out once per series and
// kept in a memo of the provider by order book id, with the series they were read
// from (an entry for another series than the cache's is worked out again): the
// dividends' `_dividend_days`, the splits' `_split_days`. The ids asked for are
// mostly the very objects the memo holds, so a look-up compares no text. The days are
// kept as the bytes of their int64 values: read in place, at the cost of one type
// check, on every date a replay or an attribution asks about.

// The provider's memo `Name`, made on first use.
template <meridan::bind::fixed_string Name>
py::dict event_days_memo(const py::object& self) {
    PyObject* memo = PyObject_GetAttr(self.ptr(), meridan::bind::name<Name>().ptr());
    if (memo && PyDict_Check(memo)) return py::reinterpret_steal<py::dict>(memo);
    Py_XDECREF(memo);  // anything but a dict is replaced
    if (!memo && !PyErr_ExceptionMatches(PyExc_AttributeError))
        throw py::error_already_set();
    if (!memo) PyErr_Clear();
    py::dict fresh;
    meridan::bind::setattr<Name>(self, fresh);
    return fresh;
}

std::span<const std::int64_t> bytes_days(PyObject* bytes) {
    return {reinterpret_cast<const std::int64_t*>(PyBytes_AS_STRING(bytes)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)) / sizeof(std::int64_t)};
}

// The day numbers of `series`, the event series of `oid`, borrowed from the memo
// entry, which `memo` keeps.
std::span<const std::int64_t> event_days(const py::dict& memo, py::handle oid,
                                         const py::object& series) {
    PyObject* entry = PyDict_GetItemWithError(memo.ptr(), oid.ptr());
    // Entries are (series, bytes of the days) pairs written below; anything else (a
    // day array put there by other code, say) is worked out again.
    if (entry && PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) == 2 &&
        PyTuple_GET_ITEM(entry, 0) == series.ptr() &&
        PyBytes_CheckExact(PyTuple_GET_ITEM(entry, 1)))
        return bytes_days(PyTuple_GET_ITEM(entry, 1));
    if (!entry && PyErr_Occurred()) throw py::error_already_set();
    const std::vector<std::int64_t> days =
        meridan::bind::index_day_numbers(series.attr("index"));
    const auto bytes = py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(days.data()),
        static_cast<Py_ssize_t>(days.size() * sizeof(days[0]))));
    if (!bytes) throw py::error_already_set();
    memo[oid] = py::make_tuple(series, bytes);  // which keeps the bytes
    return bytes_days(bytes.ptr());
}

// The cached value of `series` (a per-instrument dividend or split series, or the
// empty dict of an instrument without data) on the calendar day of `date`, whatever
// form the date takes (date, datetime, Timestamp, datetime64, ISO text).
std::optional<py::object> value_on(const py::dict& memo, py::handle oid,
                                   const py::object& series, const py::object& date,
                                   std::optional<std::int64_t> day) {
    if (py::isinstance<py::dict>(series) || !day) {
        if (!meridan::bind::contains(series, date)) return std::nullopt;
        return py::object(series[date]);
    }
    const auto position = meridan::dates::find_day(event_days(memo, oid, series), *day);
    if (!position) return std::nullopt;
    return py::object(series.attr("iloc")[py::int_(*position)]);
}

// Dividends and splits: the events of `date` by id, each id's series read from `cache`
// or, the first time, asked with one request (`fetch` answers an id's event series, or
// None when it has none, cached as an empty dict); `memo` keeps their days.
py::object events_on(const py::dict& cache, const py::dict& memo, const py::object& ids,
                     const py::object& date,
                     const std::function<py::object(py::handle)>& fetch) {
    py::dict result;
    const auto day = meridan::bind::day_number(date);
    for (py::handle oid : ids) {
        PyObject* kept = PyDict_GetItemWithError(cache.ptr(), oid.ptr());
        if (!kept && PyErr_Occurred()) throw py::error_already_set();
        py::object series = py::reinterpret_borrow<py::object>(kept);
        if (!kept) {
            series = fetch(oid);
            if (series.is_none()) series = py::dict();
            cache[oid] = series;
        }
        // An instrument without events (the usual case) is an empty dict.
        if (PyDict_CheckExact(series.ptr()) && PyDict_GET_SIZE(series.ptr()) == 0)
            continue;
        if (auto value = value_on(memo, oid, series, date, day)) result[oid] = *value;
    }
    return result;
}

// cache[(oid, day)] = value. A key of text and a date refers to nothing the cycle
// collector has to visit, so it is left untracked from the start (the collector
// would untrack it on its first pass).
void store(const py::dict& cache, py::handle oid, py::handle day, py::handle value) {
    const py::object key = meridan::bind::price_key(oid, day);
    if (!PyObject_GC_IsTracked(oid.ptr()) && !PyObject_GC_IsTracked(day.ptr()))
        PyObject_GC_UnTrack(key.ptr());
    if (PyDict_SetItem(cache.ptr(), key.ptr(), value.ptr()) < 0)
        throw py::error_already_set();
}

// New shares per old share of each row of a split table, as pandas divides the
// columns: a table of float64 columns (the client's) read in one pass from its values
// into a Series on its index, any other divided by pandas itself. A missing column is
// the KeyError of looking it up.
py::object coefficients(const py::object& table) {
    // The two columns' positions, found by reading the labels (their index's lookup
    // would build a hash table for each new table).
    std::optional<py::ssize_t> to, from;
    bool once = true;
    py::ssize_t j = 0;
    for (py::handle label : meridan::bind::label_list(table.attr("columns"))) {
        for (auto [column, at] : {std::pair{"split_coefficient_to", &to},
                                  std::pair{"split_coefficient_from", &from}}) {
            if (!meridan::bind::equal(label, column)) continue;
            once = once && !*at;
            *at = j;
        }
        ++j;
    }
    const py::object values = meridan::bind::call_method<"to_numpy">(table);
    using Floats = py::array_t<double>;
    if (!to || !from || !once || !Floats::check_(values) ||
        py::reinterpret_borrow<Floats>(values).ndim() != 2) {
        const py::object num = table["split_coefficient_to"];  // its KeyError first
        return meridan::bind::true_div(num, table["split_coefficient_from"]);
    }
    const auto cells = py::reinterpret_borrow<Floats>(values).unchecked<2>();
    const py::ssize_t num = *to, den = *from;
    Floats ratio(cells.shape(0));
    double* out = ratio.mutable_data();
    for (py::ssize_t i = 0; i < cells.shape(0); ++i)
        out[i] = cells(i, num) / cells(i, den);
    return meridan::bind::pandas().attr("Series")(
        ratio, py::arg("index") = table.attr("index"), py::arg("copy") = false);
}

constexpr const char* kProviderDoc =
    "\n    获得多个股票的收盘价，原始价格\n    @return dict order_book_id:price\n    ";

constexpr const char* kCachedDoc =
    "Market data provider that reads the market-data client and keeps everything it\n"
    "read for its own lifetime.\n\n"
    "CachedMarketDataProvider(adjust_type=\"none\"): closes in that adjustment mode\n"
    "(\"none\", \"pre\", \"post\" or any mode the client accepts). Closes are fetched "
    "a\n"
    "year (365 calendar days) ahead of the date asked for; each instrument's dividend\n"
    "and split tables are fetched once. Dividends are served only in mode \"none\" or\n"
    "another mode that is neither \"pre\" nor \"post\"; splits only in mode \"none\".";

// CachedMarketDataProvider._fill_price_cache: one request for a year of closes.
py::object fill_price_cache(py::handle m, const py::object& self, const py::object& ids,
                            const py::object& date) {
    py::object end = date + meridan::bind::global(m, "datetime")
                                .attr("timedelta")(py::arg("days") = kPrefetchDays);
    py::object reply = meridan::bind::global(m, "get_price")(
        ids, py::arg("start_date") = date, py::arg("end_date") = end,
        py::arg("adjust_type") = self.attr("_adjust_type"),
        py::arg("fields") = "close");
    if (reply.is_none()) return py::object(py::none());
    py::dict cache = self.attr("_price_cache");
    py::object pd = meridan::bind::pandas();
    if (py::isinstance(reply, pd.attr("DataFrame"))) {
        const std::vector<py::object> days = row_dates(reply.attr("index"));
        PyObject* labels = PySequence_List(reply.attr("columns").ptr());
        if (!labels) throw py::error_already_set();
        const py::list columns = py::reinterpret_steal<py::list>(labels);
        const std::size_t n_columns = columns.size();
        // All closes float64 (the usual reply): read in one pass from the
        // frame's values; any other column keeps the objects the frame holds.
        py::object all = reply.attr("to_numpy")();
        const bool floats = py::array_t<double>::check_(all);
        std::vector<std::vector<py::object>> values;
        if (!floats) {
            for (std::size_t j = 0; j < n_columns; ++j)
                values.push_back(column_values(reply, static_cast<py::ssize_t>(j)));
        }
        const auto matrix =
            floats ? all.cast<py::array_t<double>>() : py::array_t<double>();
        for (std::size_t i = 0; i < days.size(); ++i) {
            for (std::size_t j = 0; j < n_columns; ++j) {
                py::object value =
                    floats ? py::reinterpret_steal<py::object>(PyFloat_FromDouble(
                                 *matrix.data(static_cast<py::ssize_t>(i),
                                              static_cast<py::ssize_t>(j))))
                           : values[j][i];
                if (!value) throw py::error_already_set();
                store(cache, PyList_GET_ITEM(columns.ptr(), static_cast<Py_ssize_t>(j)),
                      days[i], value);
            }
        }
    } else {
        // A single series answers for the first id asked for.
        py::object first = ids[py::int_(0)];
        const std::vector<py::object> days = row_dates(reply.attr("index"));
        py::list values = reply.attr("tolist")();
        for (std::size_t i = 0; i < days.size(); ++i)
            store(cache, first, days[i], values[i]);
    }
    return py::object(py::none());
}

// CachedMarketDataProvider.get_close_price: closes from the cache, fetched once
// when missing.
py::object close_prices(const py::object& self, const py::object& order_book_ids,
                        const py::object& day) {
    // A list or tuple of ids is read in place (it is not kept); anything else
    // is read once into a list.
    const py::object ids = PyList_CheckExact(order_book_ids.ptr()) ||
                                   PyTuple_CheckExact(order_book_ids.ptr())
                               ? order_book_ids
                               : py::object(id_list(order_book_ids));
    const py::object date = calendar_day(day);
    py::dict cache = meridan::bind::getattr<"_price_cache">(self);
    auto id_at = [&](Py_ssize_t i) {
        return py::handle(PyList_Check(ids.ptr()) ? PyList_GET_ITEM(ids.ptr(), i)
                                                  : PyTuple_GET_ITEM(ids.ptr(), i));
    };
    auto close_of = [&](py::handle oid, bool& missing) {
        return meridan::bind::cached_close(cache, oid, date, missing);
    };
    auto set = [&](py::dict& result, py::handle oid, PyObject* value) {
        if (PyDict_SetItem(result.ptr(), oid.ptr(), value) < 0)
            throw py::error_already_set();
    };
    // The usual case, every close cached and present, in one pass.
    py::dict result;
    bool complete = true;
    bool missing = false;
    for (Py_ssize_t i = 0; complete && i < Py_SIZE(ids.ptr()); ++i) {
        py::handle oid = id_at(i);
        PyObject* value = close_of(oid, missing);
        if (value) set(result, oid, value);
        complete = value != nullptr;
    }
    if (complete) return py::object(result);
    // Otherwise the missing closes are fetched in one request, and the first id
    // still without a close raises KeyError((id, date)).
    py::list fetch;
    for (Py_ssize_t i = 0; i < Py_SIZE(ids.ptr()); ++i) {
        py::handle oid = id_at(i);
        close_of(oid, missing);
        if (missing && PyList_Append(fetch.ptr(), oid.ptr()) < 0)
            throw py::error_already_set();
    }
    if (!fetch.empty())
        meridan::bind::call_method<"_fill_price_cache">(self, fetch, date);
    PyDict_Clear(result.ptr());
    for (Py_ssize_t i = 0; i < Py_SIZE(ids.ptr()); ++i) {
        py::handle oid = id_at(i);
        PyObject* value = close_of(oid, missing);
        if (!value) {
            PyErr_SetObject(PyExc_KeyError,
                            py::make_tuple(meridan::bind::price_key(oid, date)).ptr());
            throw py::error_already_set();
        }
        set(result, oid, value);
    }
    return py::object(result);
}

// The abstract provider, MarketDataProvider; returns it.
py::object register_provider(py::module_& m) {
    py::object base =
        meridan::bind::make_class(m, "MarketDataProvider", py::tuple(), kProviderDoc);
    for (const char* name :
         {"get_close_price", "get_dividend_per_share", "get_split_coefficient"}) {
        meridan::bind::def_abstract_method(
            base, {name, {"self", "order_book_ids", "date"}, {}},
            "Implemented by providers; returns a dict by order book id.");
    }
    return base;
}

// The cached provider's closes: __init__, _fill_price_cache, get_close_price.
void register_closes(py::module_& m, const py::object& cls) {
    meridan::bind::def_method(
        cls, {"__init__", {"self", "adjust_type"}, {py::str("none")}},
        "Creates a provider with empty caches for closes in mode `adjust_type`.",
        meridan::bind::named<2>(
            [](const py::object& self, const py::object& adjust_type) {
                py::setattr(self, "_adjust_type", adjust_type);
                py::setattr(self, "_price_cache", py::dict());
                py::setattr(self, "_dividend_cache", py::dict());
                py::setattr(self, "_split_cache", py::dict());
                return py::none();
            }));

    meridan::bind::def_method(
        cls, {"_fill_price_cache", {"self", "order_book_ids", "date"}, {}},
        "Fetches the closes of `order_book_ids` from `date` to 365 days later in one\n"
        "request and caches them by (order book id, calendar day).",
        meridan::bind::named<3>([m = py::handle(m)](const py::object& self,
                                                    const py::object& order_book_ids,
                                                    const py::object& date) {
            return fill_price_cache(m, self, order_book_ids, date);
        }),
        {m});

    meridan::bind::def_method(
        cls, {"get_close_price", {"self", "order_book_ids", "date"}, {}},
        "Close of each id on calendar day `date` (a dict by id), adjusted by the\n"
        "provider's mode. Missing closes are fetched in one request covering the next\n"
        "365 days; an id without a close that day raises KeyError((id, date)).",
        meridan::bind::named<3>(close_prices));
}

// The cached provider's corporate events: get_dividend_per_share,
// get_split_coefficient.
void register_events(py::module_& m, const py::object& cls) {
    meridan::bind::def_method(
        cls, {"get_dividend_per_share", {"self", "order_book_ids", "date"}, {}},
        "Cash dividend per share (pre-tax cash per lot divided by the lot size) of "
        "the\n"
        "ids whose book closure falls on the calendar day of `date`; empty in modes\n"
        "\"pre\" and \"post\".",
        meridan::bind::named<3>([m = py::handle(m)](const py::object& self,
                                                    const py::object& order_book_ids,
                                                    const py::object& day) {
            const py::object date = calendar_day(day);
            const py::list ids = id_list(order_book_ids);
            py::object mode = meridan::bind::getattr<"_adjust_type">(self);
            if (meridan::bind::equal(mode, "pre") ||
                meridan::bind::equal(mode, "post")) {
                return py::object(py::dict());
            }
            const bool adjusted = !meridan::bind::equal(mode, "none");
            return events_on(
                meridan::bind::getattr<"_dividend_cache">(self),
                event_days_memo<"_dividend_days">(self), ids, date,
                [m = py::handle(m), adjusted](py::handle oid) {
                    py::object table = meridan::bind::global(m, "get_dividend")(
                        oid, py::arg("adjusted") = adjusted);
                    if (table.is_none()) return table;
                    table = table.attr("set_index")("book_closure_date");
                    return meridan::bind::true_div(table["dividend_cash_before_tax"],
                                                   table["round_lot"]);
                });
        }),
        {m});

    meridan::bind::def_method(
        cls, {"get_split_coefficient", {"self", "order_book_ids", "date"}, {}},
        "New shares per old share of the ids that split on the calendar day of "
        "`date`;\n"
        "empty unless the mode is \"none\".",
        meridan::bind::named<3>([m = py::handle(m)](const py::object& self,
                                                    const py::object& order_book_ids,
                                                    const py::object& day) {
            const py::object date = calendar_day(day);
            const py::list ids = id_list(order_book_ids);
            if (!meridan::bind::equal(meridan::bind::getattr<"_adjust_type">(self),
                                      "none"))
                return py::object(py::dict());
            return events_on(meridan::bind::getattr<"_split_cache">(self),
                             event_days_memo<"_split_days">(self), ids, date,
                             [m = py::handle(m)](py::handle oid) {
                                 py::object table =
                                     meridan::bind::global(m, "get_split")(oid);
                                 if (table.is_none()) return table;
                                 return coefficients(table);
                             });
        }),
        {m});
}

}  // namespace

PYBIND11_MODULE(quotes, m) {
    m.doc() = "Close prices, dividends per share and split coefficients by date.";
    m.attr("datetime") = py::module_::import("datetime");
    m.attr("pd") = py::module_::import("pandas");
    meridan::bind::import_star(m, "tickvane");
    meridan::bind::prepare_numpy();

    py::object base = register_provider(m);
    py::object cls = meridan::bind::make_class(
        m, "CachedMarketDataProvider", py::make_tuple(base), kCachedDoc,
        "CachedMarketDataProvider(adjust_type='none')");
    register_closes(m, cls);
    register_events(m, cls);
}
