// meridan.exposure: how strongly a portfolio snapshot, and its benchmark, lean on the
// ten style factors of the market-data service, with the shares of the book held in
// newly listed and special-treatment stocks; and the same for up to three snapshots
// of a period, as records ready for display.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
// After pybind11, which brings in Python.h.
#include <datetime.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/float_series.hpp"
#include "common/globals.hpp"
#include "common/named.hpp"
#include "common/names.hpp"
#include "common/numeric_arrays.hpp"
#include "common/numpy_interface.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"
#include "meridan/analysis_inputs.hpp"
#include "meridan/dates/civil.hpp"
#include "meridan/exposure/averaging.hpp"
#include "meridan/exposure/holdings.hpp"
#include "meridan/exposure/listing.hpp"
#include "meridan/exposure/snapshots.hpp"
#include "meridan/exposure/weighting.hpp"
#include "meridan/inputs/snapshot_rules.hpp"

namespace py = pybind11;
namespace mx = meridan::exposure;
using meridan::bind::id_list;
using meridan::bind::service;

namespace {

// Exposures are asked for over the 90 calendar days before the date of the analysis.
constexpr int kWindowDays = 90;
// A date without exposures (a holiday, a gap in the data) moves the window back one
// trading day at a time, at most this many times.
constexpr int kLookBackTradingDays = 30;
// ... and never further back than this many calendar days: 30 trading days span about
// seven weeks, the Spring Festival included. A date after the last day of the market
// data would otherwise be answered, silently, with exposures months or years old.
constexpr std::int64_t kLookBackCalendarDays = 60;

const char* const kFactors[][2] = {
    {"beta", "贝塔"},       {"growth", "成长性"}, {"liquidity", "流动性"},
    {"leverage", "杠杆率"}, {"momentum", "动量"}, {"reversal", "反转"},
    {"size", "市值"},       {"yield", "盈利性"},  {"volatility", "波动率"},
    {"value", "价值"},
};

bool truthy(py::handle value) {
    const int t = PyObject_IsTrue(value.ptr());
    if (t < 0) throw py::error_already_set();
    return t == 1;
}

py::object days(const py::module_& m, int n) {
    return meridan::bind::global(m, "datetime").attr("timedelta")(py::arg("days") = n);
}

// `mapping[key]` with an interned key: snapshots and positions are read once per
// holding.
template <meridan::bind::fixed_string Key>
py::object item(py::handle mapping) {
    PyObject* value = PyObject_GetItem(mapping.ptr(), meridan::bind::name<Key>().ptr());
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

// A number held as a plain float or int, read without a conversion call; false for
// anything else (and for an int too large for a double), which the full check reads.
bool plain_number(PyObject* value, double& out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (!PyLong_CheckExact(value)) return false;
    out = PyLong_AsDouble(value);
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// `dict[key]` of an exact dict, or nullptr when absent (a borrowed reference).
template <meridan::bind::fixed_string Key>
PyObject* dict_item(PyObject* dict) {
    PyObject* value = PyDict_GetItemWithError(dict, meridan::bind::name<Key>().ptr());
    if (!value && PyErr_Occurred()) PyErr_Clear();
    return value;
}

// `dict[key]` of an exact dict, or nullptr when absent (a borrowed reference).
PyObject* dict_value(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) PyErr_Clear();
    return value;
}

// A snapshot's market_value or cash, read on the common shape: a plain number that
// is finite.
bool plain_money(PyObject* snapshot, PyObject* key) {
    double x = 0.0;
    PyObject* value = dict_value(snapshot, key);
    return value && plain_number(value, x) &&
           meridan::inputs::money_fault(x) == meridan::inputs::Fault::none;
}

// Whether a snapshot's own market value and cash certainly pass the money checks,
// read on the common shape only (a dict of plain numbers): a period's every snapshot
// in range is checked, and building the messages' texts for each of them would cost
// more than the analysis itself. False for any other shape and for any fault; the
// caller then runs the full check, which raises with the exact text (or accepts a
// shape read only there, Decimal values say).
bool snapshot_money_sound(PyObject* snapshot) {
    return PyDict_CheckExact(snapshot) &&
           plain_money(snapshot, meridan::bind::name<"market_value">().ptr()) &&
           plain_money(snapshot, meridan::bind::name<"cash">().ptr());
}

// The calendar day of every snapshot, as check::snapshot_days reads them (unordered
// series allowed): a dict's date read directly, anything else through the full
// reading, which names a snapshot without a date.
std::vector<std::int64_t> snapshot_days(const std::vector<py::object>& series) {
    std::vector<std::int64_t> days;
    days.reserve(series.size());
    for (std::size_t i = 0; i < series.size(); ++i) {
        PyObject* s = series[i].ptr();
        if (PyDict_CheckExact(s)) {
            if (PyObject* date = dict_item<"date">(s)) {
                if (const auto day = meridan::bind::day_number(date)) {
                    days.push_back(*day);
                    continue;
                }
            }
        }
        days.push_back(
            meridan::analysis::snapshot_day(series[i], i, "portfolio_series"));
    }
    return days;
}

// Averaged exposures of the requested instruments that have data, in request order.
struct Exposures {
    std::vector<std::size_t> requested;  // position of each row in the request
    py::list ids;                        // row labels
    mx::FactorTable table;
    py::object factors;  // column labels, as the service names the factors
};

[[noreturn]] void no_exposure(std::size_t count, const py::object& date) {
    throw std::runtime_error(
        "no factor exposure for " + std::to_string(count) + " instruments in the " +
        std::to_string(kLookBackTradingDays) + " trading days before " +
        py::str(date).cast<std::string>());
}

// The service's reply for the `count` ids near `date`: the first reply that is not
// None, moving the window back one trading day at a time.
py::object fetch_reply(const py::module_& m, const py::object& order_book_ids,
                       std::size_t count, const py::object& date) {
    const py::object window = days(m, kWindowDays);
    const auto from = meridan::bind::day_number(date);
    py::object day = date;
    for (int shift = 0;; ++shift) {
        py::object reply =
            service(m, "get_factor_exposure")(order_book_ids, day - window, day);
        if (!reply.is_none()) return reply;
        if (shift == kLookBackTradingDays) break;
        day = service(m, "get_previous_trading_date")(day);
        if (day.is_none()) break;  // before the service's calendar
        const auto to = meridan::bind::day_number(day);
        if (from && to && *from - *to > kLookBackCalendarDays) break;  // past its end
    }
    no_exposure(count, date);
}

// Means over the last dates of each group of the reply's rows, read in place.
mx::GroupMeans average(const py::object& reply, const std::vector<std::int64_t>& group,
                       std::size_t groups) {
    const meridan::bind::FloatMatrix values = meridan::bind::float_matrix(reply);
    const mx::TableView view{values.data, values.rows, values.cols, values.row_stride,
                             values.col_stride};
    return mx::average_last_rows(view, group, groups);
}

// Whether the first level of a reply holds exactly the requested text ids, in request
// order (a benchmark's constituents, all with exposures): then each code is its
// request position. Told by the level's own comparison with the Index the ids were
// read from, without reading its labels; for text ids only, which pandas and a dict
// compare alike.
bool level_is_request(const py::object& level, const py::object& request_index,
                      const py::list& ids) {
    if (!request_index || py::len(level) != ids.size()) return false;
    for (py::handle id : ids) {
        if (!PyUnicode_CheckExact(id.ptr())) return false;
    }
    return truthy(meridan::bind::call_method<"equals">(level, request_index));
}

// `request_index`, when given, is the Index whose labels `ids` are, in order.
Exposures fetch_exposures(const py::module_& m, const py::object& order_book_ids,
                          const py::list& ids, const py::object& date,
                          const py::object& request_index = py::object()) {
    Exposures out;
    if (ids.empty()) {
        // Nothing to ask for: an empty table over the factors of the module's table.
        out.factors = meridan::bind::pandas().attr("Index")(
            py::list(meridan::bind::global(m, "TRANSLATION")));
        out.table = mx::FactorTable(0, py::len(out.factors));
        return out;
    }
    const py::object reply = fetch_reply(m, order_book_ids, ids.size(), date);
    out.factors = reply.attr("columns");
    py::object index = reply.attr("index");
    const bool by_instrument =
        py::isinstance(index, meridan::bind::pandas().attr("MultiIndex"));

    if (!by_instrument) {
        // One instrument's table by date: only a request for one id can be answered so.
        if (ids.size() != 1) {
            throw py::value_error(
                "Length mismatch: Expected axis has 1 elements, new values have " +
                std::to_string(ids.size()) + " elements");
        }
        const std::vector<std::int64_t> all(static_cast<std::size_t>(py::len(reply)),
                                            0);
        out.table = average(reply, all, 1).means;
        out.requested = {0};
        out.ids.append(ids[0]);
        return out;
    }

    // Rows labelled (order_book_id, date): each row's instrument is its code in the
    // first level, whose labels are matched to the request once.
    const py::object level = index.attr("levels")[py::int_(0)];
    // The group of each code of the level, unless each code is its own group.
    std::vector<std::int64_t> group_of_code;
    std::vector<std::size_t> first_request;  // request position of each group
    const bool by_position = level_is_request(level, request_index, ids);
    if (by_position) {
        for (std::size_t j = 0; j < ids.size(); ++j) first_request.push_back(j);
    } else {
        py::dict code_of;
        py::ssize_t code = 0;
        for (py::handle label : meridan::bind::label_list(level))
            code_of[label] = py::int_(code++);
        group_of_code.assign(static_cast<std::size_t>(code), -1);
        for (std::size_t j = 0; j < ids.size(); ++j) {
            PyObject* found = PyDict_GetItemWithError(code_of.ptr(), ids[j].ptr());
            if (!found) {
                if (PyErr_Occurred()) throw py::error_already_set();
                continue;  // no exposures for this id
            }
            auto& g = group_of_code[py::cast<std::size_t>(found)];
            if (g >= 0) continue;  // an id asked for twice keeps its first place
            g = static_cast<std::int64_t>(first_request.size());
            first_request.push_back(j);
        }
    }
    std::vector<std::int64_t> group =
        meridan::bind::int64_values(index.attr("codes")[py::int_(0)]);
    if (!by_position) {
        for (std::int64_t& g : group) {
            // A code of -1 marks a missing label.
            g = g >= 0 ? group_of_code[static_cast<std::size_t>(g)] : -1;
        }
    }
    const mx::GroupMeans means = average(reply, group, first_request.size());
    out.table = mx::FactorTable(0, means.means.cols);
    for (std::size_t g = 0; g < first_request.size(); ++g) {
        if (means.count[g] == 0) continue;  // listed in the level but without rows
        out.requested.push_back(first_request[g]);
        out.ids.append(ids[first_request[g]]);
        const auto row = means.means.values.begin() +
                         static_cast<std::ptrdiff_t>(g * means.means.cols);
        out.table.values.insert(out.table.values.end(), row,
                                row + static_cast<std::ptrdiff_t>(means.means.cols));
        ++out.table.rows;
    }
    return out;
}

py::object row_index(const py::list& ids) {
    return meridan::bind::pandas().attr("Index")(ids);
}

py::object exposure_frame(const Exposures& e) {
    return meridan::bind::float_frame(e.table.values, e.table.rows, e.table.cols,
                                      row_index(e.ids), e.factors);
}

std::string date_key(std::int64_t day) {
    const meridan::dates::CivilDay c = meridan::dates::civil_from_days(day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", c.year, c.month, c.day);
    return text;
}

// `obj.<Name>`, or None when reading it fails (for any reason, as before).
template <meridan::bind::fixed_string Name>
py::object optional_attribute(py::handle obj) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), meridan::bind::name<Name>().ptr());
    if (value) return py::reinterpret_steal<py::object>(value);
    PyErr_Clear();
    return py::none();
}

