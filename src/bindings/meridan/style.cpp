// meridan.style: the portfolio's daily returns explained by the daily returns of the
// ten style factors, through least-squares regressions over up to three expanding
// windows from the series' first date.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/convert.hpp"
#include "common/float_series.hpp"
#include "common/globals.hpp"
#include "common/named.hpp"
#include "common/numpy_interface.hpp"
#include "common/positional_only.hpp"
#include "meridan/analysis_inputs.hpp"
#include "meridan/periods/period_base.hpp"
#include "meridan/periods/style_windows.hpp"
#include "meridan/series/alignment.hpp"
#include "meridan/series/changes.hpp"
#include "meridan/series/label_slice.hpp"

namespace py = pybind11;
namespace bind = meridan::bind;

namespace {

// Factor names and their display labels, in the order the service lists them.
constexpr std::pair<const char*, const char*> kTranslation[] = {
    {"beta", "贝塔"},       {"growth", "成长性"}, {"liquidity", "流动性"},
    {"leverage", "杠杆率"}, {"momentum", "动量"}, {"reversal", "反转"},
    {"size", "市值"},       {"yield", "盈利性"},  {"volatility", "波动率"},
    {"value", "价值"},
};

// Calendar days of every label, refusing labels that name no day.
std::vector<std::int64_t> label_days(const py::object& index, const char* what) {
    std::vector<std::int64_t> days = bind::index_day_numbers(index);
    for (std::size_t i = 0; i < days.size(); ++i) {
        if (days[i] == bind::no_day) {
            throw py::type_error(std::string(what) +
                                 " has a label that is not a date: " +
                                 py::repr(index[py::int_(i)]).cast<std::string>());
        }
    }
    return days;
}

std::int64_t day_of(const py::object& date) {
    const auto day = bind::day_number(date);
    if (!day) throw py::type_error("not a date: " + py::repr(date).cast<std::string>());
    return *day;
}

// A fitted parameter Series without its first entry, the constant, as floats.
py::list without_constant(const py::object& values) {
    const bind::FloatArray array = bind::float_values(values);
    const std::span<const double> all = bind::span_of(array);
    return bind::float_list(all.empty() ? all : all.subspan(1));
}

py::slice positions(const meridan::series::PositionRange& r) {
    return py::slice(static_cast<py::ssize_t>(r.begin), static_cast<py::ssize_t>(r.end),
                     1);
}

constexpr const char* kDoc =
    "Least-squares regressions of a portfolio's daily returns on the daily returns of\n"
    "the ten style factors, over up to three windows that all start on the series'\n"
    "first date.\n\n"
    "portfolio_series: the portfolio's value by date (pandas Series on ascending\n"
    "Timestamps). Daily returns are its changes with missing values padded, the first\n"
    "set to 0, then put on the factor calendar (a trading day the series lacks counts\n"
    "as 0.0, other dates drop out). Windows end at steps of 3 months (spans up to 365\n"
    "days), 6 months (up to 1095 days) or 1 year, counted back from the last date\n"
    "(spans over 270, 547.5 and 1095 days) or forward from the first date; an end "
    "past\n"
    "the last date is cut to it and is the last window.\n\n"
    "Returns a dict: for each window, keyed by its end date as \"YYYY-MM-DD\", the\n"
    "factor coefficients (the constant left out) in the factor table's column order;\n"
    "\"style\": the factors' display labels (TRANSLATION) in that order;\n"
    "\"latest_tvalues\": the t-statistics of the last window's coefficients.\n\n"
    "Refused before any request: a series that is not a pandas Series (TypeError), an\n"
    "empty one (meridan.EmptyInputError, a ValueError and an IndexError), one with\n"
    "labels that are not dates (numbers, say: TypeError), dates out of order or\n"
    "repeated, or a value that is NaN, infinite or not above 0 (ValueError naming the\n"
    "first such date). Date labels may be text (\"2017-03-01\"); labels with a time "
    "zone count\n"
    "as their own calendar days.";

// The module function style_analysis (see kDoc).
py::object style_analysis(py::handle m, const py::object& portfolio_series) {
    const meridan::analysis::ValueSeries given = meridan::analysis::read_value_series(
        portfolio_series, "portfolio_series", true);
    // Changes on the series as passed in, before it meets the factor calendar.
    std::vector<double> returns =
        meridan::series::pad_filled_changes(bind::span_of(given.values));
    returns[0] = 0.0;
    const py::object& start_date = given.first;
    const py::object& end_date = given.last;
    const std::vector<std::int64_t>& days = given.days;

    py::object factors = bind::service(m, "get_factor_return")(start_date, end_date);
    if (factors.is_none()) {
        throw py::value_error("no factor returns from " +
                              py::str(start_date).cast<std::string>() + " to " +
                              py::str(end_date).cast<std::string>());
    }
    py::object factor_index = factors.attr("index");
    const std::vector<std::int64_t> factor_days =
        label_days(factor_index, "factor returns");
    if (!meridan::series::is_ascending(factor_days))
        throw py::value_error("factor returns are not in ascending date order");
    std::vector<double> aligned;
    try {
        aligned = meridan::series::reindex_fill(days, returns, factor_days, 0.0);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(std::string("portfolio_series: ") + e.what());
    }
    py::object dependent = bind::pandas().attr("Series")(
        bind::FloatArray(static_cast<py::ssize_t>(aligned.size()), aligned.data()),
        py::arg("index") = factor_index,
        py::arg("name") = portfolio_series.attr("name"));

    // Window ends by calendar months through relativedelta, so an end keeps
    // the anchor date's form; which of them run is decided on calendar days.
    const std::int64_t span_days =
        meridan::analysis::whole_days_between(start_date, end_date)
            .cast<std::int64_t>();
    const meridan::periods::StyleStep step = meridan::periods::style_step(span_days);
    py::object relativedelta = bind::global(m, "relativedelta");
    py::object delta = step.months == 12
                           ? relativedelta(py::arg("years") = 1)
                           : relativedelta(py::arg("months") = step.months);
    std::vector<std::int64_t> candidates;
    for (int k : meridan::periods::style_end_multiples(step)) {
        py::object e = k < 0    ? end_date - delta * py::int_(-k)
                       : k == 0 ? end_date
                                : start_date + delta * py::int_(k);
        candidates.push_back(day_of(e));
    }
    const std::int64_t start_day = days.front();
    const std::int64_t end_day = days.back();

    py::object sm = bind::global(m, "sm");
    py::object add_constant = sm.attr("add_constant");
    py::object ols = sm.attr("OLS");
    py::object rows = factors.attr("iloc");
    py::object dependent_rows = dependent.attr("iloc");
    py::dict result;
    py::object fitted;
    for (std::int64_t end : meridan::periods::style_window_ends(candidates, end_day)) {
        const auto window = meridan::series::label_slice(factor_days, start_day, end);
        py::object regressors =
            add_constant(rows[positions(window)], py::arg("has_constant") = "add");
        fitted = ols(dependent_rows[positions(window)], regressors).attr("fit")();
        result[py::str(meridan::periods::iso_day(end))] =
            without_constant(fitted.attr("params"));
    }
    py::object labels = bind::global(m, "TRANSLATION");
    py::list style;
    for (py::handle column : factors.attr("columns")) style.append(labels[column]);
    result["style"] = style;
    result["latest_tvalues"] = without_constant(fitted.attr("tvalues"));
    return py::object(result);
}

}  // namespace

PYBIND11_MODULE(style, m) {
    m.doc() =
        "Style regression of a portfolio value series on the style-factor returns.";
    py::dict translation;
    for (const auto& [name, label] : kTranslation) translation[name] = py::str(label);
    m.attr("TRANSLATION") = translation;
    m.attr("sm") = py::module_::import("statsmodels.api");
    meridan::bind::prepare_numpy();
    m.attr("relativedelta") =
        py::module_::import("dateutil.relativedelta").attr("relativedelta");
    m.attr("tickvane") = py::module_::import("tickvane");

    bind::def_single_argument_function(
        m, "style_analysis", "portfolio_series", kDoc,
        bind::named<1>([m = py::handle(m)](const py::object& portfolio_series) {
            return style_analysis(m, portfolio_series);
        }));
}
