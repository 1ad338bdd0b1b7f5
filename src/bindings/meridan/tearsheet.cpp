// meridan.tearsheet: the figures of a tearsheet page from a portfolio's value series
// (the underwater curve, the worst drawdowns, monthly and yearly returns) and from its
// daily returns against a benchmark's (volatility, beta and Sharpe ratio over a
// trailing window). The binding reads the Series, the core computes, and the results
// come back as pandas objects labelled by the caller's dates.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/float_series.hpp"
#include "common/named.hpp"
#include "common/numeric_arrays.hpp"
#include "common/numpy_interface.hpp"
#include "common/pyclass.hpp"
#include "meridan/analysis_inputs.hpp"
#include "meridan/series/alignment.hpp"
#include "meridan/tearsheet/drawdowns.hpp"
#include "meridan/tearsheet/monthly.hpp"
#include "meridan/tearsheet/rolling.hpp"

namespace py = pybind11;
namespace bind = meridan::bind;
namespace ts = meridan::tearsheet;
using meridan::analysis::repr_of;
using meridan::analysis::type_name;
using meridan::bind::Signature;

namespace {

// The labels of a value series as a DatetimeIndex (itself when it is one), so that
// dates taken from it keep the caller's unit and time zone.
py::object datetime_index(const py::object& index) {
    py::object cls = bind::pandas().attr("DatetimeIndex");
    if (py::isinstance(index, cls)) return index;
    return cls(index);
}

py::array_t<std::int64_t> positions(const std::vector<std::int64_t>& p) {
    return py::array_t<std::int64_t>(static_cast<py::ssize_t>(p.size()), p.data());
}

// A whole number given as an int (or anything with __index__, not a bool), at least
// `least`; TypeError or ValueError naming the argument otherwise.
std::size_t count_argument(const py::object& value, const char* what, long long least) {
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
        throw py::type_error(std::string(what) + " must be a whole number, got " +
                             repr_of(value) + " (" + type_name(value) + ")");
    }
    const long long n = py::int_(value).cast<long long>();
    if (n < least) {
        throw py::value_error(std::string(what) + " must be at least " +
                              std::to_string(least) + ", got " + std::to_string(n));
    }
    return static_cast<std::size_t>(n);
}

// A real number (int, float, numpy scalar, Decimal), finite; TypeError or ValueError
// naming the argument otherwise.
double real_argument(const py::object& value, const char* what) {
    const double x = PyBool_Check(value.ptr()) ? -1.0 : PyFloat_AsDouble(value.ptr());
    if (PyBool_Check(value.ptr()) || (x == -1.0 && PyErr_Occurred())) {
        PyErr_Clear();
        throw py::type_error(std::string(what) + " must be a number, got " +
                             repr_of(value) + " (" + type_name(value) + ")");
    }
    if (!std::isfinite(x)) {
        throw py::value_error(std::string(what) + " must be a finite number, got " +
                              py::str(value).cast<std::string>());
    }
    return x;
}

void check_series(const py::object& value, const char* what) {
    if (py::isinstance(value, bind::pandas().attr("Series"))) return;
    throw py::type_error(std::string(what) + " must be a pandas Series, got " +
                         type_name(value));
}

// The benchmark's returns on the rows of `index`, NaN where it has none. Labels that
// are all dates are matched by calendar day, a label with a time zone counting as its
// own wall-clock day as everywhere else, so that a zoned benchmark meets naive
// returns; other labels are matched as pandas' reindex matches them.
std::vector<double> benchmark_on(const py::object& index, const py::object& bench) {
    const py::object bench_index = bench.attr("index");
    const bind::FloatArray values = bind::float_values(bench);
    if (index.attr("equals")(bench_index).cast<bool>()) {
        const std::span<const double> v = bind::span_of(values);
        return {v.begin(), v.end()};
    }
    const std::vector<std::int64_t> days = bind::index_day_numbers(index);
    const std::vector<std::int64_t> bench_days = bind::index_day_numbers(bench_index);
    const auto dated = [](const std::vector<std::int64_t>& d) {
        return std::find(d.begin(), d.end(), bind::no_day) == d.end();
    };
    if (!dated(days) || !dated(bench_days)) {
        const bind::FloatArray by_label =
            bind::float_values(bench.attr("reindex")(index));
        const std::span<const double> v = bind::span_of(by_label);
        return {v.begin(), v.end()};
    }
    try {
        return meridan::series::reindex_fill(bench_days, bind::span_of(values), days,
                                             std::numeric_limits<double>::quiet_NaN());
    } catch (const std::invalid_argument&) {
        throw py::value_error(
            "benchmark_returns has a date more than once: each day's return must "
            "come once to be matched to the days of returns");
    }
}

