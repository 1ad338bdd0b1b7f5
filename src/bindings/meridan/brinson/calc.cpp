// meridan.brinson.calc: Brinson attribution of a portfolio series against a
// benchmark. The snapshots are read once into plain arrays (instruments and sectors
// as integer codes); the caller's objects are asked what the attribution needs in
// the order the behaviour requires (the provider's splits per date, one change-rate
// request per period or benchmark run, two classifier calls per instrument and
// grouping, the benchmark's constituents for every date) and the pandas results are
// built back. Every rule (periods, runs, grouping, linking, effects) is the core's,
// in meridan/brinson; the reading is in reading.hpp.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/globals.hpp"
#include "common/named.hpp"
#include "common/numpy_interface.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"
#include "meridan/analysis_inputs.hpp"
#include "meridan/brinson/effects.hpp"
#include "meridan/brinson/linking.hpp"
#include "meridan/brinson/period_splitting.hpp"
#include "meridan/brinson/reading.hpp"
#include "meridan/brinson/sector_table.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;
namespace rd = meridan::bind::brinson;
namespace core = meridan::brinson;
namespace check = meridan::analysis;

namespace {

using rd::classify_twice;
using rd::Holdings;
using rd::periods_of;
using rd::read_benchmark_period;
using rd::read_portfolio_period;

constexpr const char* kCash = "现金";
constexpr const char* kColumns[core::kTableColumns] = {
    "PortfolioWeight", "BenchmarkWeight",  "WeightDifference", "PortfolioReturn",
    "BenchmarkReturn", "ReturnDifference", "Allocation",       "Selection",
    "Interaction",     "TotalActiveReturn"};

// A table's rows with their labels: "现金" and the classifier's sectors.
struct Table {
    py::list labels;
    core::SectorRows rows;
};
Table sector_rows(py::handle classifier, rd::Codes& sectors) {
    py::list labels;
    labels.append(py::str(kCash));
    for (py::handle s : mb::call_method<"all_sectors">(classifier)) labels.append(s);
    std::vector<int> codes;
    for (py::handle l : labels) codes.push_back(sectors.sector(l));
    return {labels, core::SectorRows(std::move(codes))};
}

core::SectorResult on_table(const Holdings& h, const Table& t, rd::Codes& sectors) {
    std::optional<core::CashRow> cash;
    if (h.cash) cash = core::CashRow{sectors.code(py::str(kCash)), *h.cash};
    return core::on_rows(t.rows, h.weight, h.ret, h.weight_sector, h.return_sector,
                         cash);
}

py::object result_pair(const core::SectorResult& r, const py::list& labels,
                       py::handle weight_name = py::none()) {
    return py::make_tuple(rd::float_series(r.weight, labels, weight_name),
                          rd::float_series(r.ret, labels));
}

// A period's (weight, return) Series in pandas' group order, then cash for a
// portfolio; the weights keep their Series' name, as groupby's sum does.
py::object sorted_result(const Holdings& h, rd::Codes& sectors) {
    auto less = [&](int a, int b) {
        const int r = PyObject_RichCompareBool(sectors.label(a).ptr(),
                                               sectors.label(b).ptr(), Py_LT);
        if (r < 0) throw py::error_already_set();
        return r == 1;
    };
    std::optional<int> cash;
    if (h.cash) cash = sectors.code(py::str(kCash));
    std::vector<int> order =
        core::group_order(h.weight_sector, h.return_sector, less, cash);
    const Table t{sectors.labels_of(order), core::SectorRows(order)};
    return result_pair(on_table(h, t, sectors), t.labels, h.weight_name);
}

// The benchmark over `dates`: runs of unchanged constituents linked, normalised and
// rescaled to the benchmark's own change from the first date to the last.
std::pair<core::SectorResult, Table> benchmark_result(
    const py::module_& m, py::handle benchmark, const std::vector<py::object>& dates,
    py::handle classifier, rd::Codes& ids, rd::Codes& sectors) {
    std::vector<Holdings> runs;
    std::vector<double> lengths;
    for (const core::Run& run : rd::constituent_runs(benchmark, dates)) {
        runs.push_back(read_benchmark_period(m, benchmark, dates[run.first],
                                             dates[run.first + run.length - 1], ids));
        classify_twice(runs.back(), classifier, ids, sectors);
        lengths.push_back(static_cast<double>(run.length));
    }
    Table t = sector_rows(classifier, sectors);
    std::vector<core::SectorResult> on_rows;
    for (const Holdings& h : runs) on_rows.push_back(on_table(h, t, sectors));
    const double actual = rd::as_double(
        mb::call_method<"get_change_rate">(benchmark, dates.front(), dates.back()));
    return {core::linked_total(on_rows, lengths, actual), std::move(t)};
}

py::object calc_table(const py::module_& m, py::handle portfolio_series,
                      py::handle benchmark, py::handle classifier,
                      py::handle start_date, py::handle end_date, py::handle md,
                      py::handle method) {
    rd::Codes ids, sectors;
    const rd::Series s =
        rd::checked_range(m, ids, portfolio_series, benchmark, start_date, end_date);
    std::vector<Holdings> periods;
    std::vector<double> lengths;
    for (const core::Period& p : periods_of(s, ids, md)) {
        periods.push_back(
            read_portfolio_period(m, s, p.first, p.first + p.length - 1, ids));
        classify_twice(periods.back(), classifier, ids, sectors);
        periods.back().cash = s.plain.cash[p.first] / s.plain.market_value[p.first];
        lengths.push_back(static_cast<double>(p.length));
    }
    const double actual =
        s.plain.market_value.back() / s.plain.market_value.front() - 1.0;
    const Table t = sector_rows(classifier, sectors);
    std::vector<core::SectorResult> on_rows;
    for (const Holdings& h : periods) on_rows.push_back(on_table(h, t, sectors));
    const core::SectorResult portfolio = core::linked_total(on_rows, lengths, actual);
    // The benchmark's rows come from a second all_sectors() call; a classifier that
    // answers differently is read by label onto the first list.
    auto [bench, bench_table] =
        benchmark_result(m, benchmark, s.dates, classifier, ids, sectors);
    const core::Method how =
        mb::equal(method, "BHB") ? core::Method::BHB : core::Method::BrinsonFachler;
    py::list rows(t.labels);
    rows.append(py::str("总计"));
    py::list columns;
    for (const char* c : kColumns) columns.append(c);
    const core::SectorResult b = core::realigned(bench, bench_table.rows, t.rows);
    return rd::float_frame(
        core::attribution_table(portfolio.weight, b.weight, portfolio.ret, b.ret, how),
        rows, columns);
}

// Single-period results linked onto the rows `sectors` (see combine).
py::object combine_results(py::handle results, py::handle sectors) {
    rd::Codes codes;
    const py::list labels(py::reinterpret_borrow<py::object>(sectors));
    std::vector<int> row_codes;
    for (py::handle l : labels) row_codes.push_back(codes.sector(l));
    const core::SectorRows rows(std::move(row_codes));
    const auto [periods, lengths] = rd::read_results(results, rows, codes);
    if (periods.empty()) {  // no period: 0/0 weights, as for any weight-0 row
        return result_pair({std::vector<double>(rows.size(), NAN),
                            std::vector<double>(rows.size(), 0.0)},
                           labels);
    }
    return result_pair(core::link_periods(periods, lengths), labels);
}

// split_by_position, calc_portfolio_single_period and combine.
void register_portfolio(py::module_& m) {
    mb::def_function(
        m, {"split_by_position", {"portfolio_series", "md"}, {}},
        "Cuts a portfolio series (snapshots in date order) into periods of unchanged\n"
        "holdings: a list of lists of the snapshots, in order. Each snapshot's date\n"
        "asks `md.get_split_coefficient(<ids held>, date)` for the splits effective\n"
        "that day, so a split alone (the quantity scaled by the coefficient) does not\n"
        "start a period; any other change of ids or quantities does. An empty series\n"
        "raises meridan.EmptyInputError (a ValueError and an IndexError); a snapshot\n"
        "holding a quantity that is NaN, infinite or negative, ValueError naming its\n"
        "date and the id.",
        mb::named<2>([](py::handle portfolio_series, py::handle md) {
            rd::Codes ids;
            const rd::Series s = rd::read_quantities(portfolio_series, ids);
            if (s.snapshots.empty())
                check::refuse_empty("portfolio_series is empty: it has no snapshot");
            py::list result;
            for (const core::Period& p : periods_of(s, ids, md)) {
                py::list current;
                for (std::size_t i = 0; i < p.length; ++i)
                    current.append(s.snapshots[p.first + i]);
                result.append(current);
            }
            return result;
        }));

    mb::def_function(
        m, {"calc_portfolio_single_period", {"portfolio", "classifier"}, {}},
        "Sector weights and returns of one period (a list of snapshots of unchanged\n"
        "holdings): (sector_weight, sector_return), Series by sector in sorted order,\n"
        "then \"现金\". Weights are the first snapshot's market values over its total\n"
        "(fractions); a sector's return is the weight-averaged compound return of its\n"
        "stocks from the first snapshot's date to the last, a missing daily rate\n"
        "counting as no change; a sector of weight 0 has return 0. ValueError when "
        "the\n"
        "first snapshot's market_value is 0, or when a snapshot holds a quantity that\n"
        "is NaN, infinite or negative (naming its date and the id).",
        mb::named<2>([m](py::handle portfolio, py::handle classifier) {
            rd::Codes ids, sectors;
            const rd::Series all = rd::read_quantities(portfolio, ids);
            if (all.snapshots.empty())
                check::refuse_empty(
                    "portfolio is empty: a period holds at least one snapshot");
            rd::Series s;  // the period's ends, the first one's money read
            for (const py::object& end : {all.snapshots.front(), all.snapshots.back()})
                rd::read_snapshot(s, end, ids,
                                  s.dates.empty() ? rd::Money::read : rd::Money::skip,
                                  [&] { return check::snapshot_date_text(end); });
            Holdings h = read_portfolio_period(m, s, 0, 1, ids);
            classify_twice(h, classifier, ids, sectors);
            h.cash = rd::as_double(rd::item<"cash">(s.snapshots[0])) /
                     s.plain.market_value[0];
            return sorted_result(h, sectors);
        }));

    mb::def_function(
        m, {"combine", {"results", "sectors"}, {}},
        "Links single-period results, a list of (length, (sector_weight,\n"
        "sector_return)) in time order, onto the rows `sectors`: (weight, return)\n"
        "Series by `sectors`. Weights are averaged weighted by length (not\n"
        "normalised); each period's contributions are scaled by the growth of the\n"
        "earlier periods, so they add up to the compound total return, and a sector's\n"
        "linked return is its contribution over its average weight (0 for weight 0).\n"
        "Labels outside `sectors` are dropped.",
        mb::named<2>(combine_results));
}

// calc_benchmark_single_period, calc_benchmark and calc.
void register_benchmark(py::module_& m) {
    mb::def_function(
        m,
        {"calc_benchmark_single_period",
         {"benchmark", "classifier", "start_date", "end_date"},
         {}},
        "Sector weights and returns of the benchmark from `start_date` to `end_date`\n"
        "with the weights of `start_date` (as fractions of their sum):\n"
        "(sector_weight, sector_return), Series by sector in sorted order; no cash.\n"
        "The weights keep the name of the benchmark's weighting Series (\"weight\" "
        "for\n"
        "an index).",
        mb::named<4>([m](py::handle benchmark, py::handle classifier,
                         py::handle start_date, py::handle end_date) {
            rd::Codes ids, sectors;
            Holdings h = read_benchmark_period(m, benchmark, start_date, end_date, ids);
            classify_twice(h, classifier, ids, sectors);
            return sorted_result(h, sectors);
        }));

    mb::def_function(
        m, {"calc_benchmark", {"benchmark", "dates", "classifier"}, {}},
        "The benchmark's (sector_weight, sector_return) over `dates` (ascending),\n"
        "Series by \"现金\" then `classifier.all_sectors()`: dates are cut into runs "
        "of\n"
        "unchanged constituents, each run attributed with the weights of its first\n"
        "date, the runs linked, the weights normalised to 1 and the returns scaled so\n"
        "that their weighted sum is the benchmark's change from the first date to the\n"
        "last (unscaled when the linked sum is 0).",
        mb::named<3>(
            [m](py::handle benchmark, py::handle dates, py::handle classifier) {
                const std::vector<py::object> days =
                    rd::items_of(dates, "expected a sequence of snapshots");
                if (days.empty())
                    check::refuse_empty("dates is empty: it has no first date");
                rd::Codes ids, sectors;
                auto [result, table] =
                    benchmark_result(m, benchmark, days, classifier, ids, sectors);
                return result_pair(result, table.labels);
            }));

    mb::def_function(
        m,
        {"calc",
         {"portfolio_series", "benchmark", "classifier", "start_date", "end_date", "md",
          "method"},
         {}},
        "Brinson attribution of the snapshots dated from `start_date` to `end_date`\n"
        "(both included, compared as calendar days) against `benchmark`, by the "
        "sectors\n"
        "of `classifier`; `md` supplies split coefficients. A DataFrame with the rows\n"
        "\"现金\", the classifier's sectors and \"总计\", and the columns\n"
        "PortfolioWeight, BenchmarkWeight, WeightDifference, PortfolioReturn,\n"
        "BenchmarkReturn, ReturnDifference, Allocation, Selection, Interaction,\n"
        "TotalActiveReturn (fractions). Weights are time averages normalised to 1;\n"
        "returns are linked over the periods and rescaled to the portfolio's market\n"
        "value change and the benchmark's close-to-close change. `method` \"BHB\"\n"
        "gives the Brinson-Hood-Beebower effects; any other value the\n"
        "Brinson-Fachler ones, allocation measured against the benchmark's total\n"
        "return. Effects add up to TotalActiveReturn on every row.\n\n"
        "Refused: a portfolio_series that is not a list of snapshots, a date that is\n"
        "not a date (a number, say), a benchmark without components(),\n"
        "get_weighting() and get_change_rate() (an order book id, say): TypeError; a\n"
        "series out of date order or a start_date after end_date: ValueError; an\n"
        "empty series or no snapshot in the range: meridan.EmptyInputError (a\n"
        "ValueError and an IndexError); a snapshot of the range whose market_value or\n"
        "cash is NaN or infinite, whose position has a market_value or quantity that\n"
        "is NaN, infinite or negative, or that holds an index, and a last snapshot\n"
        "worth 0 or less: ValueError naming the date (and the id).",
        mb::named<7>([m](py::handle portfolio_series, py::handle benchmark,
                         py::handle classifier, py::handle start_date,
                         py::handle end_date, py::handle md, py::handle method) {
            return calc_table(m, portfolio_series, benchmark, classifier, start_date,
                              end_date, md, method);
        }));
}

}  // namespace

PYBIND11_MODULE(calc, m) {
    m.doc() = "Brinson attribution of a portfolio series against a benchmark.";
    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("tickvane") = py::module_::import("tickvane");
    meridan::bind::prepare_numpy();
    register_portfolio(m);
    register_benchmark(m);
}
