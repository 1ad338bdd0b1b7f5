// meridan.risk: risk figures of a portfolio value series against an index over the
// seven standard periods, with the risk-free rate read from the yield curve point that
// fits each period's length. The series work (alignment onto the index's trading days,
// pad-filled daily changes, period starts, window cuts) runs in the core; the figures
// come from `perilon.Risk`, looked up at call time so that it can be replaced.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/float_series.hpp"
#include "common/globals.hpp"
#include "common/named.hpp"
#include "common/names.hpp"
#include "common/numpy_interface.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"
#include "meridan/analysis_inputs.hpp"
#include "meridan/dates/civil.hpp"
#include "meridan/periods/period_base.hpp"
#include "meridan/periods/standard.hpp"
#include "meridan/risk/yield_curve.hpp"
#include "meridan/series/alignment.hpp"
#include "meridan/series/changes.hpp"
#include "meridan/series/label_slice.hpp"

namespace py = pybind11;
namespace bind = meridan::bind;
using meridan::bind::Signature;

namespace {

// A date as messages show it: its calendar day, or str() of whatever else it is.
std::string date_text(py::handle date) {
    if (auto day = bind::day_number(date)) return meridan::periods::iso_day(*day);
    return py::str(date).cast<std::string>();
}

// The curve value as the service gave it, with NaN answered by the integer 0. numpy
// float scalars become Python floats (same value) so no numpy type reaches a result.
py::object rate_value(const py::object& value) {
    if (PyFloat_Check(value.ptr())) {
        const double x = PyFloat_AS_DOUBLE(value.ptr());
        if (std::isnan(x)) return py::int_(0);
        return PyFloat_CheckExact(value.ptr()) ? value : py::float_(x);
    }
    if (PyLong_Check(value.ptr())) return value;
    // Anything else is tested as numpy tests it (and fails as numpy fails).
    if (py::module_::import("numpy").attr("isnan")(value).cast<bool>())
        return py::int_(0);
    return value;
}

// Where each tenor's column stands in a curve's columns (by tenor, in the order of
// `yield_curve_tenors`): a position where the column is found exactly once, nothing
// where it is absent or repeated, or for every tenor when the columns are not an Index
// of text (get_loc reads those as it does).
using TenorPositions = std::vector<std::optional<py::ssize_t>>;

// The tenors' positions in `columns`, a pandas Index, when every label there is text:
// what `columns.get_loc(column)` answers for a column found once, read in one pass
// over the labels without building the Index's look-up table (the costly part of a
// process's first call).
TenorPositions text_positions(const py::object& columns) {
    const auto tenors = meridan::risk::yield_curve_tenors();
    TenorPositions at(tenors.size());
    if (!py::isinstance(columns, bind::pandas().attr("Index"))) return at;
    static auto* const tenor_of = [&] {  // column text -> tenor, kept for the process
        auto* table = new py::dict();
        for (std::size_t t = 0; t < tenors.size(); ++t)
            (*table)[py::str(tenors[t].column.data(), tenors[t].column.size())] = t;
        return table;
    }();
    const py::list labels = bind::label_list(columns);
    std::vector<bool> repeated(tenors.size(), false);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels.ptr()); ++i) {
        PyObject* const text = PyList_GET_ITEM(labels.ptr(), i);
        if (!PyUnicode_CheckExact(text)) return TenorPositions(tenors.size());
        PyObject* const t = PyDict_GetItemWithError(tenor_of->ptr(), text);  // borrowed
        if (!t) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        const auto k = static_cast<std::size_t>(PyLong_AsSsize_t(t));
        repeated[k] = at[k].has_value();
        at[k] = i;
    }
    for (std::size_t k = 0; k < at.size(); ++k) {
        if (repeated[k]) at[k].reset();
    }
    return at;
}

