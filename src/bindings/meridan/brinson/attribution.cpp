// meridan.brinson.attribution: multi-period attribution whose effects add up to the
// active return. The portfolio series is cut into periods of unchanged holdings (and
// at every flow day); each period's return comes from the unit value, so deposits
// and withdrawals are never return; the benchmark is read over the same periods; the
// core rescales, attributes and links (meridan/brinson/attribution).
//
// The binding reads the arguments, the snapshots and the market data's replies into
// plain arrays, in small functions, and builds the three result tables.
#include "meridan/brinson/attribution.hpp"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/float_series.hpp"
#include "common/globals.hpp"
#include "common/named.hpp"
#include "common/numeric_arrays.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"
#include "meridan/analysis_inputs.hpp"
#include "meridan/brinson/compounding.hpp"
#include "meridan/brinson/linking.hpp"
#include "meridan/flows/units.hpp"
#include "meridan/periods/period_base.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;
namespace core = meridan::brinson;
namespace check = meridan::analysis;
using meridan::periods::iso_day;

namespace {

constexpr const char* kCash = "现金";
constexpr const char* kTotal = "总计";
constexpr const char* kTableColumns[] = {
    "PortfolioWeight", "BenchmarkWeight",  "WeightDifference", "PortfolioReturn",
    "BenchmarkReturn", "ReturnDifference", "Allocation",       "Selection",
    "Interaction",     "TotalActiveReturn"};
constexpr const char* kPeriodColumns[] = {
    "PortfolioWeight", "BenchmarkWeight", "PortfolioReturn", "BenchmarkReturn",
    "Allocation",      "Selection",       "Interaction"};

// ------------------------------------------------------------------ the choices

core::Method method_named(const py::object& method) {
    if (mb::equal(method, "BHB")) return core::Method::BHB;
    if (mb::equal(method, "BF")) return core::Method::BrinsonFachler;
    throw py::value_error(
        "method must be \"BHB\" (Brinson-Hood-Beebower) or \"BF\" "
        "(Brinson-Fachler), got " +
        check::repr_of(method));
}

core::Linking linking_named(const py::object& linking) {
    if (py::isinstance<py::str>(linking)) {
        if (const auto how = core::linking_named(linking.cast<std::string>()))
            return *how;
    }
    throw py::value_error(
        "linking must be one of \"carino\", \"menchero\", \"grap\", "
        "\"frongello\", \"scaled\", got " +
        check::repr_of(linking));
}

// ---------------------------------------------------------------- the snapshots

// The snapshots of the range and their calendar days.
struct Range {
    std::vector<py::object> snapshots;
    std::vector<std::int64_t> days;
};

// The snapshots dated from start_date to end_date (calendar days, both included),
// refused as `calc` refuses them: a list in date order, a range holding a snapshot,
// finite money, holdings not negative, a last snapshot worth more than 0.
Range range_of(const py::object& portfolio_series, const py::object& benchmark,
               const py::object& start_date, const py::object& end_date) {
    const std::vector<py::object> all =
        check::snapshot_list(portfolio_series, "portfolio_series");
    const std::int64_t start = check::bound_day(start_date, "start_date");
    const std::int64_t end = check::bound_day(end_date, "end_date");
    check::check_range(start, end);
    check::check_benchmark_object(benchmark,
                                  {"components", "get_weighting", "get_change_rate"});
    if (all.empty())
        check::refuse_empty("portfolio_series is empty: it has no snapshot");
    const std::vector<std::int64_t> days =
        check::snapshot_days(all, "portfolio_series", true);
    Range r;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (days[i] < start || days[i] > end) continue;
        r.snapshots.push_back(all[i]);
        r.days.push_back(days[i]);
    }
    if (r.snapshots.empty())
        check::refuse_empty_range("portfolio_series", start, end, days);
    for (std::size_t i = 0; i < r.snapshots.size(); ++i)
        check::check_snapshot(r.snapshots[i], iso_day(r.days[i]),
                              {.money = true, .quantities = true});
    check::check_closing_snapshot(r.snapshots.back(), iso_day(r.days.back()));
    return r;
}

