// meridan.pcalc.preprocess: turns the tables users upload (opening positions, a
// broker's trade statement, a backtest's trade log) into what the portfolio book
// takes: a mapping of quantities and a list of Trade records.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
// after Python.h
#include <datetime.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/args.hpp"
#include "common/arrow_text.hpp"
#include "common/convert.hpp"
#include "common/globals.hpp"
#include "common/named.hpp"
#include "common/names.hpp"
#include "common/numbers.hpp"
#include "common/numpy_interface.hpp"
#include "common/price_cache.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"
#include "meridan/dates/civil.hpp"
#include "meridan/dates/parse.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;
using meridan::bind::global;
using meridan::bind::to_float;
using meridan::bind::to_int;

namespace {

constexpr const char* kNotStock = "交割单含有非股票数据，请修改后重新上传";

bool is_common_stock(py::handle instrument) {
    return meridan::bind::equal(meridan::bind::getattr<"type">(instrument), "CS");
}

bool has_column(py::handle frame, const char* name) {
    return meridan::bind::contains(frame.attr("columns"), py::str(name));
}

// A column's cells as Python objects, read in one pass (the values itertuples would
// give for its rows).
py::list column(py::handle frame, const char* name) {
    return mb::getattr<"tolist">(frame[py::str(name)])();
}

// The cells of a column, read as text where they are text. Text that pandas keeps in
// pyarrow is read in place, and a cell's Python object (what `column` gives) made from
// its own bytes when it is needed, so that bytes which are not UTF-8 fail in their own
// row; the objects of any other column are made at once.
class Cells {
public:
    Cells(py::handle frame, const char* name)
        : series_(frame[py::str(name)]), text_(mb::ArrowText::of(series_)) {
        if (!text_) list_ = mb::getattr<"tolist">(series_)();
    }
    explicit Cells(py::list cells) : list_(std::move(cells)) {}

    std::size_t size() const {
        return text_ ? text_->size()
                     : static_cast<std::size_t>(PyList_GET_SIZE(list_.ptr()));
    }

    // Whether the cells are read in place (and so are text or missing).
    bool in_place() const { return text_.has_value(); }

    // Cell i as a Python object: for text read in place a str of its bytes, or the
    // dtype's missing value (what tolist() gives for a missing cell).
    py::object object(std::size_t i) {
        if (text_) {
            if (auto t = (*text_)[i]) return str(i, *t);
            if (!missing_)
                missing_ = mb::getattr<"na_value">(mb::getattr<"dtype">(series_));
            return missing_;
        }
        return py::reinterpret_borrow<py::object>(
            PyList_GET_ITEM(list_.ptr(), static_cast<Py_ssize_t>(i)));
    }

    // Cell i for a message: as `object`, with bytes that are not UTF-8 given as bytes.
    py::object shown(std::size_t i) {
        if (text_) {
            if (auto t = (*text_)[i]) {
                PyObject* s = PyUnicode_DecodeUTF8(
                    t->data(), static_cast<Py_ssize_t>(t->size()), "strict");
                if (!s) {
                    PyErr_Clear();
                    return py::bytes(t->data(), t->size());
                }
                return py::reinterpret_steal<py::object>(s);
            }
        }
        return object(i);
    }

    // The UTF-8 text of cell i when it is a str (exactly), empty otherwise.
    std::optional<std::string_view> text(std::size_t i) {
        if (text_) return (*text_)[i];
        PyObject* cell = PyList_GET_ITEM(list_.ptr(), static_cast<Py_ssize_t>(i));
        if (!PyUnicode_CheckExact(cell)) return std::nullopt;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(cell, &size);
        if (!utf8) throw py::error_already_set();
        return std::string_view(utf8, static_cast<std::size_t>(size));
    }