// Where `tenor`'s column stands in `columns`, as `text_positions` finds it. The
// positions found in the last few Indexes are kept by each Index's identity (an Index
// does not change, as pandas' own look-up table of it assumes): the replies of a
// market-data client often share their columns.
std::optional<py::ssize_t> column_position(const py::object& columns,
                                           const meridan::risk::Tenor& tenor) {
    struct Known {
        py::object columns;
        TenorPositions at;
    };
    static auto* const known = new std::array<Known, 8>();  // kept for the process
    static std::size_t next = 0;
    const auto tenors = meridan::risk::yield_curve_tenors();
    std::size_t t = 0;
    while (t < tenors.size() && &tenors[t] != &tenor) ++t;
    if (t == tenors.size()) return std::nullopt;  // not one of the table's
    for (const Known& k : *known) {
        if (k.columns.ptr() == columns.ptr()) return k.at[t];
    }
    Known& k = (*known)[next];
    k = Known{columns, text_positions(columns)};
    next = (next + 1) % known->size();
    return k.at[t];
}

// The first row's value in the curve column of `tenor`: the column looked up by label
// (pandas' KeyError when absent), the row by position (IndexError when there is
// none). A reply of None, the service's "no data", has no row either.
py::object first_curve_value(const py::object& curve, const meridan::risk::Tenor& tenor,
                             const py::object& date) {
    if (curve.is_none()) {
        PyErr_SetString(PyExc_IndexError,
                        ("no yield curve for " + date_text(date)).c_str());
        throw py::error_already_set();
    }
    py::str column(tenor.column.data(), tenor.column.size());
    const py::object columns = curve.attr("columns");
    const std::optional<py::ssize_t> found = column_position(columns, tenor);
    py::object position =
        found ? py::object(py::int_(*found)) : columns.attr("get_loc")(column);
    if (PyLong_Check(position.ptr())) {
        // A curve whose columns are all numbers is read from its float array: the
        // value of `curve.iloc[0, position]` as a Python float, without pandas'
        // indexing machinery (the costly part of a call).
        py::object values = curve.attr("to_numpy")();
        if (py::isinstance<py::array_t<double>>(values) &&
            py::array(values).ndim() == 2) {
            const auto array = py::array_t<double>(values).unchecked<2>();
            const auto j = position.cast<py::ssize_t>();
            if (array.shape(0) == 0) {
                throw py::index_error(
                    "index 0 is out of bounds for axis 0 with size 0");
            }
            const double x = array(0, j);
            return std::isnan(x) ? py::object(py::int_(0)) : py::object(py::float_(x));
        }
        return rate_value(curve.attr("iloc")[py::make_tuple(0, position)]);
    }
    // A repeated column label: the first row of what pandas selects for it.
    return rate_value(curve[column].attr("iloc")[py::int_(0)]);
}

// The rate for a window starting on `first` (the curve of that day) and lasting
// `window_days` calendar days.
py::object risk_free_rate(const py::module_& m, const py::object& first,
                          std::int64_t window_days) {
    py::object curve = bind::service(m, "get_yield_curve")(first, first);
    return first_curve_value(curve, meridan::risk::tenor_for_window(window_days),
                             first);
}

// Day numbers of a series index that must be dates in ascending order, as label
// slices and carried values need; ValueError naming the offending label otherwise.
void check_dates(const std::vector<std::int64_t>& days, const py::object& index,
                 const char* what) {
    for (std::size_t i = 0; i < days.size(); ++i) {
        if (days[i] == bind::no_day) {
            throw py::value_error(std::string(what) +
                                  " has a label that is not a date: " +
                                  py::repr(index[py::int_(i)]).cast<std::string>());
        }
    }
    if (meridan::series::is_ascending(days)) return;
    std::size_t i = 1;
    while (days[i] >= days[i - 1]) ++i;
    throw py::value_error(std::string(what) + " dates must be in ascending order: " +
                          date_text(index[py::int_(i)]) + " follows " +
                          date_text(index[py::int_(i - 1)]));
}