// A naive date or date-time exactly at midnight (nanoseconds of a Timestamp included).
bool naive_midnight(const py::object& value) {
    PyObject* v = value.ptr();
    if (!PyDate_Check(v)) return false;
    if (!PyDateTime_Check(v)) return true;
    if (PyDateTime_DATE_GET_TZINFO(v) != Py_None) return false;
    if (PyDateTime_DATE_GET_HOUR(v) || PyDateTime_DATE_GET_MINUTE(v) ||
        PyDateTime_DATE_GET_SECOND(v) || PyDateTime_DATE_GET_MICROSECOND(v))
        return false;
    if (PyDateTime_CheckExact(v)) return true;
    PyObject* nanosecond =
        PyObject_GetAttr(v, meridan::bind::name<"nanosecond">().ptr());
    if (!nanosecond) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw py::error_already_set();
        PyErr_Clear();
        return true;
    }
    return py::reinterpret_steal<py::object>(nanosecond).cast<std::int64_t>() == 0;
}

// Whole days from the listing date to `date`, as `(date - pd.Timestamp(listed)).days`.
// A listing date at midnight, the usual record, is counted in calendar days, which
// gives the same number, since `date` lies within its own day; anything else goes
// through pandas.
std::int64_t days_since(const py::module_& m, const py::object& date,
                        const py::object& listed) {
    if (naive_midnight(listed) && PyDateTime_Check(date.ptr()) &&
        PyDateTime_DATE_GET_TZINFO(date.ptr()) == Py_None) {
        const auto to = meridan::bind::day_number(date);
        const auto from = meridan::bind::day_number(listed);
        if (to && from) return *to - *from;
    }
    py::object pd = meridan::bind::global(m, "pd");
    return (date - pd.attr("Timestamp")(listed)).attr("days").cast<std::int64_t>();
}