    // Cell i as a str when it is text: the cell itself, or a str made from its bytes.
    py::object str(std::size_t i, std::string_view text) {
        if (!text_) return object(i);
        PyObject* s = PyUnicode_DecodeUTF8(
            text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
        if (!s) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(s);
    }

private:
    py::object series_;
    std::optional<mb::ArrowText> text_;
    py::object list_;
    py::object missing_;
};

// The interned keyword names of Trade's fields, in the order `new_trade` takes them.
PyObject* trade_keywords() {
    static PyObject* names = [] {
        PyObject* t = PyTuple_New(7);
        if (!t) throw py::error_already_set();
        const char* fields[] = {"datetime",        "order_book_id", "symbol",
                                "last_price",      "last_quantity", "side",
                                "transaction_cost"};
        for (Py_ssize_t i = 0; i < 7; ++i)
            PyTuple_SET_ITEM(t, i, PyUnicode_InternFromString(fields[i]));
        return t;
    }();
    return names;
}

// Trade(datetime=…, order_book_id=…, symbol=…, last_price=…, last_quantity=…,
// side=…, transaction_cost=…), called by keyword without building a dict.
py::object new_trade(py::handle cls, py::handle datetime, py::handle oid,
                     py::handle symbol, py::handle price, py::handle quantity,
                     py::handle side, py::handle cost) {
    PyObject* args[] = {datetime.ptr(), oid.ptr(),  symbol.ptr(), price.ptr(),
                        quantity.ptr(), side.ptr(), cost.ptr()};
    PyObject* trade = PyObject_Vectorcall(cls.ptr(), args, 0, trade_keywords());
    if (!trade) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(trade);
}

[[noreturn]] void raise_runtime(const std::string& message) {
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    throw py::error_already_set();
}

std::string text(py::handle value) { return py::str(value).cast<std::string>(); }

// ValueError naming the first required column the table lacks, or the first of them it
// has more than once (pandas would hand over a table for it, not a column), before any
// row is read.
void require_columns(py::handle frame, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (!has_column(frame, name))
            throw py::value_error(std::string("the table has no column '") + name +
                                  "'");
    }
    py::object columns = frame.attr("columns");
    if (mb::getattr<"is_unique">(columns).cast<bool>()) return;
    for (const char* name : names) {
        const auto count =
            py::reinterpret_steal<py::object>(
                PyObject_RichCompare(columns.ptr(), py::str(name).ptr(), Py_EQ))
                .attr("sum")()
                .cast<long long>();
        if (count > 1) {
            throw py::value_error("the table has " + std::to_string(count) +
                                  " columns '" + name + "'; keep one");
        }
    }
}

// Edit distance (insertions, deletions, substitutions) between two texts.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), std::size_t{0});
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                               diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// A UserWarning for each column that is not one the table is read by but reads like
// an optional one the table lacks (within two edits, ignoring case: "Last_Price",
// "transaction_costs"), which would otherwise be ignored without a word.
void warn_misspelt(py::handle frame, std::initializer_list<const char*> known,
                   std::initializer_list<const char*> optional) {
    for (py::handle column : frame.attr("columns")) {
        if (!PyUnicode_Check(column.ptr())) continue;
        const std::string name = column.cast<std::string>();
        if (std::find(known.begin(), known.end(), name) != known.end()) continue;
        const std::string lower = mb::call_method<"lower">(column).cast<std::string>();
        for (const char* wanted : optional) {
            if (name == wanted || has_column(frame, wanted) ||
                edit_distance(lower, wanted) > 2)
                continue;
            const std::string message = "the table's column " +
                                        py::repr(column).cast<std::string>() +
                                        " is not read; did you mean '" + wanted + "'?";
            if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0)
                throw py::error_already_set();
        }
    }
}

// More shares than any listed company has issued: a cell beyond this is a mistake
// (a price in the quantity column, an overflow), and floats beyond 2**53 no longer
// hold every whole number.
constexpr long long kMaxShares = 1'000'000'000'000;