// Refuses a holding of an index: the market data's type of each id held (asked once
// per id; an id it does not know is not known to be an index).
void check_no_index(const py::module_& m, const Range& r) {
    py::set asked;
    for (std::size_t i = 0; i < r.snapshots.size(); ++i) {
        for (py::handle pos : check::field(r.snapshots[i], "positions", "a snapshot")) {
            py::object oid = check::field(pos, "order_book_id", "a position");
            if (!mb::not_equal(check::field(pos, "quantity", "a position"),
                               py::int_(0)) ||
                asked.contains(oid))
                continue;
            asked.add(oid);
            py::object record;
            try {
                record = mb::service(m, "instruments")(oid);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_ValueError)) throw;
                continue;
            }
            check::check_not_index(oid, py::getattr(record, "type", py::none()),
                                   iso_day(r.days[i]));
        }
    }
}

double number(const py::object& mapping, const char* key) {
    return check::snapshot_number(check::field(mapping, key, "a snapshot"), key);
}

// {order_book_id: quantity} of a snapshot's positions; a repeated id keeps its last
// quantity, as a mapping would.
py::dict holdings_of(py::handle snapshot) {
    py::dict held;
    for (py::handle pos : check::field(snapshot, "positions", "a snapshot"))
        held[check::field(pos, "order_book_id", "a position")] =
            check::field(pos, "quantity", "a position");
    return held;
}

// A float quantity scaled by a split coefficient, with the rounding noise of the
// multiplication removed (700 x 1.4 is 980.0); exact number types are left alone.
py::object split_quantity(py::handle quantity, py::handle coefficient) {
    py::object q = mb::mul(quantity, coefficient);
    if (PyFloat_Check(q.ptr())) {
        const double v = PyFloat_AS_DOUBLE(q.ptr());
        const double whole = std::nearbyint(v);
        if (v != whole && std::fabs(v - whole) <= 1e-6) return py::float_(whole);
    }
    return q;
}

// The holdings carried into `date`: scaled by the splits `md` reports for that day.
void apply_splits(py::dict& held, py::handle md, py::handle date) {
    py::object splits =
        mb::call_method<"get_split_coefficient">(md, py::list(held), date);
    for (py::handle pair : splits.attr("items")()) {
        py::tuple t = py::reinterpret_borrow<py::object>(pair).cast<py::tuple>();
        if (held.contains(t[0])) held[t[0]] = split_quantity(held[t[0]], t[1]);
    }
}

// The first snapshot of each period: a period starts where the holdings differ from
// those carried over (splits applied) and on every day with a flow.
std::vector<std::size_t> period_starts(const Range& r, py::handle md,
                                       const std::vector<double>& flows) {
    std::vector<std::size_t> starts = {0};
    py::dict carried = holdings_of(r.snapshots[0]);
    for (std::size_t i = 1; i < r.snapshots.size(); ++i) {
        apply_splits(carried, md, check::field(r.snapshots[i], "date", "a snapshot"));
        py::dict now = holdings_of(r.snapshots[i]);
        if (flows[i] != 0.0 || mb::not_equal(carried, now)) {
            starts.push_back(i);
            carried = std::move(now);
        }
    }
    return starts;
}

// ------------------------------------------------------------------- the flows