bool is_new_stock(const py::module_& m, const py::object& record,
                  const py::object& date) {
    py::object listed = meridan::bind::getattr<"listed_date">(record);
    switch (mx::listing_age(days_since(m, date, listed))) {
        case mx::ListingAge::newly_listed:
            return true;
        case mx::ListingAge::seasoned:
            return false;
        case mx::ListingAge::count_trading_days:
            break;
    }
    const py::object trading = service(m, "get_trading_dates")(listed, date);
    return mx::newly_listed_by_trading_days(py::len(trading));
}

// Weighted exposure of the instruments `ids` with weights `weights` (one per id);
// ids without exposures contribute nothing and are left out of the shares.
struct Weighted {
    Exposures exposures;
    mx::WeightedExposure result;
};

Weighted weigh(const py::module_& m, const py::list& ids,
               const std::vector<double>& weights, const py::object& date,
               const py::object& request_index = py::object()) {
    Weighted w{fetch_exposures(m, ids, ids, date, request_index), {}};
    std::vector<double> present;
    present.reserve(w.exposures.requested.size());
    for (std::size_t j : w.exposures.requested) present.push_back(weights[j]);
    w.result = mx::weigh_exposures(w.exposures.table, present);
    return w;
}

// The five-key result of one snapshot, with the exposures also kept as numbers for
// the period records.
struct Single {
    py::dict result;
    std::optional<std::vector<double>> portfolio;
    std::optional<std::vector<double>> benchmark;
    py::object benchmark_factors = py::none();  // the benchmark exposure's labels
};

