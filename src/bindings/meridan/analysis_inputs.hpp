// Refusals shared by the analyses (risk, profit-and-loss, style, attribution and
// exposure): the checks of a value series, of a list of snapshots, of a date range
// and of a benchmark object, each raising one clear error that names the argument
// and the value, before the analysis asks the market data for anything. The rules
// themselves (which values are usable, what a snapshot may hold) are the core's, in
// meridan/inputs; this file reads the Python objects and words the messages.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/convert.hpp"
#include "common/float_series.hpp"
#include "common/pyops.hpp"
#include "meridan/inputs/snapshot_rules.hpp"
#include "meridan/inputs/value_series.hpp"
#include "meridan/periods/period_base.hpp"

namespace meridan::analysis {

namespace py = pybind11;

inline std::string repr_of(py::handle value) {
    return py::repr(value).cast<std::string>();
}

inline std::string text_of(py::handle value) {
    return py::str(value).cast<std::string>();
}

inline std::string type_name(py::handle value) {
    return py::str(py::type::of(value).attr("__name__")).cast<std::string>();
}

/// The error of an input with nothing in it: `meridan.EmptyInputError`, a ValueError
/// that is also the IndexError ("no first element") that callers have always caught.
/// Looked up when raised, so every module raises the package's one class.
inline py::object empty_input_error() {
    return py::module_::import("meridan").attr("EmptyInputError");
}

[[noreturn]] inline void refuse_empty(const std::string& message) {
    PyErr_SetString(empty_input_error().ptr(), message.c_str());
    throw py::error_already_set();
}

/// What a label or a date argument is, when it is not a date: the words of a message.
inline std::string not_a_date(py::handle value) {
    // numpy's numbers too (an integer index holds np.int64), shown plainly.
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()) ||
        (py::hasattr(value, "dtype") && PyNumber_Check(value.ptr())))
        return "the number " + text_of(value);
    if (py::isinstance<py::str>(value)) return "the text " + repr_of(value);
    return repr_of(value) + " (" + type_name(value) + ")";
}

// ------------------------------------------------------------------ value series

/// A value series as the analyses read it: the calendar day of each label, the
/// values as float64, and its first and last labels as dates that can be moved by
/// months and subtracted (a label given as text is read as pandas reads it).
/// A Series read for the core: its index, the calendar day of each label and its
/// values.
struct DatedSeries {
    py::object index;
    std::vector<std::int64_t> days;
    bind::FloatArray values{0};

    std::span<const double> span() const { return bind::span_of(values); }
};

struct ValueSeries {
    py::object index;
    std::vector<std::int64_t> days;
    bind::FloatArray values{0};
    py::object first;
    py::object last;
};

/// A label as a date object for date arithmetic: the Timestamp of date text or of a
/// numpy datetime64 (which has no `replace` and subtracts to a timedelta64), any other
/// label itself.
inline py::object label_date(py::object label) {
    if (py::isinstance<py::str>(label) ||
        std::string_view(Py_TYPE(label.ptr())->tp_name) == "numpy.datetime64")
        return bind::pandas().attr("Timestamp")(label);
    return label;
}

/// The whole days from the label `start` to the label `end` (`.days` of the
/// difference), on the labels' own clocks: labels of any date kind subtract alike, and
/// labels with a time zone count in their local time, so that a change of clocks in
/// between takes no hour off the span.
inline py::object whole_days_between(const py::object& start, const py::object& end) {
    const py::object timestamp = bind::pandas().attr("Timestamp");
    const auto local = [&](const py::object& label) {
        py::object t = timestamp(label);
        return t.attr("tz").is_none() ? t : t.attr("tz_localize")(py::none());
    };
    return bind::sub(local(end), local(start)).attr("days");
}