// The net flow of each snapshot day: `flows` (None: none) added onto its days; a
// flow outside the range is not the range's, a flow inside must fall on a snapshot.
std::vector<double> daily_flows(const Range& r, const py::object& flows) {
    std::vector<double> daily(r.days.size(), 0.0);
    if (flows.is_none()) return daily;
    if (!py::isinstance(flows, mb::pandas().attr("Series")))
        throw py::type_error(
            "flows must be a pandas Series of flows by date or None, got " +
            check::type_name(flows));
    const std::vector<std::int64_t> days = mb::index_day_numbers(flows.attr("index"));
    const mb::FloatArray amounts = mb::float_values(flows);
    std::vector<std::int64_t> in_days;
    std::vector<double> in_amounts;
    for (std::size_t i = 0; i < days.size(); ++i) {
        if (days[i] == mb::no_day)
            throw py::type_error("flows must be indexed by dates, but its label " +
                                 std::to_string(i) + " is " +
                                 check::not_a_date(flows.attr("index")[py::int_(i)]));
        const double amount = amounts.data()[i];
        if (!std::isfinite(amount))
            throw py::value_error("flows has the flow " +
                                  check::text_of(py::float_(amount)) + " on " +
                                  iso_day(days[i]) + ": it must be a finite number");
        if (days[i] < r.days.front() || days[i] > r.days.back()) continue;
        in_days.push_back(days[i]);
        in_amounts.push_back(amount);
    }
    if (const auto i = meridan::flows::flows_by_day(r.days, in_days, in_amounts, daily))
        throw py::value_error("flows has the flow " +
                              check::text_of(py::float_(in_amounts[*i])) + " on " +
                              iso_day(in_days[*i]) +
                              ", a date with no snapshot in portfolio_series");
    return daily;
}

// The unit value at each snapshot's close: the first market value opens the units,
// each flow buys or redeems units at the close before its day.
std::vector<double> unit_values(const Range& r, const std::vector<double>& flows) {
    std::vector<double> values;
    for (const py::object& s : r.snapshots) values.push_back(number(s, "market_value"));
    std::vector<double> units(values.size()), unit_value(values.size());
    try {
        meridan::flows::unit_values_from_opening(values, flows, units, unit_value);
    } catch (const meridan::flows::UnitError& e) {
        throw py::value_error("the flow " + check::text_of(py::float_(e.flow)) +
                              " on " + iso_day(r.days[e.day]) +
                              " cannot be counted in units: " + e.what());
    }
    return unit_value;
}

// ------------------------------------------------------------ market data replies

// The compound return of column `j` of a table of daily rates over `rows`, a
// missing rate counting as no change.
double compound_cells(const mb::FloatMatrix& table, std::span<const std::size_t> rows,
                      std::size_t j) {
    double growth = 1.0;
    for (std::size_t i : rows) {
        const double rate =
            table.data[static_cast<std::ptrdiff_t>(i) * table.row_stride +
                       static_cast<std::ptrdiff_t>(j) * table.col_stride];
        if (!std::isnan(rate)) growth *= 1.0 + rate;
    }
    return growth - 1.0;
}

// The compound return of each id over the rows of a change-rate reply (a DataFrame
// with a column per id, or one Series for them all); NaN for an id without a column
// or a reply without data, which the core counts as no change.
std::vector<double> compound_reply(const py::object& reply, const py::list& ids) {
    std::vector<double> out(ids.size(), std::nan(""));
    if (reply.is_none() || ids.empty()) return out;
    if (!py::isinstance(reply, mb::pandas().attr("DataFrame"))) {
        const mb::FloatArray v = mb::float_values(reply);
        const auto g = core::compound_columns(mb::span_of(v), v.size(), 1);
        out.assign(ids.size(), g[0]);
        return out;
    }
    const mb::FloatMatrix table =
        mb::float_matrix(reply.attr("reindex")(py::arg("columns") = ids));
    std::vector<std::size_t> rows(table.rows);
    std::iota(rows.begin(), rows.end(), std::size_t{0});
    for (std::size_t j = 0; j < table.cols; ++j)
        out[j] = compound_cells(table, rows, j);
    return out;
}

py::object change_rates(const py::module_& m, const py::list& ids, py::handle start,
                        py::handle end) {
    return mb::service(m, "get_price_change_rate")(ids, py::arg("start_date") = start,
                                                   py::arg("end_date") = end);
}

std::vector<double> change_over(const py::module_& m, const py::list& ids,
                                py::handle start, py::handle end) {
    if (ids.empty()) return {};
    return compound_reply(change_rates(m, ids, start, end), ids);
}