// The refusals of a snapshot analysed alone, before anything is asked of the market
// data: its money (finite values, no negative holding) and a value above 0.
void check_snapshot(const py::object& portfolio, const std::string& day) {
    meridan::analysis::check_snapshot(portfolio, day, {});
    meridan::analysis::check_closing_snapshot(portfolio, day, /*alone=*/true);
}

// What a caller reads of a snapshot's analysis: the pandas results, or only the
// numbers and labels a period record shows (building the Series and the detailed
// table costs more than the arithmetic, and a record shows neither).
enum class Results { pandas, numbers };

Single single_analysis(const py::module_& m, const py::object& portfolio,
                       const py::object& benchmark, const py::object& date_given,
                       Results wanted = Results::pandas) {
    py::object pd = meridan::bind::global(m, "pd");
    py::object date = pd.attr("Timestamp")(date_given);
    // A date with a time zone is its own calendar day there: its wall-clock time,
    // naive, so that it can be compared with listing dates and the calendar.
    if (!date.attr("tz").is_none()) date = date.attr("tz_localize")(py::none());
    // The last trading date on or before the date of the analysis.
    const py::object latest =
        service(m, "get_previous_trading_date")(date + days(m, 1));

    Single out;
    py::object portfolio_exposure = py::none();
    py::object detailed = py::none();
    py::object st_weight = py::int_(0);
    py::object new_weight = py::int_(0);

    py::object positions = item<"positions">(portfolio);
    if (truthy(positions)) {
        std::vector<mx::Holding> holdings;
        py::dict slot_of;
        py::list weighted_ids;
        const auto day_number = meridan::bind::day_number(date);
        const std::string day =
            day_number ? date_key(*day_number) : py::str(date).cast<std::string>();
        // Each looked up once for the snapshot, when first needed: the client's
        // operations as they are at the time of the call.
        py::object instruments, is_st_stock;
        for (py::handle position : positions) {
            py::object oid = item<"order_book_id">(position);
            const double value =
                py::float_(item<"market_value">(position)).cast<double>();
            if (!instruments) instruments = service(m, "instruments");
            py::object record = meridan::bind::call(instruments, oid);
            py::object type = optional_attribute<"type">(record);
            meridan::analysis::check_not_index(oid, type, day);
            mx::Holding h{value, is_new_stock(m, record, date), false, 0};
            if (!h.newly_listed) {
                if (!is_st_stock) is_st_stock = service(m, "_is_st_stock");
                h.special_treatment =
                    truthy(meridan::bind::call(is_st_stock, oid, latest));
                if (!slot_of.contains(oid)) {
                    slot_of[oid] = py::int_(weighted_ids.size());
                    weighted_ids.append(oid);
                }
                h.slot = slot_of[oid].cast<std::size_t>();
            }
            holdings.push_back(h);
        }
        const mx::BookWeights book = mx::weigh_holdings(holdings, weighted_ids.size());
        if (book.total == 0.0) {
            PyErr_SetString(PyExc_ZeroDivisionError,
                            "the positions' market values sum to 0");
            throw py::error_already_set();
        }
        st_weight = py::float_(book.special_total / book.total);
        new_weight = py::float_(book.newly_listed_total / book.total);
        // A book of newly listed stocks only has no weighted holdings to expose.
        if (!weighted_ids.empty()) {
            const Weighted w = weigh(m, weighted_ids, book.weights, date);
            out.portfolio = w.result.total;
            if (wanted == Results::pandas) {
                portfolio_exposure =
                    meridan::bind::float_series(w.result.total, w.exposures.factors);
                detailed = meridan::bind::float_frame(
                    w.result.share.values, w.result.share.rows, w.result.share.cols,
                    row_index(w.exposures.ids), w.exposures.factors);
            }
        }
    }

    py::object benchmark_exposure = py::none();
    if (truthy(benchmark)) {
        py::object weighting =
            meridan::bind::call_method<"get_weighting">(benchmark, date);
        const std::vector<double> weights = mx::normalise(
            meridan::bind::span_of(meridan::bind::float_values(weighting)));
        const py::object constituents = weighting.attr("index");
        const Weighted w = weigh(m, meridan::bind::label_list(constituents), weights,
                                 date, constituents);
        out.benchmark = w.result.total;
        out.benchmark_factors = w.exposures.factors;
        if (wanted == Results::pandas) {
            benchmark_exposure =
                meridan::bind::float_series(w.result.total, w.exposures.factors);
        }
    }

    out.result["portfolio_exposure"] = portfolio_exposure;
    out.result["benchmark_exposure"] = benchmark_exposure;
    out.result["detailed_portfolio_exposure"] = detailed;
    out.result["st_stock_weight"] = st_weight;
    out.result["new_stock_weight"] = new_weight;
    return out;
}