/// Reads `series`, the argument `argument`: a pandas Series, not empty, indexed by
/// dates (date, datetime, Timestamp, datetime64 or date text; a time zone's labels
/// count as their own calendar days) in ascending order, every value finite and
/// above 0 (the analyses divide by every value); with `each_date_once`, no date
/// twice (for analyses that align the series by date, which a repeated date makes
/// ambiguous). TypeError for the wrong kind of object or label; `refuse_empty` for
/// no value; ValueError naming the first offending date otherwise.
inline ValueSeries read_value_series(const py::object& series, const char* argument,
                                     bool each_date_once = false) {
    const std::string name(argument);
    if (!py::isinstance(series, bind::pandas().attr("Series"))) {
        throw py::type_error(name + " must be a pandas Series of values by date, got " +
                             type_name(series));
    }
    ValueSeries out;
    out.index = series.attr("index");
    if (py::len(out.index) == 0) refuse_empty(name + " is empty: it has no first date");
    out.days = bind::index_day_numbers(out.index);
    for (std::size_t i = 0; i < out.days.size(); ++i) {
        if (out.days[i] == bind::no_day) {
            throw py::type_error(name + " must be indexed by dates, but its label " +
                                 std::to_string(i) + " is " +
                                 not_a_date(out.index[py::int_(i)]) +
                                 " (convert the index with pandas.to_datetime)");
        }
    }
    if (const auto i = inputs::first_out_of_order(out.days)) {
        throw py::value_error(name + " dates must be in ascending order: " +
                              periods::iso_day(out.days[*i]) + " follows " +
                              periods::iso_day(out.days[*i - 1]));
    }
    if (each_date_once) {
        for (std::size_t i = 1; i < out.days.size(); ++i) {
            if (out.days[i] == out.days[i - 1]) {
                throw py::value_error(name + " has the date " +
                                      periods::iso_day(out.days[i]) +
                                      " twice: each date must appear once");
            }
        }
    }
    out.values = bind::float_values(series);
    if (const auto i = inputs::first_unusable_value(bind::span_of(out.values))) {
        throw py::value_error(name + " has the value " +
                              text_of(py::float_(out.values.data()[*i])) + " on " +
                              periods::iso_day(out.days[*i]) +
                              ": every value must be a finite number above 0");
    }
    out.first = label_date(bind::label_at(out.index, 0));
    out.last = label_date(
        bind::label_at(out.index, static_cast<py::ssize_t>(out.days.size()) - 1));
    return out;
}

// ----------------------------------------------------------------- date arguments

/// The calendar day of the date argument `argument`: a date, a datetime, a Timestamp,
/// a datetime64 or date text ("2016-03-01"). TypeError naming it otherwise (a number
/// such as 20160301 would be read as nanoseconds since 1970).
inline std::int64_t bound_day(const py::object& value, const char* argument) {
    if (const auto day = bind::day_number(value)) return *day;
    throw py::type_error(std::string(argument) + " must be a date, got " +
                         not_a_date(value));
}

/// ValueError when the range from `start` to `end` (calendar days) is empty.
inline void check_range(std::int64_t start, std::int64_t end) {
    if (start > end) {
        throw py::value_error("start_date " + periods::iso_day(start) +
                              " is after end_date " + periods::iso_day(end));
    }
}

// ---------------------------------------------------------------------- snapshots

/// The items of a sequence given by the caller, read once; `what` is the TypeError's
/// text when it is not a sequence.
inline std::vector<py::object> sequence_items(py::handle sequence, const char* what) {
    py::object fast =
        py::reinterpret_steal<py::object>(PySequence_Fast(sequence.ptr(), what));
    if (!fast) throw py::error_already_set();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    PyObject** items = PySequence_Fast_ITEMS(fast.ptr());
    std::vector<py::object> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        out.push_back(py::reinterpret_borrow<py::object>(items[i]));
    return out;
}

/// The snapshots of `series` (the argument `argument`) as a list, read once: a list,
/// a tuple or another sequence of snapshot dicts. TypeError for a pandas object, a
/// mapping or text, which iterate as something else.
inline std::vector<py::object> snapshot_list(const py::object& series,
                                             const char* argument) {
    const bool pandas_object = py::hasattr(series, "iloc");
    if (pandas_object || PyUnicode_Check(series.ptr()) || PyBytes_Check(series.ptr()) ||
        PyDict_Check(series.ptr()) || !PySequence_Check(series.ptr())) {
        throw py::type_error(std::string(argument) +
                             " must be a list of snapshot dicts in date order, got " +
                             type_name(series));
    }
    return sequence_items(series, "expected a sequence of snapshots");
}