bool within_max_shares(const py::object& whole) {
    static PyObject* limit = PyLong_FromLongLong(kMaxShares);
    const int r = PyObject_RichCompareBool(whole.ptr(), limit, Py_LE);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The integer number of shares of a cell: a whole number from 0 to 1e12 (100.0 is
// 100; 100.7 is refused rather than truncated), or text that int() reads as one
// ("200", as statements exported as text give it).
py::object whole_quantity(py::handle value) {
    long long exact = 0;
    if (mb::exact_int(value, exact) && exact >= 0 && exact <= kMaxShares)
        return py::reinterpret_borrow<py::object>(value);
    PyErr_Clear();
    if (PyUnicode_Check(value.ptr())) {
        PyObject* read = PyLong_FromUnicodeObject(value.ptr(), 10);
        if (read) {
            py::object whole = py::reinterpret_steal<py::object>(read);
            if (!mb::is_negative(whole) && within_max_shares(whole)) return whole;
        } else {
            PyErr_Clear();
        }
    } else if (mb::is_real_number(value) && mb::is_finite(value) &&
               !mb::is_negative(value)) {
        py::object whole = to_int(value);
        if (mb::equal(whole, value) && within_max_shares(whole)) return whole;
    }
    raise_runtime("invalid last_quantity: " + text(value));
}

// The float of a price or cost cell, which must be finite and >= 0. A missing cell
// (None, or pandas' NA of a nullable column, which float() does not take) is refused
// as NaN is.
py::object amount(py::handle value, const char* column) {
    py::object f;
    if (PyFloat_CheckExact(value.ptr())) {
        f = py::reinterpret_borrow<py::object>(value);
    } else {
        if (value.is_none() || value.is(mb::pandas().attr("NA")))
            raise_runtime(std::string("invalid ") + column + ": " + text(value));
        f = to_float(value);
    }
    const double d = PyFloat_AS_DOUBLE(f.ptr());
    if (!std::isfinite(d) || d < 0)
        raise_runtime(std::string("invalid ") + column + ": " + text(value));
    return f;
}

// "BUY" or "SELL" for text of ASCII letters that reads one of them in any case (what
// `.upper()` gives), null otherwise (other text is left to `.upper()` itself).
py::handle ascii_side(std::string_view text) {
    const std::size_t n = text.size();
    if (n != 3 && n != 4) return {};
    auto reads = [&](const char* word) {
        for (std::size_t i = 0; i < n; ++i) {
            if ((text[i] & ~0x20) != word[i]) return false;  // not ASCII: no match
        }
        return word[n] == '\0';
    };
    if (reads("BUY")) return mb::name<"BUY">();
    if (reads("SELL")) return mb::name<"SELL">();
    return {};
}

// The upper-cased side of a cell; the invalid-side error for anything but text that
// reads "BUY" or "SELL".
py::object checked_side(Cells& sides, std::size_t i) {
    if (auto text = sides.text(i)) {
        if (py::handle side = ascii_side(*text))
            return py::reinterpret_borrow<py::object>(side);
    }
    py::object raw = sides.object(i);
    py::object side =
        py::isinstance<py::str>(raw) ? mb::call_method<"upper">(raw) : raw;
    if (!py::isinstance<py::str>(side) ||
        (!mb::equal(side, "BUY") && !mb::equal(side, "SELL"))) {
        raise_runtime("invalid side: " + text(side) +
                      ", should be \"BUY\" or \"SELL\"");
    }
    return side;
}

// Runs the work of one row; an error it raises carries a note naming the row (and
// its order_book_id, unless that cell cannot be shown either).
template <class Id, class F>
void for_row(std::size_t i, Id&& id_cell, F&& work) {
    try {
        work();
    } catch (py::error_already_set& e) {
        std::string note = "in row " + std::to_string(i) + " of the table";
        try {
            note += " (order_book_id " +
                    py::repr(id_cell()).template cast<std::string>() + ")";
        } catch (py::error_already_set&) {
        }
        PyObject* r =
            PyObject_CallMethod(e.value().ptr(), "add_note", "s", note.c_str());
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
        throw;
    }
}

// The package's own normalisers, as imported: a column is converted in bulk only
// while the module still uses them (a replacement is called cell by cell); and the
// provider's own close lookup, which rows may bypass for what it has cached.
struct OwnNormalisers {
    py::object fix_datetime;
    py::object fix_order_book_id;
    py::object timestamp_type;
    std::string timestamp_unit;  // what pd.Timestamp(datetime) gives: "us" or "ns"
    py::object get_close_price;  // CachedMarketDataProvider's own method
};
OwnNormalisers* g_own = nullptr;

// fix_datetime of every cell that the fast reader can read exactly as fix_datetime
// does (text in the common forms; naive Timestamps, which fix_datetime returns as
// they are), null for the others, which are read cell by cell in their row's turn.
// `keys`, when given, receives the sort key of each time read from text (nanoseconds of
// the wall time) and kNoKey for the others.
constexpr std::int64_t kNoKey = std::numeric_limits<std::int64_t>::min();

std::vector<py::object> bulk_times(Cells& cells, const py::object& fix_time,
                                   std::vector<std::int64_t>* keys = nullptr) {
    std::vector<py::object> out(cells.size());
    if (keys) keys->assign(cells.size(), kNoKey);
    if (!fix_time.is(g_own->fix_datetime)) return out;
    std::vector<std::int64_t> micros;
    std::vector<std::size_t> where;
    PyObject* ts_type = g_own->timestamp_type.ptr();
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (auto text = cells.text(i)) {
            if (auto t = meridan::dates::parse_local_time(*text)) {
                micros.push_back(t->epoch_microseconds());
                where.push_back(i);
            }
            continue;
        }
        if (cells.in_place()) continue;  // a missing cell
        const py::object held = cells.object(i);
        PyObject* cell = held.ptr();
        if (Py_TYPE(cell) == reinterpret_cast<PyTypeObject*>(ts_type)) {
            const int year = PyDateTime_GET_YEAR(cell);
            if (year >= 1900 && year <= 2199 &&
                PyDateTime_DATE_GET_TZINFO(cell) == Py_None)
                out[i] = py::reinterpret_borrow<py::object>(cell);
        }
    }
    if (micros.empty()) return out;
    py::array_t<std::int64_t> ticks(static_cast<py::ssize_t>(micros.size()),
                                    micros.data());
    py::object stamps =
        ticks.attr("view")("datetime64[us]")
            .attr("astype")("datetime64[" + g_own->timestamp_unit + "]");
    py::list values = mb::pandas().attr("DatetimeIndex")(stamps).attr("tolist")();
    for (std::size_t k = 0; k < where.size(); ++k) {
        out[where[k]] = values[k];
        if (keys) (*keys)[where[k]] = micros[k] * 1000;
    }
    return out;
}

// fix_order_book_id of a cell, worked out once per distinct text or integer cell
// while the module uses the package's own (pure) function.
class IdNormaliser {
public:
    explicit IdNormaliser(py::object fix_id)
        : fix_id_(std::move(fix_id)), memo_(fix_id_.is(g_own->fix_order_book_id)) {}

    py::object operator()(py::handle cell) {
        const bool key = memo_ && (PyUnicode_CheckExact(cell.ptr()) ||
                                   PyLong_CheckExact(cell.ptr()));
        if (key) {
            PyObject* hit = PyDict_GetItemWithError(cache_.ptr(), cell.ptr());
            if (hit) return py::reinterpret_borrow<py::object>(hit);
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        py::object id = fix_id_(cell);
        if (key) cache_[cell] = id;
        return id;
    }

    // The id of cell i; text read in place is looked up by its bytes.
    py::object operator()(Cells& cells, std::size_t i) {
        if (memo_ && cells.in_place()) {
            if (auto text = cells.text(i)) {
                std::string key(*text);
                auto hit = by_text_.find(key);
                if (hit != by_text_.end()) return hit->second;
                py::object id = fix_id_(cells.str(i, *text));
                by_text_.emplace(std::move(key), id);
                return id;
            }
        }
        return (*this)(cells.object(i));
    }

private:
    py::object fix_id_;
    bool memo_;
    py::dict cache_;
    std::unordered_map<std::string, py::object> by_text_;
};

// The order of naive Timestamps as a number (nanoseconds from the epoch of the wall
// time), so that trades can be sorted without comparing Timestamps in Python; empty
// for any other kind of time.
std::optional<std::int64_t> time_key(py::handle dt) {
    // The tzinfo field of the datetime underneath (a struct read, not the property).
    if (Py_TYPE(dt.ptr()) !=
            reinterpret_cast<PyTypeObject*>(g_own->timestamp_type.ptr()) ||
        PyDateTime_DATE_GET_TZINFO(dt.ptr()) != Py_None)
        return std::nullopt;
    PyObject* o = dt.ptr();
    const meridan::dates::LocalTime t{PyDateTime_GET_YEAR(o),
                                      PyDateTime_GET_MONTH(o),
                                      PyDateTime_GET_DAY(o),
                                      PyDateTime_DATE_GET_HOUR(o),
                                      PyDateTime_DATE_GET_MINUTE(o),
                                      PyDateTime_DATE_GET_SECOND(o),
                                      PyDateTime_DATE_GET_MICROSECOND(o)};
    return t.epoch_microseconds() * 1000 +
           mb::getattr<"nanosecond">(dt).cast<std::int64_t>();
}

// `dt.date()`: built from the fields of a datetime (a Timestamp's date() is that
// same date), asked of the object otherwise.
py::object calendar_date(const py::object& dt) {
    if (mb::is_datetime(dt)) {  // datetime.datetime, pandas Timestamp; not NaT
        return mb::date_object(meridan::dates::days_from_civil(
            PyDateTime_GET_YEAR(dt.ptr()), PyDateTime_GET_MONTH(dt.ptr()),
            PyDateTime_GET_DAY(dt.ptr())));
    }
    return mb::call_method<"date">(dt);
}

// `mapping[key]`, read in place from a dict.
py::object item_of(const py::object& mapping, const py::object& key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value) return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return mapping[key];  // the KeyError Python would raise
}

// The close of a row priced by the provider `md`: `md.get_close_price([oid],
// date)[oid]`. While that method is the package's own, a close the provider has
// cached is read from its cache directly (what the method would return); anything
// else goes through the method.
class RowPricer {
public:
    explicit RowPricer(const py::object& md) : md_(md) {
        PyObject* method =
            PyObject_GetAttr(md.ptr(), mb::name<"get_close_price">().ptr());
        if (!method) {
            PyErr_Clear();  // the call below raises the AttributeError in its turn
        } else {
            own_ = PyMethod_Check(method) &&
                   PyMethod_GET_FUNCTION(method) == g_own->get_close_price.ptr() &&
                   PyMethod_GET_SELF(method) == md.ptr();
            Py_DECREF(method);
        }
    }

    py::object operator()(const py::object& oid, const py::object& date) const {
        if (own_) {
            py::object cache = mb::getattr<"_price_cache">(md_);
            bool missing = false;
            if (PyDict_CheckExact(cache.ptr())) {
                if (PyObject* close = mb::cached_close(cache, oid, date, missing))
                    return py::reinterpret_borrow<py::object>(close);
            }
        }
        py::list one(1);
        PyList_SET_ITEM(one.ptr(), 0, oid.inc_ref().ptr());
        return item_of(mb::call_method<"get_close_price">(md_, one, date), oid);
    }

private:
    const py::object& md_;
    bool own_ = false;
};

// The trade time of a cell through fix_datetime; the invalid-datetime error, with
// fix_datetime's error as its cause, when it cannot be read.
py::object trade_time(const py::object& fix_time, const py::object& raw_time) {
    try {
        return fix_time(raw_time);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::raise_from(e, PyExc_RuntimeError,
                       ("invalid datetime: " + text(raw_time)).c_str());
        throw py::error_already_set();
    }
}

// Opening positions of a table (the module function of the same name).
py::object fix_positions(py::handle m, const py::object& frame) {
    py::dict positions;
    if (py::len(frame) == 0) return py::object(positions);
    require_columns(frame, {"order_book_id", "quantity"});
    // Each column as typed: integer codes stay integers beside float quantities.
    py::list ids = column(frame, "order_book_id");
    py::list quantities = column(frame, "quantity");
    IdNormaliser fix_id(global(m, "fix_order_book_id"));
    const std::size_t n = py::len(ids);
    for (std::size_t i = 0; i < n; ++i) {
        for_row(
            i, [&] { return ids[i]; },
            [&] { positions[fix_id(ids[i])] = quantities[i]; });
    }
    return py::object(positions);
}

// The trades of a statement (the module function of the same name).
py::object fix_trades(py::handle m, const py::object& frame, const py::object& md) {
    const bool priced = has_column(frame, "last_price");
    const bool costed = has_column(frame, "transaction_cost");
    py::list trades;
    if (py::len(frame) == 0) return py::object(trades);
    require_columns(frame, {"order_book_id", "datetime", "side", "last_quantity"});
    if (priced) require_columns(frame, {"last_price"});
    if (costed) require_columns(frame, {"transaction_cost"});
    warn_misspelt(frame,
                  {"order_book_id", "datetime", "side", "last_quantity", "last_price",
                   "transaction_cost"},
                  {"last_price", "transaction_cost"});
    Cells ids(frame, "order_book_id");
    Cells times(frame, "datetime");
    Cells sides(frame, "side");
    py::list quantities = column(frame, "last_quantity");
    py::list prices = priced ? column(frame, "last_price") : py::list();
    py::list costs = costed ? column(frame, "transaction_cost") : py::list();
    IdNormaliser fix_id(global(m, "fix_order_book_id"));
    py::object fix_time = global(m, "fix_datetime");
    std::vector<std::int64_t> keys;
    const std::vector<py::object> read_times = bulk_times(times, fix_time, &keys);
    py::object instruments = global(m, "instruments");
    py::object trading_dates = global(m, "get_trading_dates");
    py::object trade_cls = global(m, "Trade");
    py::float_ no_cost(0.0);
    const std::optional<RowPricer> close_of =
        priced ? std::nullopt : std::optional<RowPricer>(std::in_place, md);
    const std::size_t n = ids.size();
    bool keyed = true;
    auto cell = [](const py::list& column, std::size_t i) {
        return py::handle(PyList_GET_ITEM(column.ptr(), static_cast<Py_ssize_t>(i)));
    };
    for (std::size_t i = 0; i < n; ++i) {
        for_row(
            i, [&] { return ids.shown(i); },
            [&] {
                py::object oid = fix_id(ids, i);
                if (!is_common_stock(mb::call(instruments, oid)))
                    raise_runtime(kNotStock);
                const py::object& dt = read_times[i]
                                           ? read_times[i]
                                           : trade_time(fix_time, times.object(i));
                if (PyObject_IsTrue(mb::call(trading_dates, dt, dt).ptr()) != 1) {
                    if (PyErr_Occurred()) throw py::error_already_set();
                    raise_runtime(text(dt) + " is not a trading day");
                }
                py::object side = checked_side(sides, i);
                py::object price;
                if (priced) {
                    price = amount(cell(prices, i), "last_price");
                } else {
                    price = (*close_of)(oid, calendar_date(dt));
                }
                py::object cost =
                    costed ? amount(cell(costs, i), "transaction_cost") : no_cost;
                py::object quantity = whole_quantity(cell(quantities, i));
                py::object symbol = mb::getattr<"symbol">(mb::call(instruments, oid));
                py::object trade =
                    new_trade(trade_cls, dt, oid, symbol, price, quantity, side, cost);
                if (PyList_Append(trades.ptr(), trade.ptr()) < 0)
                    throw py::error_already_set();
                if (keyed && keys[i] == kNoKey) {
                    const auto key = time_key(dt);
                    if (key) keys[i] = *key;
                    keyed = key.has_value();
                }
            });
    }
    // Sorted stably: trades of the same time keep their row order (a statement
    // already in time order is kept as it is).
    if (keyed && std::is_sorted(keys.begin(), keys.end())) return py::object(trades);
    if (keyed) {
        std::vector<std::size_t> order(n);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
            return keys[x] < keys[y];
        });
        py::list sorted(static_cast<py::ssize_t>(n));
        for (std::size_t k = 0; k < n; ++k) {
            PyObject* t =
                PyList_GET_ITEM(trades.ptr(), static_cast<Py_ssize_t>(order[k]));
            PyList_SET_ITEM(sorted.ptr(), static_cast<Py_ssize_t>(k), Py_NewRef(t));
        }
        return py::object(sorted);
    }
    trades.attr("sort")(
        py::arg("key") =
            py::module_::import("operator").attr("attrgetter")("datetime"));
    return py::object(trades);
}