// One record of a period summary, from the snapshot's analysis.
py::dict period_record(const py::module_& m, const Single& single) {
    // Without a benchmark this read fails (AttributeError of None's "index"), as
    // there are no factor labels to show.
    py::object factors =
        single.benchmark ? single.benchmark_factors : py::none().attr("index");
    py::object translation = meridan::bind::global(m, "TRANSLATION");
    py::list labels;
    for (py::handle name : factors) labels.append(translation[name]);
    py::list portfolio;
    if (single.portfolio) {
        portfolio = meridan::bind::float_list(*single.portfolio);
    } else {
        for (std::size_t i = 0; i < labels.size(); ++i) portfolio.append(py::int_(0));
    }
    py::dict record;
    record["factors"] = labels;
    record["portfolio"] = portfolio;
    record["benchmark"] =
        single.benchmark ? meridan::bind::float_list(*single.benchmark) : py::list();
    record["st_stock_weight"] = single.result["st_stock_weight"];
    record["new_stock_weight"] = single.result["new_stock_weight"];
    return record;
}

enum class Choice { by_step, first_middle_last };

py::object period_analysis(const py::module_& m, const py::object& portfolio_series,
                           const py::object& benchmark, const py::object& start_date,
                           const py::object& end_date, Choice choice) {
    namespace check = meridan::analysis;
    const std::vector<py::object> series =
        check::snapshot_list(portfolio_series, "portfolio_series");
    std::int64_t start = check::bound_day(start_date, "start_date");
    const std::int64_t end = check::bound_day(end_date, "end_date");
    check::check_range(start, end);
    // Snapshots of any order are taken, sorted below.
    const std::vector<std::int64_t> all_days = snapshot_days(series);
    if (choice == Choice::first_middle_last)
        start = std::max(start, meridan::dates::days_from_civil(2010, 1, 1));

    // The snapshots in range, in date order (a stable sort keeps the series' order
    // among snapshots of one day); dates compare as calendar days.
    struct InRange {
        py::object snapshot, date;
        std::int64_t day;
    };
    std::vector<InRange> in_range;
    for (std::size_t i = 0; i < series.size(); ++i) {
        const std::int64_t day = all_days[i];
        if (start <= day && day <= end)
            in_range.push_back({series[i], item<"date">(series[i]), day});
    }
    // No snapshot in the range: nothing to show, and nothing is asked.
    if (in_range.empty()) return py::dict();
    check::check_benchmark_object(benchmark, {"get_weighting"});
    std::stable_sort(in_range.begin(), in_range.end(),
                     [](const InRange& x, const InRange& y) { return x.day < y.day; });
    std::vector<std::int64_t> snapshot_days;
    for (const InRange& s : in_range) snapshot_days.push_back(s.day);
    const std::vector<std::size_t> chosen =
        choice == Choice::by_step ? mx::choose_by_step(snapshot_days, start, end)
                                  : mx::choose_first_middle_last(in_range.size());

    // Refusals before anything is asked, the earliest snapshot's first. Every snapshot
    // of the range has its own money checked (its market value and cash); the
    // positions are checked in the snapshots analysed, whose figures they make (the
    // others' are never read).
    std::vector<bool> analysed(in_range.size(), false);
    for (std::size_t i : chosen) analysed[i] = true;
    for (std::size_t i = 0; i < in_range.size(); ++i) {
        const InRange& s = in_range[i];
        if (analysed[i] || !snapshot_money_sound(s.snapshot.ptr()))
            check::check_snapshot(s.snapshot, date_key(s.day),
                                  {.positions = analysed[i]});
    }
    const InRange& last = in_range.back();
    check::check_closing_snapshot(last.snapshot, date_key(last.day));

    py::dict result;
    for (std::size_t i : chosen) {
        const InRange& s = in_range[i];
        const Single single =
            single_analysis(m, s.snapshot, benchmark, s.date, Results::numbers);
        // A snapshot analysed again keeps its first place: dict assignment does that.
        result[py::str(date_key(s.day))] = period_record(m, single);
    }
    return result;
}