// The daily change rates of some ids over a span of days, asked once, compounded over
// any days within it as a request over those days would be (rates are daily, so the
// rows of a shorter request are the same rows of this one). An id without a column
// of its own (not asked, or a reply of one Series) is asked of the market data.
class RateTable {
public:
    RateTable(const py::module_& m, const py::list& ids, py::handle start,
              py::handle end)
        : m_(m) {
        if (ids.empty()) return;
        py::object reply = change_rates(m, ids, start, end);
        if (reply.is_none()) {
            empty_ = true;
            return;
        }
        if (!py::isinstance(reply, mb::pandas().attr("DataFrame"))) return;
        table_ = mb::float_matrix(reply);
        days_ = mb::index_day_numbers(reply.attr("index"));
        py::list columns = reply.attr("columns").attr("tolist")();
        for (std::size_t j = columns.size(); j-- > 0;)
            column_[columns[j]] = py::int_(j);
        read_ = true;
    }

    // The compound return of each of `ids` from the snapshot `first` to `last` of
    // `dates` (dates and their days).
    std::vector<double> over(const py::list& ids, const std::vector<py::object>& dates,
                             const std::vector<std::int64_t>& days, std::size_t first,
                             std::size_t last) const {
        if (ids.empty()) return {};
        if (empty_) return std::vector<double>(ids.size(), std::nan(""));
        std::vector<std::size_t> columns;
        for (py::handle oid : ids) {
            PyObject* j =
                read_ ? PyDict_GetItemWithError(column_.ptr(), oid.ptr()) : nullptr;
            if (!j) {
                if (PyErr_Occurred()) throw py::error_already_set();
                return change_over(m_, ids, dates[first], dates[last]);
            }
            columns.push_back(PyLong_AsSize_t(j));
        }
        std::vector<std::size_t> rows;
        for (std::size_t i = 0; i < days_.size(); ++i)
            if (days_[i] >= days[first] && days_[i] <= days[last]) rows.push_back(i);
        if (rows.empty()) return std::vector<double>(ids.size(), std::nan(""));
        std::vector<double> out;
        out.reserve(columns.size());
        for (std::size_t j : columns) out.push_back(compound_cells(table_, rows, j));
        return out;
    }

private:
    py::module_ m_;
    bool empty_ = false;  // the market data has no day in the span
    bool read_ = false;   // a table with a column per id
    mb::FloatMatrix table_;
    std::vector<std::int64_t> days_;
    py::dict column_;  // order_book_id -> column
};

// ------------------------------------------------------------------ sector rows

constexpr int kAbsent = -2;  // no such key (kNoSector is a row's "none")

// The int a dict holds for `key`, or kAbsent.
int lookup(const py::dict& d, py::handle key) {
    PyObject* v = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (!v) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return kAbsent;
    }
    return static_cast<int>(PyLong_AsLong(v));
}

// "现金" and the classifier's sectors, each id's row asked of the classifier once.
struct Rows {
    py::list labels;
    py::dict row_of;  // label -> row
    py::dict id_row;  // order_book_id -> row (kNoSector: none)
    py::handle classifier;

    Rows(py::handle c) : classifier(c) {
        labels.append(py::str(kCash));
        for (py::handle s : mb::call_method<"all_sectors">(c)) labels.append(s);
        for (std::size_t r = labels.size(); r-- > 0;) row_of[labels[r]] = py::int_(r);
    }
    std::size_t size() const { return labels.size(); }

    int of(py::handle oid) {
        if (const int known = lookup(id_row, oid); known != kAbsent) return known;
        py::object label = mb::call_method<"__call__">(classifier, oid);
        int row = core::kNoSector;
        if (!label.is_none() && row_of.contains(label)) row = row_of[label].cast<int>();
        id_row[oid] = py::int_(row);
        return row;
    }
};

// The ids the portfolio holds in any period, in the order first held.
struct HoldingList {
    py::list ids;
    py::dict position;

