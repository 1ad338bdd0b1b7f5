// meridan.flows: a portfolio's value series with the money that went in and out of it,
// as units of a time-weighted unit value (so that flows are never taken for return),
// and the money-weighted return of the same flows. The rules live in the core
// (meridan/flows); this file reads the Series, words the refusals by date and builds
// the Series back.
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/float_series.hpp"
#include "common/named.hpp"
#include "common/numeric_arrays.hpp"
#include "common/pyclass.hpp"
#include "meridan/analysis_inputs.hpp"
#include "meridan/flows/money_weighted.hpp"
#include "meridan/flows/units.hpp"
#include "meridan/periods/period_base.hpp"

namespace py = pybind11;
namespace bind = meridan::bind;
namespace mf = meridan::flows;
using meridan::analysis::text_of;
using meridan::bind::Signature;
using meridan::periods::iso_day;

namespace {

using DatedValues = meridan::analysis::DatedSeries;

// Reads the Series `argument` of `what` (one of them: `item`): labels that are dates
// (TypeError naming the first that is not) and values that are finite (ValueError
// naming the date).
DatedValues read_dated(const py::object& series, const char* argument, const char* what,
                       const char* item) {
    const std::string name(argument);
    if (!py::isinstance(series, bind::pandas().attr("Series"))) {
        throw py::type_error(name + " must be a pandas Series of " + what +
                             " by date, got " + meridan::analysis::type_name(series));
    }
    DatedValues out{series.attr("index"), {}, bind::float_values(series)};
    out.days = bind::index_day_numbers(out.index);
    for (std::size_t i = 0; i < out.days.size(); ++i) {
        if (out.days[i] == bind::no_day) {
            throw py::type_error(name + " must be indexed by dates, but its label " +
                                 std::to_string(i) + " is " +
                                 meridan::analysis::not_a_date(out.index[py::int_(i)]) +
                                 " (convert the index with pandas.to_datetime)");
        }
    }
    const std::span<const double> v = out.span();
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (!std::isfinite(v[i])) {
            throw py::value_error(
                name + " has the " + item + " " + text_of(py::float_(v[i])) + " on " +
                iso_day(out.days[i]) + ": it must be a finite number");
        }
    }
    return out;
}

// The value series: dates ascending, each once (a flow is booked on one day).
DatedValues read_values(const py::object& series) {
    DatedValues out = read_dated(series, "values", "values", "value");
    for (std::size_t i = 1; i < out.days.size(); ++i) {
        if (out.days[i] <= out.days[i - 1]) {
            throw py::value_error(
                "values dates must be ascending, each once: " + iso_day(out.days[i]) +
                (out.days[i] == out.days[i - 1]
                     ? " appears twice"
                     : " follows " + iso_day(out.days[i - 1])));
        }
    }
    return out;
}

// The net flow of each day of `values`: `flows` (None for none) added onto the days
// of its dates, each of which must be a day of `values`.
std::vector<double> daily_flows(const DatedValues& values, const py::object& flows) {
    std::vector<double> daily(values.days.size(), 0.0);
    if (flows.is_none()) return daily;
    const DatedValues given = read_dated(flows, "flows", "flows", "flow");
    if (const auto i = mf::flows_by_day(values.days, given.days, given.span(), daily)) {
        throw py::value_error(
            "flows has the flow " + text_of(py::float_(given.span()[*i])) + " on " +
            iso_day(given.days[*i]) +
            ", a date that values does not have: put a flow on the trading day it "
            "counts on");
    }
    return daily;
}

// The value series (not empty: it has an opening value) and each of its days' net
// flow, for the money-weighted figures.
std::pair<DatedValues, std::vector<double>> money_flows(const py::object& given,
                                                        const py::object& flows) {
    DatedValues values = read_values(given);
    if (values.days.empty())
        meridan::analysis::refuse_empty("values is empty: it has no opening value");
    std::vector<double> daily = daily_flows(values, flows);
    return {std::move(values), std::move(daily)};
}

// "deposit of 10.0" / "withdrawal of 10.0".
std::string flow_words(double flow) {
    return (flow < 0 ? "withdrawal of " : "deposit of ") +
           text_of(py::float_(flow < 0 ? -flow : flow));
}