meridan::bind::Body period_function(const py::module_& m, Choice choice) {
    return meridan::bind::named<4>(
        [m, choice](const py::object& portfolio_series, const py::object& benchmark,
                    const py::object& start_date, const py::object& end_date) {
            return period_analysis(m, portfolio_series, benchmark, start_date, end_date,
                                   choice);
        });
}

py::dict translation_table() {
    py::dict table;
    for (const auto& entry : kFactors) table[py::str(entry[0])] = py::str(entry[1]);
    return table;
}

// The per-instrument look-ups: averaged exposures, the newly-listed test, dates.
void register_lookups(py::module_& m) {
    meridan::bind::def_function(
        m, {"get_exposure", {"order_book_ids", "date"}, {}},
        "Average style-factor exposure of each instrument of `order_book_ids` (a "
        "list)\n"
        "over its last 22 dates with exposures in the 90 calendar days up to `date`.\n"
        "A DataFrame with one row per instrument that has exposures, in the order\n"
        "asked for, and one column per factor (the service's factor names). When the\n"
        "service has nothing for the window, it is moved back one trading day at a "
        "time,\n"
        "at most 30 times and no further back than 60 calendar days (a date long "
        "after\n"
        "the data's end has none); then RuntimeError. `date` may be date text. An\n"
        "empty list asks for nothing and gives an empty table over the ten factors.",
        meridan::bind::named<2>(
            [m](const py::object& order_book_ids, const py::object& given) {
                const py::list ids = id_list(order_book_ids);
                // Date text is read as the date it names, as the analyses read it.
                const py::object date =
                    PyUnicode_Check(given.ptr())
                        ? py::object(
                              meridan::bind::global(m, "pd").attr("Timestamp")(given))
                        : given;
                return exposure_frame(fetch_exposures(m, order_book_ids, ids, date));
            }));

    meridan::bind::def_function(
        m, {"_is_new_stock", {"order_book_id", "date"}, {}},
        "Whether the stock counts as newly listed on `date` (a Timestamp): listed "
        "fewer\n"
        "than 150 calendar days before, or 150 to 365 days before with at most 132\n"
        "trading dates from its listing date to `date`.",
        meridan::bind::named<2>(
            [m](const py::object& order_book_id, const py::object& given) {
                py::object date = given;
                py::object pd = meridan::bind::global(m, "pd");
                if (!py::isinstance(date, pd.attr("Timestamp")))
                    date = pd.attr("Timestamp")(date);
                py::object record = service(m, "instruments")(order_book_id);
                return py::object(py::bool_(is_new_stock(m, record, date)));
            }));

    meridan::bind::def_function(
        m, {"to_date", {"d"}, {}},
        "`d.date()` for a datetime (a pandas Timestamp included), otherwise `d`.",
        meridan::bind::named<1>([](const py::object& d) {
            if (meridan::bind::is_datetime(d)) return py::object(d.attr("date")());
            return d;
        }));
}