    std::size_t add(py::handle oid) {
        if (!position.contains(oid)) {
            position[oid] = py::int_(ids.size());
            ids.append(oid);
        }
        return position[oid].cast<std::size_t>();
    }
    int find(py::handle oid) const {
        const int found = lookup(position, oid);
        return found == kAbsent ? -1 : found;
    }
};

// Instrument weights and returns grouped onto the rows and onto the holdings.
struct Grouped {
    core::SectorResult rows;
    core::SectorResult holdings;
};

// One period of the portfolio: its first snapshot's non-zero positions weighted by
// its value, compounded over the period with one change-rate request.
struct HeldPeriod {
    py::list ids;
    std::vector<double> weight;
    double cash;
};

HeldPeriod read_period(py::handle first, const std::string& date) {
    HeldPeriod p;
    const double total =
        number(py::reinterpret_borrow<py::object>(first), "market_value");
    if (total == 0.0)
        throw py::value_error("the portfolio snapshot of " + date +
                              " has market_value 0, so its weights are undefined");
    py::dict weight_of;
    for (py::handle pos : check::field(first, "positions", "a snapshot")) {
        py::object q = check::field(pos, "quantity", "a position");
        if (!mb::not_equal(q, py::int_(0))) continue;
        weight_of[check::field(pos, "order_book_id", "a position")] = py::float_(
            number(py::reinterpret_borrow<py::object>(pos), "market_value") / total);
    }
    for (auto [oid, w] : weight_of) {
        p.ids.append(oid);
        p.weight.push_back(w.cast<double>());
    }
    p.cash = number(py::reinterpret_borrow<py::object>(first), "cash") / total;
    return p;
}

Grouped group(const py::list& ids, const std::vector<double>& weight,
              const std::vector<double>& ret, Rows& rows, const HoldingList& held) {
    std::vector<int> slot;
    for (py::handle oid : ids) slot.push_back(rows.of(oid));
    Grouped g{core::group_by_sector(weight, ret, slot, slot, rows.size()),
              {std::vector<double>(held.ids.size(), 0.0),
               std::vector<double>(held.ids.size(), std::nan(""))}};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const int h = held.find(ids[i]);
        if (h < 0) continue;
        g.holdings.weight[static_cast<std::size_t>(h)] = weight[i];
        g.holdings.ret[static_cast<std::size_t>(h)] = ret[i];
    }
    return g;
}

// ---------------------------------------------------------------- the benchmark

// The benchmark over the range: its runs of unchanged constituents (the first
// snapshot of each, and the end), each with its change rates asked once for the
// constituents weighted on its first date.
struct BenchmarkRuns {
    std::vector<std::size_t> firsts;
    std::vector<RateTable> rates;
};

BenchmarkRuns benchmark_over(const py::module_& m, py::handle benchmark,
                             const std::vector<py::object>& dates) {
    BenchmarkRuns b;
    py::object previous, previous_set;
    for (std::size_t i = 0; i < dates.size(); ++i) {
        py::object members = mb::call_method<"components">(benchmark, dates[i]);
        // Equal lists are the same constituents without building sets; anything
        // else is compared as sets.
        const bool same =
            i > 0 &&
            ((PyList_CheckExact(members.ptr()) && PyList_CheckExact(previous.ptr()) &&
              mb::equal(members, previous)) ||
             [&] {
                 if (!previous_set) previous_set = py::set(previous);
                 return mb::equal(py::set(members), previous_set);
             }());
        if (!same) b.firsts.push_back(i);
        previous = std::move(members);
        previous_set = py::object();
    }
    b.firsts.push_back(dates.size());
    for (std::size_t k = 0; k + 1 < b.firsts.size(); ++k) {
        py::object weighting =
            mb::call_method<"get_weighting">(benchmark, dates[b.firsts[k]]);
        b.rates.emplace_back(m, weighting.attr("index").attr("tolist")(),
                             dates[b.firsts[k]], dates[b.firsts[k + 1] - 1]);
    }
    return b;
}