// The benchmark of the risk and profit analyses is an index's order book id, whose
// closes are requested; a benchmark object (the attribution's kind) is refused by name.
void check_index_id(const py::object& benchmark) {
    if (py::isinstance<py::str>(benchmark)) return;
    throw py::type_error(
        "benchmark must be the order book id of an index (text such "
        "as '000300.XSHG'), got " +
        meridan::analysis::repr_of(benchmark));
}

py::array_t<double> to_array(std::span<const double> values) {
    return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

py::object tail(const py::array_t<double>& array, std::size_t from) {
    PyObject* view = PySequence_GetSlice(array.ptr(), static_cast<Py_ssize_t>(from),
                                         static_cast<Py_ssize_t>(array.size()));
    if (!view) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(view);
}

// A figures block, its keys and the attributes read by interned names: fourteen
// blocks are built per call.
py::dict figures(const py::object& risk, bool benchmark) {
    py::dict block;
    block[bind::name<"return">()] = bind::getattr<"annual_return">(risk);
    block[bind::name<"alpha">()] =
        benchmark ? py::object(py::int_(0)) : bind::getattr<"alpha">(risk);
    block[bind::name<"beta">()] =
        benchmark ? py::object(py::int_(1)) : bind::getattr<"beta">(risk);
    block[bind::name<"sharpe">()] = bind::getattr<"sharpe">(risk);
    block[bind::name<"sortino">()] =
        benchmark ? py::object(py::str("")) : bind::getattr<"sortino">(risk);
    block[bind::name<"max_drawdown">()] = bind::getattr<"max_drawdown">(risk);
    block[bind::name<"var">()] = bind::getattr<"var">(risk);
    return block;
}

constexpr const char* kRateDoc =
    "The annual risk-free rate for the window from `start_date` to `end_date` (any\n"
    "form pandas.Timestamp accepts): the yield curve of the single day `start_date`\n"
    "is requested from tickvane (get_yield_curve(start_date, start_date)) and the\n"
    "value of its first row read at the longest tenor of YIELD_CURVE_TENORS strictly\n"
    "shorter than the window's length in calendar days (\"S0\" for 30 days or less,\n"
    "also for a negative window; \"M9\" for 365 days, \"Y1\" for 366). The value is\n"
    "returned as the service gives it (a fraction: 0.025 is 2.5 %), or the integer 0\n"
    "when it is NaN. A curve without that column raises KeyError, one without rows\n"
    "(or no curve at all) IndexError.";

constexpr const char* kAnalysisDoc =
    "Risk figures of a portfolio against the index `benchmark` (an order book id)\n"
    "over seven periods ending on the last date of `portfolio_series` (a Series of "
    "the\n"
    "portfolio's value by date, ascending, every value finite and above 0; only\n"
    "ratios of values are used).\n\n"
    "The index's closes from the first to the last date of the series are requested\n"
    "once (get_price(benchmark, start, end, fields=\"ClosingPx\", "
    "adjust_type=\"none\"));\n"
    "the series is carried onto the index's trading days (a trading day missing from\n"
    "the series takes the value of its latest earlier date, dates that are not "
    "trading\n"
    "days drop out; dates compare as calendar days), and both become daily returns\n"
    "(missing values forward-filled first; the first day has no return).\n\n"
    "Periods, each a window of the daily returns from its start day (inclusive) to "
    "the\n"
    "end: \"one_month\", \"three_month\", \"six_month\", \"one_year\" (calendar "
    "months\n"
    "back from the last date, 31 March going back to the end of February),\n"
    "\"this_month\", \"this_year\" (from the first of the last date's month or year) "
    "and\n"
    "\"total\" (from the first date). Each window's risk-free rate is\n"
    "get_risk_free_rate(first return date of the window, last date).\n\n"
    "Returns {period: {\"benchmark\": block, \"portfolio\": block}} where a block "
    "holds\n"
    "\"return\", \"alpha\", \"beta\", \"sharpe\", \"sortino\", \"max_drawdown\" and "
    "\"var\" of\n"
    "perilon.Risk(portfolio window, benchmark window, rate) for the portfolio and of\n"
    "perilon.Risk(benchmark window, benchmark window, rate) for the benchmark, whose\n"
    "\"alpha\", \"beta\" and \"sortino\" are always 0, 1 and \"\". A period without "
    "any\n"
    "daily return raises IndexError naming the period and its start day.\n\n"
    "Refused before any request: a portfolio_series that is not a Series (TypeError),\n"
    "is empty (meridan.EmptyInputError, a ValueError and an IndexError), has labels\n"
    "that are not dates (numbers, say: TypeError), dates out of order, or a value\n"
    "that is NaN, infinite or not above 0 (ValueError naming the first such date); a\n"
    "benchmark that is not text (TypeError).";

// The rate of the yield curve of `start` for the window from `start` to `end`.
py::object risk_free_rate_between(const py::module_& m, const py::object& start,
                                  const py::object& end) {
    py::object curve = bind::service(m, "get_yield_curve")(start, start);
    const py::object length = meridan::analysis::whole_days_between(start, end);
    if (!PyLong_Check(length.ptr())) {
        throw py::value_error("no window length between " +
                              py::repr(start).cast<std::string>() + " and " +
                              py::repr(end).cast<std::string>());
    }
    return first_curve_value(
        curve, meridan::risk::tenor_for_window(length.cast<std::int64_t>()), start);
}

// The figures of every standard period of `series` against the index `benchmark`.
py::object risk_analysis(const py::module_& m, const py::object& series,
                         const py::object& benchmark) {
    meridan::analysis::ValueSeries portfolio =
        meridan::analysis::read_value_series(series, "portfolio_series");
    check_index_id(benchmark);
    const py::object& index = portfolio.index;
    const py::object start = bind::label_at(index, 0);
    const py::object end =
        bind::label_at(index, static_cast<py::ssize_t>(portfolio.days.size()) - 1);
    const py::object closes = bind::service(m, "get_price")(
        benchmark, start, end, py::arg("fields") = "ClosingPx",
        py::arg("adjust_type") = "none");

    const std::vector<std::int64_t>& portfolio_days = portfolio.days;
    const bind::FloatArray& portfolio_values = portfolio.values;
    // No closes (None) means no trading day, so no period has a return.
    std::vector<std::int64_t> bench_days;
    bind::FloatArray bench_values(0);
    py::object bench_index = py::none();
    if (!closes.is_none()) {
        if (!py::isinstance(closes, bind::pandas().attr("Series"))) {
            throw py::type_error(
                "closes of " + py::repr(benchmark).cast<std::string>() +
                " must come as a Series, got " +
                py::str(py::type::of(closes).attr("__name__")).cast<std::string>());
        }
        bench_index = closes.attr("index");
        bench_days = bind::index_day_numbers(bench_index);
        check_dates(bench_days, bench_index, "benchmark closes");
        bench_values = bind::float_values(closes);
    }

    const std::vector<double> aligned = meridan::series::reindex_ffill(
        portfolio_days, bind::span_of(portfolio_values), bench_days);
    const std::vector<double> p_change = meridan::series::pad_filled_changes(aligned);
    const std::vector<double> b_change =
        meridan::series::pad_filled_changes(bind::span_of(bench_values));
    // Returns start on the second trading day: the first has no change.
    const std::size_t skip = bench_days.empty() ? 0 : 1;
    const py::array_t<double> p_returns =
        to_array(std::span<const double>(p_change).subspan(skip));
    const py::array_t<double> b_returns =
        to_array(std::span<const double>(b_change).subspan(skip));
    const std::span<const std::int64_t> return_days =
        std::span<const std::int64_t>(bench_days).subspan(skip);

    const std::int64_t first_day = portfolio_days.front();
    const std::int64_t last_day = portfolio_days.back();
    // Where each period's window starts, and the closes' labels of the non-empty
    // ones' first days.
    std::array<std::size_t, meridan::periods::kStandardPeriods.size()> firsts{};
    std::vector<py::ssize_t> label_positions;
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        const std::int64_t from = meridan::periods::period_start(
            meridan::periods::kStandardPeriods[i], last_day, first_day);
        firsts[i] = meridan::series::first_on_or_after(return_days, from)
                        .value_or(return_days.size());
        if (firsts[i] < return_days.size())
            label_positions.push_back(static_cast<py::ssize_t>(firsts[i] + skip));
    }
    const py::list labels = bind::labels_at(bench_index, label_positions);

    const py::object risk_class = bind::global(m, "perilon").attr("Risk");
    py::dict result;
    std::size_t next_label = 0;
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        const auto period = meridan::periods::kStandardPeriods[i];
        const std::string_view key = meridan::periods::key(period);
        const std::size_t k = firsts[i];
        if (k == return_days.size()) {
            const std::int64_t from =
                meridan::periods::period_start(period, last_day, first_day);
            // The market data may end before the series does (not yet brought up to
            // date): the returns end with it, and the message says so.
            std::string closes_end;
            if (!bench_days.empty() && bench_days.back() < last_day &&
                bind::service(m, "get_next_trading_date")(
                    meridan::periods::iso_day(bench_days.back()))
                    .is_none()) {
                closes_end = "; the market data ends on " +
                             meridan::periods::iso_day(bench_days.back());
            }
            PyErr_SetString(
                PyExc_IndexError,
                ("no daily return in period '" + std::string(key) + "' starting " +
                 meridan::periods::iso_day(from) + " (series ends " +
                 meridan::periods::iso_day(last_day) + closes_end + ")")
                    .c_str());
            throw py::error_already_set();
        }
        const py::object first = labels[next_label++];
        const py::object rate = risk_free_rate(m, first, last_day - return_days[k]);
        const py::object p_window = tail(p_returns, k);
        const py::object b_window = tail(b_returns, k);
        const py::object rp = risk_class(p_window, b_window, rate);
        const py::object rb = risk_class(b_window, b_window, rate);
        py::dict entry;
        entry[bind::name<"benchmark">()] = figures(rb, true);
        entry[bind::name<"portfolio">()] = figures(rp, false);
        result[py::str(key.data(), key.size())] = entry;
    }
    return py::object(result);
}