// The analyses of one snapshot and of a period's snapshots.
void register_analyses(py::module_& m) {
    meridan::bind::def_function(
        m, {"single_exposure_analysis", {"portfolio", "benchmark", "date"}, {}},
        "Factor exposure of one portfolio snapshot and of a benchmark on `date`.\n\n"
        "A dict: \"portfolio_exposure\" (a Series by factor: the holdings' exposures\n"
        "weighted by market value, newly listed stocks left out and the rest scaled "
        "to\n"
        "sum to one), \"benchmark_exposure\" (the same for the benchmark's weights; "
        "None\n"
        "without a benchmark), \"detailed_portfolio_exposure\" (a DataFrame by "
        "holding\n"
        "and factor: each holding's share of the portfolio's exposure),\n"
        "\"st_stock_weight\" and \"new_stock_weight\" (fractions of the whole book's\n"
        "market value held in special-treatment and in newly listed stocks). A "
        "snapshot\n"
        "without positions gives None, None and 0, 0; one of newly listed stocks only\n"
        "gives None exposures with its weights.\n\n"
        "Refused before any request (ValueError naming the date, and the id): a\n"
        "market_value or cash that is NaN or infinite, a position's market_value that\n"
        "is NaN, infinite or negative, a snapshot worth 0 or less; a benchmark "
        "without\n"
        "get_weighting() (an order book id, say: TypeError); a date that is a number\n"
        "(TypeError). A holding of an index is refused when it is looked up.",
        meridan::bind::named<3>([m](const py::object& portfolio,
                                    const py::object& benchmark,
                                    const py::object& date) {
            namespace check = meridan::analysis;
            const std::string day = date_key(check::bound_day(date, "date"));
            if (truthy(benchmark))
                check::check_benchmark_object(benchmark, {"get_weighting"});
            check_snapshot(portfolio, day);
            return py::object(single_analysis(m, portfolio, benchmark, date).result);
        }));

    meridan::bind::def_function(
        m,
        {"exposure_analysis",
         {"portfolio_series", "benchmark", "start_date", "end_date"},
         {}},
        "Factor exposure of up to three snapshots of `portfolio_series` between\n"
        "`start_date` and `end_date` (calendar days, both included): those nearest to\n"
        "the end date and to one and two steps before it, the step being 3 months for\n"
        "a range of up to 365 days, 6 months up to 1095 days, a year beyond. A dict "
        "by\n"
        "the snapshot's date (\"YYYY-MM-DD\"), newest first, of records with "
        "\"factors\"\n"
        "(display labels), \"portfolio\" and \"benchmark\" (exposures in that order),\n"
        "\"st_stock_weight\" and \"new_stock_weight\". A benchmark must be given.\n\n"
        "Refused: a portfolio_series that is not a list of snapshots or a benchmark\n"
        "without get_weighting() (TypeError), dates that are not dates (TypeError), a\n"
        "start_date after end_date (ValueError); a snapshot of the range whose\n"
        "market_value or cash is not finite, a snapshot analysed holding a position\n"
        "without an id (KeyError) or whose market_value is not a finite number of 0\n"
        "or more (the positions of the others are not read), a snapshot analysed\n"
        "holding an index, and a last snapshot of the range worth 0 or less\n"
        "(ValueError). No snapshot in the range (an empty series, say) gives an empty\n"
        "dict and asks nothing.",
        period_function(m, Choice::by_step));

    meridan::bind::def_function(
        m,
        {"exposure_analysis_1",
         {"portfolio_series", "benchmark", "start_date", "end_date"},
         {}},
        "As exposure_analysis, for the first, the middle and the last snapshot "
        "between\n"
        "the dates (all of them when there are at most three), oldest first; a start\n"
        "before 2010-01-01 counts from 2010-01-01.",
        period_function(m, Choice::first_middle_last));
}

}  // namespace

PYBIND11_MODULE(exposure, m) {
    m.doc() = "Style-factor exposure of portfolio snapshots and of their benchmark.";
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();
    m.attr("datetime") = py::module_::import("datetime");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("relativedelta") =
        py::module_::import("dateutil.relativedelta").attr("relativedelta");
    m.attr("tickvane") = py::module_::import("tickvane");

    m.attr("TRANSLATION") = translation_table();
    meridan::bind::prepare_numpy();
    register_lookups(m);
    register_analyses(m);
}