// The ids of a weighting Series, read once for consecutive weightings with equal
// indexes (most dates of a run share their weights' ids).
struct WeightedIds {
    py::object index;
    py::list ids;

    const py::list& of(const py::object& weighting) {
        py::object now = weighting.attr("index");
        if (!index || !py::bool_(mb::call_method<"equals">(now, index))) {
            ids = now.attr("tolist")();
            index = std::move(now);
        }
        return ids;
    }
};

// The benchmark over the snapshots `first` to `last`: the runs of unchanged
// constituents within them, each with the weights of its first date (as fractions of
// their sum).
std::vector<core::BenchmarkRun> benchmark_runs(
    py::handle benchmark, const BenchmarkRuns& b, const std::vector<py::object>& dates,
    const std::vector<std::int64_t>& days, std::size_t first, std::size_t last,
    Rows& rows, const HoldingList& held, WeightedIds& read) {
    std::vector<core::BenchmarkRun> runs;
    for (std::size_t k = 0; k + 1 < b.firsts.size(); ++k) {
        const std::size_t start = std::max(first, b.firsts[k]);
        const std::size_t end = std::min(last + 1, b.firsts[k + 1]);
        if (start >= end) continue;
        py::object weighting =
            mb::call_method<"get_weighting">(benchmark, dates[start]);
        const py::list& ids = read.of(weighting);
        const mb::FloatArray w = mb::float_values(weighting);
        std::vector<double> weight(w.data(), w.data() + w.size());
        core::divide_by_sum(weight);
        Grouped g = group(
            ids, weight, b.rates[k].over(ids, dates, days, start, end - 1), rows, held);
        runs.push_back({static_cast<double>(end - start), std::move(g.rows),
                        std::move(g.holdings)});
    }
    return runs;
}

// ------------------------------------------------------------------ the results

py::object labels_index(const py::list& labels) {
    return mb::pandas().attr("Index")(labels);
}

py::object text_index(const char* const* names, std::size_t n) {
    py::list l;
    for (std::size_t i = 0; i < n; ++i) l.append(names[i]);
    return labels_index(l);
}

py::object table_frame(const core::Attribution& a, const Rows& rows) {
    const std::size_t n = rows.size();
    std::vector<double> v;
    double sums[10] = {0};
    for (std::size_t s = 0; s < n; ++s) {
        const double cells[10] = {a.portfolio.weight[s],
                                  a.benchmark.weight[s],
                                  a.portfolio.weight[s] - a.benchmark.weight[s],
                                  a.portfolio.ret[s],
                                  a.benchmark.ret[s],
                                  a.portfolio.ret[s] - a.benchmark.ret[s],
                                  a.effects.allocation[s],
                                  a.effects.selection[s],
                                  a.effects.interaction[s],
                                  a.effects.total[s]};
        v.insert(v.end(), cells, cells + 10);
        for (int c : {0, 1, 6, 7, 8, 9}) sums[c] += cells[c];
    }
    const double r = a.portfolio_return, b = a.benchmark_return;
    const double total[10] = {sums[0], sums[1], 0.0,     r,       b,
                              r - b,   sums[6], sums[7], sums[8], sums[9]};
    v.insert(v.end(), total, total + 10);
    py::list labels(rows.labels);
    labels.append(py::str(kTotal));
    return mb::float_frame(v, n + 1, 10, labels_index(labels),
                           text_index(kTableColumns, 10));
}