// The yield-curve tenors and the rate read from the curve.
void register_rates(py::module_& m) {
    py::list tenors;
    for (const meridan::risk::Tenor& t : meridan::risk::yield_curve_tenors()) {
        tenors.append(py::make_tuple(t.days, py::str(t.label.data(), t.label.size())));
    }
    m.attr("YIELD_CURVE_TENORS") = tenors;
    bind::def_function(
        m, Signature{"get_risk_free_rate", {"start_date", "end_date"}, {}}, kRateDoc,
        bind::named<2>([m](const py::object& start_date, const py::object& end_date) {
            return risk_free_rate_between(m, start_date, end_date);
        }));
}

void register_analysis(py::module_& m) {
    bind::def_function(
        m, Signature{"risk_analysis", {"portfolio_series", "benchmark"}, {}},
        kAnalysisDoc,
        bind::named<2>(
            [m](const py::object& portfolio_series, const py::object& benchmark) {
                return risk_analysis(m, portfolio_series, benchmark);
            }));
}

}  // namespace

PYBIND11_MODULE(risk, m) {
    m.doc() =
        "Risk-free rate from the yield curve and risk figures over standard periods.";
    m.attr("pd") = bind::pandas();
    m.attr("np") = py::module_::import("numpy");
    m.attr("tickvane") = py::module_::import("tickvane");
    m.attr("perilon") = py::module_::import("perilon");
    bind::prepare_numpy();
    register_rates(m);
    register_analysis(m);
}