// The ValueError for a value below 0, naming its date: the most an account can lose
// is everything in it.
[[noreturn]] void refuse_negative(const mf::NegativeValueError& e,
                                  const DatedValues& values) {
    const std::string value = text_of(py::float_(e.value));
    const std::string on = iso_day(values.days[e.day]);
    throw py::value_error(
        (e.day == 0 ? "values opens with " + value + " on " + on
                    : "values has the value " + value + " on " + on) +
        ": a portfolio's value cannot be negative (0 is everything withdrawn)");
}

// The ValueError for a flow the core could not turn into units, naming its date and
// the amounts involved.
[[noreturn]] void refuse_flow(const mf::UnitError& e, const DatedValues& values) {
    const std::string on = iso_day(values.days[e.day]);
    if (e.day == 0) {
        throw py::value_error("values opens with " + text_of(py::float_(e.flow)) +
                              " on " + on +
                              ": the opening value buys the first units and "
                              "cannot be negative");
    }
    const std::string before = iso_day(values.days[e.day - 1]);
    const std::string worth = text_of(py::float_(values.span()[e.day - 1]));
    switch (e.fault) {
        case mf::UnitFault::over_redeemed:
            if (e.units_before == 0.0) {
                throw py::value_error("the " + flow_words(e.flow) + " on " + on +
                                      " takes out money the portfolio does not hold: "
                                      "it held nothing after " +
                                      before);
            }
            throw py::value_error("the " + flow_words(e.flow) + " on " + on +
                                  " is more than the portfolio was worth at the close "
                                  "of " +
                                  before + " (" + worth + ")");
        case mf::UnitFault::worthless:
            throw py::value_error(
                "the " + flow_words(e.flow) + " on " + on +
                " cannot be counted in units: the portfolio was worth " + worth +
                " at the close of " + before + ", so a unit had no value to trade at");
        case mf::UnitFault::not_finite:
            break;
    }
    throw py::value_error("the flow " + text_of(py::float_(e.flow)) + " on " + on +
                          " is not a finite number");
}

constexpr const char* kModuleDoc =
    "Deposits and withdrawals of a portfolio: units of a time-weighted unit value, "
    "and\n"
    "the money-weighted return.";

constexpr const char* kUnitValuesDoc =
    "The units outstanding and the unit value of a portfolio day by day, so that "
    "money\n"
    "put in or taken out is never counted as return.\n\n"
    "values: the portfolio's value at each day's close, after that day's flows (a\n"
    "pandas Series of floats on ascending dates, each date once). flows: the net "
    "money\n"
    "put in (positive) or taken out (negative) by date, a Series whose dates must all\n"
    "be dates of `values` (move a flow on a day without trading to the next trading\n"
    "day first); several flows on one date add up. None: no flows.\n\n"
    "The first value is the opening value: it buys units at 1.0 (flows dated on the\n"
    "first day are already in it). Each later flow buys units, or redeems them when\n"
    "negative, at the unit value of the close of the day before; the unit value of a\n"
    "day is its value divided by the units then outstanding. While no units are held\n"
    "(from an opening value of 0 to the first deposit, or after everything was\n"
    "withdrawn: a withdrawal that leaves less than a billionth of the units counts as\n"
    "everything) there is no unit value (NaN); the next deposit buys at the last unit\n"
    "value there was (1.0 if none). A withdrawal that leaves a value of 0 at the "
    "close\n"
    "but is worth more or less than the close before (everything sold that day and\n"
    "taken out) redeems every unit at the day's close instead, the withdrawal over "
    "the\n"
    "units held, which is that day's unit value and the last there was.\n\n"
    "Returns (units, unit_value), two float64 Series on the index of `values`, named\n"
    "\"units\" and \"unit_value\". Refused: an argument that is not a Series or has "
    "labels\n"
    "that are not dates (TypeError); a value or flow that is NaN or infinite, dates "
    "of\n"
    "`values` out of order or repeated, a flow on a date `values` does not have, a\n"
    "withdrawal of more than the portfolio was worth that leaves something in it, a\n"
    "flow when the portfolio was\n"
    "worth nothing at the close before it, a value below 0, the opening value\n"
    "included (ValueError naming the date and the amounts).";

