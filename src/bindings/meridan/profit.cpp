// meridan.profit: the portfolio's and the benchmark's returns over the standard
// periods ending on the portfolio's last date, and both cumulative return curves day
// by day. The benchmark is an index whose closes come from the market-data client,
// or a ready-made value series.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/float_series.hpp"
#include "common/globals.hpp"
#include "common/named.hpp"
#include "common/numpy_interface.hpp"
#include "common/pyclass.hpp"
#include "meridan/analysis_inputs.hpp"
#include "meridan/dates/civil.hpp"
#include "meridan/periods/period_base.hpp"
#include "meridan/profit/profit_summary.hpp"
#include "meridan/series/alignment.hpp"
#include "meridan/series/changes.hpp"
#include "meridan/series/label_slice.hpp"

namespace py = pybind11;
namespace bind = meridan::bind;
using meridan::bind::Signature;

namespace {

using meridan::analysis::DatedSeries;

// Reads `series`; its labels must all be dates, in ascending order, since periods
// are label slices from a base date.
DatedSeries read_series(const py::object& series, const char* what) {
    py::object index = series.attr("index");
    DatedSeries out{index, bind::index_day_numbers(index), bind::float_values(series)};
    for (std::size_t i = 0; i < out.days.size(); ++i) {
        if (out.days[i] == bind::no_day) {
            throw py::type_error(std::string(what) +
                                 " has a label that is not a date: " +
                                 py::repr(index[py::int_(i)]).cast<std::string>());
        }
    }
    if (!meridan::series::is_ascending(out.days))
        throw py::value_error(std::string(what) + " is not in ascending date order");
    return out;
}

// A value series given by the caller: refused unless its values can be divided by
// and its labels are dates in order, each once, as its alignment by date needs (see
// read_value_series).
DatedSeries read_value_series(const py::object& series, const char* what) {
    meridan::analysis::ValueSeries v =
        meridan::analysis::read_value_series(series, what, true);
    return {std::move(v.index), std::move(v.days), std::move(v.values)};
}

// The day the market-data client answered for a previous trading date; None (no
// trading date before the calendar) slices the whole series, as `s[None:]` does.
std::optional<std::int64_t> answered_day(const py::object& date) {
    if (date.is_none()) return std::nullopt;
    const auto day = bind::day_number(date);
    if (!day) {
        throw py::type_error(
            "get_previous_trading_date answered a value that is not a "
            "date: " +
            py::repr(date).cast<std::string>());
    }
    return day;
}

// "YYYY-MM-DD" of each day, written digit by digit: the detail of a long series has
// thousands of dates.
py::list date_texts(std::span<const std::int64_t> days) {
    py::list out(days.size());
    for (std::size_t i = 0; i < days.size(); ++i) {
        const meridan::dates::CivilDay c = meridan::dates::civil_from_days(days[i]);
        if (c.year < 0 || c.year > 9999) {
            out[i] = py::str(meridan::periods::iso_day(days[i]));
            continue;
        }
        char text[10];
        auto digits = [&text](int value, int at, int width) {
            for (int k = at + width - 1; k >= at; --k, value /= 10)
                text[k] = static_cast<char>('0' + value % 10);
        };
        digits(c.year, 0, 4);
        text[4] = '-';
        digits(c.month, 5, 2);
        text[7] = '-';
        digits(c.day, 8, 2);
        PyObject* s = PyUnicode_FromStringAndSize(text, 10);
        if (!s) throw py::error_already_set();
        PyList_SET_ITEM(out.ptr(), static_cast<py::ssize_t>(i), s);
    }
    return out;
}

constexpr const char* kDoc =
    "Returns of a portfolio value series and of its benchmark over standard periods,\n"
    "and both cumulative return curves, as fractions (0.05 is 5 %).\n\n"
    "portfolio_series: the portfolio's value by date (pandas Series on ascending\n"
    "Timestamps; only ratios of values are used). benchmark: an index order book id,\n"
    "whose unadjusted daily closes from the series' first to its last date are "
    "fetched;\n"
    "the portfolio is then put on the index's trading dates (a missing day takes the\n"
    "latest earlier value, non-trading days drop out). With benchmark None,\n"
    "benchmark_series (any values proportional to the benchmark's prices, by date) is\n"
    "used as given and neither series is aligned to the other.\n\n"
    "Returns {\"summary\": {period: [portfolio, benchmark]}, \"detail\": {\"date\": "
    "[...],\n"
    "\"portfolio\": [...], \"benchmark\": [...]}}. Periods end on the portfolio's "
    "last\n"
    "date: \"one_month\", \"three_month\", \"six_month\" and \"one_year\" measure from "
    "the\n"
    "first value on or after the same calendar day 1, 3, 6 or 12 months earlier;\n"
    "\"this_month\" and \"this_year\" from the value of the last trading day before "
    "the\n"
    "month or the year began (from the first value when that day precedes the "
    "series);\n"
    "\"total\" from the first value; \"annualized_total\" (only for spans over 365 "
    "days)\n"
    "is the total return compounded to 365 days. The detail gives each date as\n"
    "\"YYYY-MM-DD\" and each day's return since the first value (so the first is "
    "0.0).\n"
    "Refused before any request: a series that is not a pandas Series (TypeError), an\n"
    "empty one (meridan.EmptyInputError, a ValueError and an IndexError), one with\n"
    "labels that are not dates (numbers, say: TypeError), dates out of order or\n"
    "repeated, or a value that is NaN, infinite or not above 0 (ValueError naming the\n"
    "first such date); a benchmark that is neither text nor None (TypeError). Date\n"
    "labels may\n"
    "be text (\"2017-03-01\"); labels with a time zone count as their own calendar\n"
    "days.";

// The module function profit_analysis (see kDoc).
py::object profit_analysis(py::handle m, const py::object& portfolio_series,
                           const py::object& benchmark,
                           const py::object& benchmark_series) {
    DatedSeries given = read_value_series(portfolio_series, "portfolio_series");
    const py::object& index = given.index;
    if (!benchmark.is_none() && !py::isinstance<py::str>(benchmark)) {
        throw py::type_error(
            "benchmark must be the order book id of an index (text such as "
            "'000300.XSHG') or None, got " +
            meridan::analysis::repr_of(benchmark));
    }
    // A given benchmark series is checked before any request too.
    DatedSeries bench;
    if (benchmark.is_none()) {
        if (benchmark_series.is_none()) {
            throw py::type_error(
                "profit_analysis() needs benchmark_series when benchmark is None");
        }
        bench = read_value_series(benchmark_series, "benchmark_series");
    }
    const py::object start_date = meridan::analysis::label_date(index[py::int_(0)]);
    const py::object end_date = meridan::analysis::label_date(index[py::int_(-1)]);
    const std::int64_t end_day = given.days.back();

    DatedSeries aligned;  // the portfolio on the benchmark's dates
    const DatedSeries* portfolio = &given;
    if (!benchmark.is_none()) {
        py::object closes = bind::service(m, "get_price")(
            benchmark, start_date, end_date, py::arg("fields") = "ClosingPx",
            py::arg("adjust_type") = "none");
        if (closes.is_none()) {
            throw py::value_error("no closes of benchmark " +
                                  py::repr(benchmark).cast<std::string>() + " from " +
                                  py::str(start_date).cast<std::string>() + " to " +
                                  py::str(end_date).cast<std::string>());
        }
        bench = read_series(closes, "benchmark closes");
        std::vector<double> values;
        try {
            values =
                meridan::series::reindex_ffill(given.days, given.span(), bench.days);
        } catch (const std::invalid_argument& e) {
            throw py::value_error(e.what());
        }
        aligned.days = bench.days;
        aligned.values =
            bind::FloatArray(static_cast<py::ssize_t>(values.size()), values.data());
        portfolio = &aligned;
    }
    if (bench.days.empty()) throw py::index_error("the benchmark series is empty");

    const std::int64_t span_days =
        meridan::analysis::whole_days_between(start_date, end_date)
            .cast<std::int64_t>();
    // The last trading day before the month and before the year began, asked
    // once for each series.
    py::object previous = bind::service(m, "get_previous_trading_date");
    py::object month_start = end_date.attr("replace")(py::arg("day") = 1);
    meridan::profit::CalendarBases bases;
    bases.month_portfolio = answered_day(previous(month_start));
    bases.month_benchmark = answered_day(previous(month_start));
    py::object year_start =
        end_date.attr("replace")(py::arg("month") = 1, py::arg("day") = 1);
    bases.year_portfolio = answered_day(previous(year_start));
    bases.year_benchmark = answered_day(previous(year_start));

    std::vector<meridan::profit::SummaryRow> rows;
    try {
        rows = meridan::profit::profit_summary({portfolio->days, portfolio->span()},
                                               {bench.days, bench.span()}, end_day,
                                               bases, span_days);
    } catch (const std::out_of_range& e) {
        throw py::index_error(e.what());
    }
    py::dict summary;
    for (const auto& row : rows) {
        summary[row.key] =
            bind::float_list(std::vector<double>{row.portfolio, row.benchmark});
    }
    py::dict detail;
    detail["date"] = date_texts(portfolio->days);
    detail["portfolio"] =
        bind::float_list(meridan::series::changes_since_first(portfolio->span()));
    detail["benchmark"] =
        bind::float_list(meridan::series::changes_since_first(bench.span()));
    py::dict result;
    result["summary"] = summary;
    result["detail"] = detail;
    return py::object(result);
}

}  // namespace

PYBIND11_MODULE(profit, m) {
    m.doc() =
        "Profit-and-loss analysis of a portfolio value series against a benchmark.";
    m.attr("relativedelta") =
        py::module_::import("dateutil.relativedelta").attr("relativedelta");
    m.attr("tickvane") = py::module_::import("tickvane");
    meridan::bind::prepare_numpy();

    bind::def_function(
        m,
        Signature{"profit_analysis",
                  {"portfolio_series", "benchmark", "benchmark_series"},
                  {py::none()}},
        kDoc,
        bind::named<3>([m = py::handle(m)](const py::object& portfolio_series,
                                           const py::object& benchmark,
                                           const py::object& benchmark_series) {
            return profit_analysis(m, portfolio_series, benchmark, benchmark_series);
        }));
}