// The trades of a backtest's log (the module function of the same name).
py::object fix_backtest_trades(py::handle m, const py::object& frame) {
    py::list trades;
    if (py::len(frame) == 0) return py::object(trades);
    require_columns(frame, {"order_book_id", "side", "last_price", "last_quantity",
                            "transaction_cost"});
    Cells times(mb::getattr<"tolist">(mb::getattr<"index">(frame))());
    py::list ids = column(frame, "order_book_id");
    Cells sides(frame, "side");
    py::list prices = column(frame, "last_price");
    py::list quantities = column(frame, "last_quantity");
    py::list costs = column(frame, "transaction_cost");
    py::object instruments = global(m, "instruments");
    py::object fix_time = global(m, "fix_datetime");
    const std::vector<py::object> read_times = bulk_times(times, fix_time);
    py::object trade_cls = global(m, "Trade");
    const std::size_t n = py::len(ids);
    for (std::size_t i = 0; i < n; ++i) {
        for_row(
            i, [&] { return ids[i]; },
            [&] {
                py::object instrument = mb::call(instruments, ids[i]);
                if (!is_common_stock(instrument)) return;
                py::object dt = read_times[i] ? read_times[i]
                                              : trade_time(fix_time, times.object(i));
                py::object side = checked_side(sides, i);
                trades.append(new_trade(
                    trade_cls, dt, ids[i], mb::getattr<"symbol">(instrument),
                    amount(prices[i], "last_price"), whole_quantity(quantities[i]),
                    side, amount(costs[i], "transaction_cost")));
            });
    }
    return py::object(trades);
}

}  // namespace