py::object periods_frame(const core::Attribution& a, const Rows& rows,
                         const std::vector<std::int64_t>& starts) {
    const std::size_t n = rows.size();
    std::vector<double> v;
    py::list start_labels, sector_labels;
    for (std::size_t t = 0; t < a.periods.size(); ++t) {
        const core::PeriodAttribution& p = a.periods[t];
        py::object start = mb::pandas().attr("Timestamp")(iso_day(starts[t]));
        for (std::size_t s = 0; s < n; ++s) {
            const double cells[7] = {p.portfolio.weight[s],   p.benchmark.weight[s],
                                     p.portfolio.ret[s],      p.benchmark.ret[s],
                                     p.effects.allocation[s], p.effects.selection[s],
                                     p.effects.interaction[s]};
            v.insert(v.end(), cells, cells + 7);
            start_labels.append(start);
            sector_labels.append(rows.labels[s]);
        }
    }
    py::object index =
        mb::pandas()
            .attr("MultiIndex")
            .attr("from_arrays")(py::make_tuple(start_labels, sector_labels),
                                 py::arg("names") = py::make_tuple("start", "sector"));
    return mb::float_frame(v, a.periods.size() * n, 7, index,
                           text_index(kPeriodColumns, 7));
}

py::object holdings_frame(const core::Attribution& a, const HoldingList& held) {
    std::vector<double> v;
    for (std::size_t i = 0; i < held.ids.size(); ++i) {
        v.push_back(a.contribution[i]);
        v.push_back(a.active_contribution[i]);
    }
    const char* columns[] = {"contribution", "active_contribution"};
    py::object index =
        mb::pandas().attr("Index")(held.ids, py::arg("name") = "order_book_id");
    return mb::float_frame(v, held.ids.size(), 2, index, text_index(columns, 2));
}

// ------------------------------------------------------------------ attribute

// The arguments of `attribute`, by name.
struct Arguments {
    const py::object &portfolio_series, &benchmark, &classifier, &start_date, &end_date,
        &md, &method, &linking, &flows;
};

py::object attribute(const py::module_& m, const Arguments& a) {
    const core::Method method = method_named(a.method);
    const core::Linking how = linking_named(a.linking);
    const Range r = range_of(a.portfolio_series, a.benchmark, a.start_date, a.end_date);
    const std::vector<double> flows = daily_flows(r, a.flows);
    const std::vector<double> u = unit_values(r, flows);
    check_no_index(m, r);
    std::vector<std::size_t> starts = period_starts(r, a.md, flows);
    starts.push_back(r.snapshots.size());

    Rows rows(a.classifier);
    HoldingList held;
    std::vector<HeldPeriod> portfolio;
    for (std::size_t k = 0; k + 1 < starts.size(); ++k) {
        portfolio.push_back(
            read_period(r.snapshots[starts[k]], iso_day(r.days[starts[k]])));
        for (py::handle oid : portfolio.back().ids) held.add(oid);
    }

    std::vector<py::object> dates;
    for (const py::object& snapshot : r.snapshots)
        dates.push_back(check::field(snapshot, "date", "a snapshot"));
    const RateTable held_rates(m, held.ids, dates.front(), dates.back());
    const BenchmarkRuns bench = benchmark_over(m, a.benchmark, dates);
    WeightedIds weighted_ids;

    std::vector<core::PeriodInput> periods;
    std::vector<std::int64_t> start_days;
    for (std::size_t k = 0; k + 1 < starts.size(); ++k) {
        const std::size_t first = starts[k], last = starts[k + 1] - 1;
        const std::size_t before = k == 0 ? 0 : first - 1;  // the close it grows from
        if (!(u[last] > 0.0) || !(u[before] > 0.0))
            throw py::value_error(
                "the portfolio holds no units at the close of " +
                iso_day(r.days[u[last] > 0.0 ? before : last]) +
                " (everything was withdrawn), so its return is undefined");
        const HeldPeriod& p = portfolio[k];
        Grouped g =
            group(p.ids, p.weight, held_rates.over(p.ids, dates, r.days, first, last),
                  rows, held);
        g.rows.weight[0] += p.cash;
        const double b = check::snapshot_number(
            mb::call_method<"get_change_rate">(a.benchmark, dates[before], dates[last]),
            "the benchmark's change rate");
        periods.push_back({static_cast<double>(last - first + 1),
                           u[last] / u[before] - 1.0, b, std::move(g.rows),
                           std::move(g.holdings),
                           benchmark_runs(a.benchmark, bench, dates, r.days, first,
                                          last, rows, held, weighted_ids)});
        start_days.push_back(r.days[first]);
    }
    const core::Attribution result = core::attribute(periods, method, how);
    return mb::global(m, "Attribution")(table_frame(result, rows),
                                        periods_frame(result, rows, start_days),
                                        holdings_frame(result, held));
}