constexpr const char* kUnderwaterDoc =
    "How far each day's value lies below the highest value so far: value / running\n"
    "maximum - 1 (0 on a new high, -0.2 at 20 % below it), a float64 Series on the\n"
    "index of `values` (a Series of the portfolio's value by date, ascending, every\n"
    "value finite and above 0). Refused: an empty series (meridan.EmptyInputError),\n"
    "labels that are not dates (TypeError), dates out of order or a value that is\n"
    "NaN, infinite or not above 0 (ValueError naming the date).";

constexpr const char* kWorstDoc =
    "The `top` deepest drawdowns of `values` (a Series of values by date, checked as\n"
    "underwater() checks it), deepest first, as a DataFrame indexed 0..k-1 with\n"
    "columns:\n"
    "start: the date of the peak the value falls from (the last day at that peak);\n"
    "trough: the date of the lowest value before it is back at the peak (the first\n"
    "    such day);\n"
    "recovery: the first date after the trough with the value at or above the peak,\n"
    "    NaT when it never gets back;\n"
    "length: trading days (rows of the series) from start to recovery, or to the last\n"
    "    date when not recovered, int64;\n"
    "depth: trough value / peak value - 1, a negative fraction.\n"
    "Drawdowns do not overlap: each runs from its peak to its recovery. Equal depths\n"
    "keep date order. A series that never falls gives an empty table with these\n"
    "columns. `top` is a whole number, at least 0.";

constexpr const char* kMonthlyDoc =
    "Monthly and yearly returns of `values` (a Series of values by date, checked as\n"
    "underwater() checks it) as a DataFrame indexed by year (int64, named \"year\")\n"
    "from the first date's year to the last's, with columns 1..12 (the months) and\n"
    "\"total\". A month's return is its last value over the last value before it\n"
    "began, minus 1; the first month is measured from the series' first value. A\n"
    "month without a value is NaN (the next month is measured from the last value\n"
    "before it, so the months of a year compound to its total). \"total\" is the\n"
    "year's last value over the last value before the year (the first year: the\n"
    "first value), minus 1. Returns are fractions.";

constexpr const char* kRollingDoc =
    "Risk figures of the daily `returns` (a Series of fractions) against\n"
    "`benchmark_returns` (a Series, aligned to the rows of `returns`: by calendar day\n"
    "when both are indexed by dates, a date with a time zone counting as its own\n"
    "day, and otherwise as benchmark_returns.reindex(returns.index) aligns it; a day\n"
    "or label it lacks is a missing day, a date it has twice is refused with\n"
    "ValueError) over the trailing `window` rows ending on each row, as a float64\n"
    "DataFrame indexed like `returns` with columns:\n"
    "volatility: std(r, ddof 1) * sqrt(A);\n"
    "beta: cov(r, b) / var(b), sample estimates;\n"
    "sharpe: mean(r - rf_d) / std(r - rf_d, ddof 1) * sqrt(A),\n"
    "with A = `annualization` (trading days a year) and rf_d = risk_free_rate / A\n"
    "(`risk_free_rate` annual, a fraction): the figures perilon.Risk gives for the\n"
    "window's rows. Within a window, a row where either return is missing is left\n"
    "out; a figure undefined for what remains (fewer than two rows, no variance) is\n"
    "NaN, as are all three for a window holding an infinite return. The first\n"
    "window - 1 rows are NaN. `window` is a whole number, at least 1.";