/// `mapping[key]` of a snapshot or a position, KeyError naming the key as before;
/// TypeError naming the argument when the item is not a mapping at all. `where`
/// gives the argument's words (text, or a function making them, called only then).
template <class Where>
py::object field(py::handle mapping, const char* key, const Where& where) {
    if (!PyMapping_Check(mapping.ptr()) || PyList_Check(mapping.ptr()) ||
        PyTuple_Check(mapping.ptr()) || PyUnicode_Check(mapping.ptr())) {
        std::string words;
        if constexpr (std::is_invocable_v<const Where&>)
            words = where();
        else
            words = where;
        throw py::type_error(words + " must be a dict, got " + type_name(mapping));
    }
    PyObject* value = PyObject_GetItem(mapping.ptr(), py::str(key).ptr());
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

/// The calendar day of snapshot `position`'s "date" (TypeError naming it when it is
/// not a date).
inline std::int64_t snapshot_day(py::handle snapshot, std::size_t position,
                                 const char* argument) {
    auto where = [&] {
        return std::string(argument) + "[" + std::to_string(position) + "]";
    };
    py::object date = field(snapshot, "date", where);
    if (const auto day = bind::day_number(date)) return *day;
    throw py::type_error(where() + "[\"date\"] must be a date, got " +
                         not_a_date(date));
}

/// The calendar day of every snapshot (TypeError naming one whose date is not a
/// date); with `ascending`, ValueError naming the first snapshot dated before the
/// one ahead of it (a series given newest first, say).
inline std::vector<std::int64_t> snapshot_days(const std::vector<py::object>& snapshots,
                                               const char* argument, bool ascending) {
    std::vector<std::int64_t> days;
    days.reserve(snapshots.size());
    for (std::size_t i = 0; i < snapshots.size(); ++i)
        days.push_back(snapshot_day(snapshots[i], i, argument));
    if (!ascending) return days;
    if (const auto i = inputs::first_out_of_order(days)) {
        const std::string name(argument);
        throw py::value_error(name + " must be in ascending date order, but " + name +
                              "[" + std::to_string(*i) + "] (" +
                              periods::iso_day(days[*i]) + ") follows " + name + "[" +
                              std::to_string(*i - 1) + "] (" +
                              periods::iso_day(days[*i - 1]) + ")");
    }
    return days;
}

/// `refuse_empty` for a range that holds no snapshot of the non-empty `days`.
[[noreturn]] inline void refuse_empty_range(const char* argument, std::int64_t start,
                                            std::int64_t end,
                                            const std::vector<std::int64_t>& days) {
    const auto [lo, hi] = std::minmax_element(days.begin(), days.end());
    refuse_empty("no snapshot of " + std::string(argument) + " lies from start_date " +
                 periods::iso_day(start) + " to end_date " + periods::iso_day(end) +
                 " (its snapshots run from " + periods::iso_day(*lo) + " to " +
                 periods::iso_day(*hi) + ")");
}

/// A number of a snapshot as a double; TypeError naming it when it is none. `what`
/// gives its words (text, or a function making them, called only then).
template <class What>
double snapshot_number(py::handle value, const What& what) {
    const double x = PyFloat_AsDouble(value.ptr());
    if (x == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        std::string words;
        if constexpr (std::is_invocable_v<const What&>)
            words = what();
        else
            words = what;
        throw py::type_error(words + " must be a number, got " + repr_of(value));
    }
    return x;
}

[[noreturn]] inline void refuse_number(const std::string& what, py::handle value,
                                       inputs::Fault fault) {
    throw py::value_error(what + " " + text_of(value) + " " +
                          std::string(inputs::describe(fault)));
}

/// Which numbers of a snapshot a check reads.
struct SnapshotRules {
    bool money = true;        // market_value, cash and each position's market_value
    bool quantities = false;  // each position's quantity
    bool positions = true;  // without it, only the snapshot's own market_value and cash
};

/// Checks the snapshot of the date `date` (as messages show it): its market_value
/// and cash finite, each position's market_value finite and not negative (with
/// `rules.money`), each quantity finite and not negative (with `rules.quantities`);
/// the positions are not read without `rules.positions`. ValueError naming the date
/// (and the id). The words naming a position are made only for a fault.
inline void check_snapshot(py::handle snapshot, const std::string& date,
                           SnapshotRules rules) {
    const std::string where = "the snapshot of " + date;
    if (rules.money) {
        for (const char* key : {"market_value", "cash"}) {
            py::object value = field(snapshot, key, where);
            const inputs::Fault f =
                inputs::money_fault(snapshot_number(value, where + ": " + key));
            if (f != inputs::Fault::none) refuse_number(where + ": " + key, value, f);
        }
    }
    if (!rules.positions) return;
    const std::string in = where + ": a position";
    for (py::handle position : field(snapshot, "positions", where)) {
        py::object oid = field(position, "order_book_id", in);
        for (const char* key : {"market_value", "quantity"}) {
            if (!(key[0] == 'q' ? rules.quantities : rules.money)) continue;
            auto of = [&] { return where + ": " + repr_of(oid) + " " + key; };
            py::object value = field(position, key, in);
            const inputs::Fault f = inputs::holding_fault(snapshot_number(value, of));
            if (f != inputs::Fault::none) refuse_number(of(), value, f);
        }
    }
}

/// The date of a snapshot as messages show it: its calendar day, or str() of what
/// it holds when that is no date.
inline std::string snapshot_date_text(py::handle snapshot) {
    py::object date = field(snapshot, "date", "a snapshot");
    if (const auto day = bind::day_number(date)) return periods::iso_day(*day);
    return text_of(date);
}

/// Checks the market_value of the snapshot a range ends on (or of a snapshot
/// analysed alone, with `alone`): above 0, since the growth over the range is
/// measured to it and the book's weights are shares of it.
inline void check_closing_snapshot(py::handle snapshot, const std::string& date,
                                   bool alone = false) {
    const std::string where = "the snapshot of " + date +
                              (alone ? "" : " (the last of the range)") +
                              ": market_value";
    py::object value = field(snapshot, "market_value", where);
    const inputs::Fault f = inputs::closing_value_fault(snapshot_number(value, where));
    if (f != inputs::Fault::none) refuse_number(where, value, f);
}

/// ValueError for a holding of an index on the snapshot of `date`: the market data
/// types `order_book_id` as `type`.
inline void check_not_index(py::handle order_book_id, py::handle type,
                            const std::string& date) {
    if (!py::isinstance<py::str>(type)) return;
    if (!inputs::is_index_type(type.cast<std::string_view>())) return;
    throw py::value_error("the snapshot of " + date + " holds " +
                          repr_of(order_book_id) + ", an index (instrument type " +
                          text_of(type) + "): an index cannot be held as shares");
}

// ---------------------------------------------------------------------- benchmark

/// TypeError unless `benchmark` has every method of `methods`, with a hint for the
/// common mistake of passing the index's order book id.
inline void check_benchmark_object(const py::object& benchmark,
                                   std::initializer_list<const char*> methods) {
    std::string wanted;
    bool complete = true;
    for (const char* method : methods) {
        wanted += (wanted.empty() ? "" : ", ") + std::string(method) + "()";
        complete = complete && py::hasattr(benchmark, method);
    }
    if (complete) return;
    std::string message = "benchmark must be a benchmark object with " + wanted +
                          " (such as meridan.brinson.benchmark.BrinsonBenchmark_HS300)";
    if (py::isinstance<py::str>(benchmark)) {
        message += ", not the order book id " + repr_of(benchmark) +
                   ": use meridan.brinson.benchmark.IndexBenchmark(" +
                   repr_of(benchmark) + ")";
    } else {
        message += ", got " + repr_of(benchmark) + " (" + type_name(benchmark) + ")";
    }
    throw py::type_error(message);
}

}  // namespace meridan::analysis