constexpr const char* kAttributeDoc =
    "Brinson attribution over a range whose effects add up to the active return.\n\n"
    "portfolio_series: snapshots in date order (as for calc), those dated from\n"
    "start_date to end_date (calendar days, both included) attributed against\n"
    "`benchmark` by the sectors of `classifier`; `md` supplies split coefficients.\n"
    "method: \"BHB\" (Brinson-Hood-Beebower) or \"BF\" (Brinson-Fachler). linking: "
    "how\n"
    "the periods' effects are carried over the range, \"carino\", \"menchero\",\n"
    "\"grap\", \"frongello\" or \"scaled\" (weights averaged over time and returns\n"
    "linked by growth, as calc does, the effects taken once on the result). flows:\n"
    "the net money put in (positive) or taken out by date, a Series (None: none);\n"
    "flows dated in the range must fall on a snapshot's date.\n\n"
    "Periods are the runs of unchanged holdings (splits aside), also cut at every\n"
    "flow day. A period's return is the unit value at its last close over the unit\n"
    "value at the last close of the period before (for the first, the range's first\n"
    "close) minus 1, so flows are never return; its sector returns (the first\n"
    "snapshot's weights, the stocks' compound returns) are scaled so that their\n"
    "weighted sum is that return. The benchmark is read over the same periods (runs\n"
    "of unchanged constituents within a period linked), its returns scaled to the\n"
    "benchmark's change over the period. A sector the portfolio does not hold in a\n"
    "period takes the benchmark's return, so its selection and interaction are 0.\n"
    "The linked effects add up to the compounded portfolio return minus the\n"
    "compounded benchmark return.\n\n"
    "Returns a named tuple (table, periods, holdings), fractions throughout:\n"
    "table: calc's layout (rows \"现金\", the sectors, \"总计\") with the weights\n"
    "averaged over time, the returns linked, and the linked effects; periods:\n"
    "indexed by (start, sector), the period's weights, returns and the three\n"
    "effects; holdings: by order_book_id, for each stock held in the range,\n"
    "`contribution` (each period's w r grown with the portfolio's return over the\n"
    "periods before, so that they add up to the portfolio's return) and\n"
    "`active_contribution` (the linked (w - wb)(r - R_b), wb the stock's benchmark\n"
    "weight, 0 when it is no member).\n\n"
    "Refused as calc refuses its arguments; a method or linking not listed, or a\n"
    "flow that cannot be counted: ValueError naming the value; flows that are not\n"
    "a Series by date: TypeError.";

}  // namespace

PYBIND11_MODULE(attribution, m) {
    m.doc() =
        "Brinson attribution over several periods, linked so that the effects add up.";
    m.attr("tickvane") = py::module_::import("tickvane");
    m.attr("Attribution") =
        py::module_::import("collections")
            .attr("namedtuple")("Attribution",
                                py::make_tuple("table", "periods", "holdings"),
                                py::arg("module") = m.attr("__name__"));
    mb::def_function(
        m,
        {"attribute",
         {"portfolio_series", "benchmark", "classifier", "start_date", "end_date", "md",
          "method", "linking", "flows"},
         {py::str("BHB"), py::str("carino"), py::none()}},
        kAttributeDoc,
        mb::named<9>([h = py::handle(m)](
                         const py::object& portfolio_series,
                         const py::object& benchmark, const py::object& classifier,
                         const py::object& start_date, const py::object& end_date,
                         const py::object& md, const py::object& method,
                         const py::object& linking, const py::object& flows) {
            return attribute(py::reinterpret_borrow<py::module_>(h),
                             {portfolio_series, benchmark, classifier, start_date,
                              end_date, md, method, linking, flows});
        }));
}