void register_drawdowns(py::module_& m) {
    bind::def_function(
        m, Signature{"underwater", {"values"}, {}}, kUnderwaterDoc,
        bind::named<1>([](const py::object& values) {
            const auto series = meridan::analysis::read_value_series(values, "values");
            const std::vector<double> depth =
                ts::underwater(bind::span_of(series.values));
            return bind::float_series(depth, series.index, values.attr("name"));
        }));

    bind::def_function(
        m, Signature{"worst_drawdowns", {"values", "top"}, {py::int_(5)}}, kWorstDoc,
        bind::named<2>([](const py::object& values, const py::object& top_given) {
            const auto series = meridan::analysis::read_value_series(values, "values");
            const std::size_t top = count_argument(top_given, "top", 0);
            const std::vector<ts::Drawdown> worst =
                ts::worst_drawdowns(bind::span_of(series.values), top);
            std::vector<std::int64_t> start, trough, recovery, length;
            std::vector<double> depth;
            std::vector<bool> recovered;
            for (const ts::Drawdown& d : worst) {
                start.push_back(static_cast<std::int64_t>(d.start));
                trough.push_back(static_cast<std::int64_t>(d.trough));
                recovery.push_back(static_cast<std::int64_t>(d.recovery.value_or(0)));
                recovered.push_back(d.recovery.has_value());
                length.push_back(static_cast<std::int64_t>(d.length));
                depth.push_back(d.depth);
            }
            const py::object dates = datetime_index(series.index);
            py::array_t<bool> mask(static_cast<py::ssize_t>(recovered.size()));
            for (std::size_t i = 0; i < recovered.size(); ++i)
                mask.mutable_data()[i] = recovered[i];
            py::dict columns;
            columns["start"] = dates.attr("take")(positions(start));
            columns["trough"] = dates.attr("take")(positions(trough));
            columns["recovery"] =
                dates.attr("take")(positions(recovery)).attr("where")(mask);
            columns["length"] = positions(length);
            columns["depth"] = py::array_t<double>(
                static_cast<py::ssize_t>(depth.size()), depth.data());
            py::object range = bind::pandas().attr("RangeIndex")(worst.size());
            return bind::pandas().attr("DataFrame")(columns, py::arg("index") = range);
        }));
}

void register_calendar(py::module_& m) {
    bind::def_function(
        m, Signature{"monthly_returns", {"values"}, {}}, kMonthlyDoc,
        bind::named<1>([](const py::object& values) {
            const auto series = meridan::analysis::read_value_series(values, "values");
            const ts::MonthlyTable table =
                ts::monthly_returns(series.days, bind::span_of(series.values));
            std::vector<std::int64_t> years(table.years);
            for (std::size_t i = 0; i < years.size(); ++i)
                years[i] = table.first_year + static_cast<std::int64_t>(i);
            py::module_ pd = bind::pandas();
            py::object index =
                pd.attr("Index")(positions(years), py::arg("name") = "year");
            py::list labels;
            for (int month = 1; month <= 12; ++month) labels.append(month);
            labels.append("total");
            py::object columns = pd.attr("Index")(labels, py::arg("dtype") = "object");
            return bind::float_frame(table.cells, table.years,
                                     ts::MonthlyTable::kColumns, index, columns);
        }));
}

void register_rolling(py::module_& m) {
    bind::def_function(
        m,
        Signature{"rolling_figures",
                  {"returns", "benchmark_returns", "risk_free_rate", "window",
                   "annualization"},
                  {py::float_(0.0), py::int_(122), py::int_(244)}},
        kRollingDoc,
        bind::named<5>(
            [](const py::object& returns, const py::object& benchmark_returns,
               const py::object& risk_free_rate, const py::object& window_given,
               const py::object& annualization) {
                check_series(returns, "returns");
                check_series(benchmark_returns, "benchmark_returns");
                const double rate = real_argument(risk_free_rate, "risk_free_rate");
                const std::size_t window = count_argument(window_given, "window", 1);
                const double periods = real_argument(annualization, "annualization");
                if (!(periods > 0.0)) {
                    throw py::value_error(
                        "annualization must be a positive number of days a year, got " +
                        py::str(annualization).cast<std::string>());
                }
                const py::object index = returns.attr("index");
                const bind::FloatArray r = bind::float_values(returns);
                const std::vector<double> b = benchmark_on(index, benchmark_returns);
                const ts::RollingFigures f =
                    ts::rolling_figures(bind::span_of(r), b, rate, window, periods);
                const std::size_t n = f.volatility.size();
                std::vector<double> cells(n * 3);
                for (std::size_t i = 0; i < n; ++i) {
                    cells[3 * i] = f.volatility[i];
                    cells[3 * i + 1] = f.beta[i];
                    cells[3 * i + 2] = f.sharpe[i];
                }
                py::list columns;
                for (const char* c : {"volatility", "beta", "sharpe"})
                    columns.append(c);
                return bind::float_frame(cells, n, 3, index, columns);
            }));
}

}  // namespace

PYBIND11_MODULE(tearsheet, m) {
    m.doc() =
        "Tearsheet figures: drawdowns, calendar returns and rolling risk figures.";
    meridan::bind::prepare_numpy();
    register_drawdowns(m);
    register_calendar(m);
    register_rolling(m);
}