constexpr const char* kMoneyWeightedDoc =
    "The money-weighted return of a portfolio: the rate at which the money put in and\n"
    "the value at the end balance, timing of the flows included.\n\n"
    "values and flows as for unit_values. The opening value values.iloc[0] goes in on\n"
    "the first date (its own day's flows are already in it), each later date's flows\n"
    "at their date, and the last value comes out on the last date; time counts in\n"
    "calendar days over the dates the money was in (invested_window: from the first\n"
    "date money is in to the last, or to the date the account was emptied when it\n"
    "stays empty to the end), and the span is the days from the one to the other.\n"
    "The annual rate r in (-1, 10) at which these amounts, discounted by\n"
    "(1 + r) ** (days / 365), sum to 0 is returned for a span of 365 days or more;\n"
    "for a shorter span, the return over the span, (1 + r) ** (days / 365) - 1, since\n"
    "annualising a few weeks magnifies them; where that annual rate would lie beyond\n"
    "10 (a day's 1 %, a week's 5 %) and the amounts change sign once, the return over\n"
    "the span is sought directly, in (-1, 10). A fraction (0.05 is 5 %). NaN when no\n"
    "rate, or more than one, balances the amounts (money only ever went in, say), or\n"
    "when there are fewer than two amounts that are not 0. Refused as for "
    "unit_values,\n"
    "but for the flows it could not count in units (a withdrawal of more than the\n"
    "portfolio was worth, a flow into a portfolio worth nothing); an empty `values`\n"
    "raises meridan.EmptyInputError (a ValueError and an IndexError).";

constexpr const char* kInvestedWindowDoc =
    "The first and last dates the money was in, which money_weighted_return counts\n"
    "its span between: the first date of `values`, or with an opening value of 0 the\n"
    "date of the first flow; the last date of `values`, or the date the account was\n"
    "emptied (a withdrawal of everything, or a loss of it) when it stays empty, with\n"
    "no flow, to the end.\n\n"
    "values and flows as for unit_values. Returns a tuple of two labels of `values`.\n"
    "Refused as for money_weighted_return.";

}  // namespace

PYBIND11_MODULE(flows, m) {
    m.doc() = kModuleDoc;

    bind::def_function(
        m, Signature{"unit_values", {"values", "flows"}, {py::none()}}, kUnitValuesDoc,
        bind::named<2>([](const py::object& given, const py::object& flows) {
            const DatedValues values = read_values(given);
            const std::vector<double> daily = daily_flows(values, flows);
            const std::size_t n = values.days.size();
            std::vector<double> units(n), unit_value(n);
            try {
                mf::unit_values_from_opening(values.span(), daily, units, unit_value);
            } catch (const mf::NegativeValueError& e) {
                refuse_negative(e, values);
            } catch (const mf::UnitError& e) {
                refuse_flow(e, values);
            }
            return py::object(py::make_tuple(
                bind::float_series(units, values.index, py::str("units")),
                bind::float_series(unit_value, values.index, py::str("unit_value"))));
        }));

    bind::def_function(
        m, Signature{"money_weighted_return", {"values", "flows"}, {py::none()}},
        kMoneyWeightedDoc,
        bind::named<2>([](const py::object& given, const py::object& flows) {
            const auto [values, daily] = money_flows(given, flows);
            double r;
            try {
                // Many flows make the search for every rate take a while.
                py::gil_scoped_release release;
                r = mf::money_weighted_return(values.days, values.span(), daily);
            } catch (const mf::NegativeValueError& e) {
                refuse_negative(e, values);
            }
            return py::object(py::float_(r));
        }));

    bind::def_function(
        m, Signature{"invested_window", {"values", "flows"}, {py::none()}},
        kInvestedWindowDoc,
        bind::named<2>([](const py::object& given, const py::object& flows) {
            const auto [values, daily] = money_flows(given, flows);
            try {
                mf::refuse_negative_values(values.span());
            } catch (const mf::NegativeValueError& e) {
                refuse_negative(e, values);
            }
            const auto [first, last] = mf::invested_range(values.span(), daily);
            return py::object(py::make_tuple(values.index[py::int_(first)],
                                             values.index[py::int_(last)]));
        }));
}