PYBIND11_MODULE(preprocess, m) {
    m.doc() =
        "Normalisation of uploaded position tables, trade statements and backtest "
        "logs.";
    meridan::bind::import_star(m, "tickvane");
    meridan::bind::prepare_numpy();
    py::module_ util = py::module_::import("meridan.util");
    m.attr("fix_datetime") = util.attr("fix_datetime");
    m.attr("fix_order_book_id") = util.attr("fix_order_book_id");
    {
        py::object ts = mb::pandas().attr("Timestamp");
        py::object sample =
            ts(py::module_::import("datetime").attr("datetime")(2000, 1, 1));
        g_own = new OwnNormalisers{util.attr("fix_datetime"),
                                   util.attr("fix_order_book_id"), ts,
                                   sample.attr("unit").cast<std::string>(),
                                   py::module_::import("meridan.quotes")
                                       .attr("CachedMarketDataProvider")
                                       .attr("__dict__")["get_close_price"]};
    }
    m.attr("Trade") = py::module_::import("meridan.pcalc.trade").attr("Trade");

    meridan::bind::def_function(
        m, {"fix_positions", {"frame"}, {}},
        "Opening positions from a table with columns order_book_id and quantity: a "
        "new\n"
        "dict from normalised order book id to the row's quantity (unconverted). A "
        "later\n"
        "row of the same instrument replaces an earlier one.",
        meridan::bind::named<1>([m = py::handle(m)](const py::object& frame) {
            return fix_positions(m, frame);
        }));

    meridan::bind::def_function(
        m, {"fix_trades", {"frame", "md"}, {}},
        "Trades of a user's statement (columns order_book_id, datetime, side,\n"
        "last_quantity, optional last_price and transaction_cost) as a new list of "
        "Trade\n"
        "records sorted by time (stable). Rows without a price column are priced at "
        "the\n"
        "close of their calendar day through the market data provider `md`. The first\n"
        "row that is not a common stock, has an unreadable time, falls on a day "
        "without\n"
        "trading or has a side other than BUY/SELL raises RuntimeError, as does a\n"
        "last_quantity that is not a whole number from 0 to 1e12 (whole-number\n"
        "text such as \"200\" is read as that number). A required column given twice\n"
        "raises ValueError; a column that reads like a missing optional one\n"
        "(\"Last_Price\") is named in a UserWarning, since it is not read.",
        meridan::bind::named<2>(
            [m = py::handle(m)](const py::object& frame, const py::object& md) {
                return fix_trades(m, frame, md);
            }));

    meridan::bind::def_function(
        m, {"fix_backtest_trades", {"frame"}, {}},
        "Trades of a backtest's log (indexed by trade time; columns order_book_id, "
        "side,\n"
        "last_price, last_quantity, transaction_cost) as a new list of Trade records "
        "in\n"
        "row order, leaving out instruments that are not common stocks.",
        meridan::bind::named<1>([m = py::handle(m)](const py::object& frame) {
            return fix_backtest_trades(m, frame);
        }));
}
