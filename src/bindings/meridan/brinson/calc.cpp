// meridan.brinson.calc: Brinson attribution of a portfolio series against a
// benchmark. The binding reads the snapshots once into plain arrays (instruments and
// sectors as integer codes), asks the caller's objects what the attribution needs in
// the order the behaviour requires (the provider's splits per date, one change-rate
// request per period or benchmark run, two classifier calls per instrument and
// grouping, the benchmark's constituents for every date) and builds the pandas
// results; every rule (periods, runs, grouping, linking, effects) is the core's, in
// meridan/brinson.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/globals.hpp"
#include "common/names.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"
#include "meridan/analysis_inputs.hpp"
#include "meridan/brinson/benchmark_runs.hpp"
#include "meridan/brinson/compounding.hpp"
#include "meridan/brinson/effects.hpp"
#include "meridan/brinson/linking.hpp"
#include "meridan/brinson/period_splitting.hpp"
#include "meridan/brinson/sector_table.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;
namespace core = meridan::brinson;
namespace check = meridan::analysis;

namespace {

constexpr const char* kCash = "现金";
constexpr const char* kColumns[core::kTableColumns] = {
    "PortfolioWeight", "BenchmarkWeight",  "WeightDifference", "PortfolioReturn",
    "BenchmarkReturn", "ReturnDifference", "Allocation",       "Selection",
    "Interaction",     "TotalActiveReturn"};

// ------------------------------------------------------------------ conversions

py::object steal(PyObject* p) {
    if (!p) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(p);
}

// `mapping[key]`: a plain dict read directly, anything else through __getitem__.
template <mb::fixed_string Key>
py::object item(py::handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), mb::name<Key>().ptr());
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, mb::name<Key>().ptr());
        throw py::error_already_set();
    }
    return steal(PyObject_GetItem(mapping.ptr(), mb::name<Key>().ptr()));
}

double as_double(py::handle value) { return mb::to_double(value); }

std::vector<py::object> fast_items(py::handle sequence, const char* what) {
    return check::sequence_items(sequence, what);
}

// The body of a public function called with its parameters by name.
template <std::size_t N, class F>
mb::Body named(F f) {
    return [f](mb::Args a) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return py::object(f(a[I]...));
        }(std::make_index_sequence<N>{});
    };
}

// Integer codes for labels (ids, sectors): equal labels share a code, as Python's
// own hashing and equality decide (a dict keyed by the label); the first label seen
// is kept. `sector` gives kNoSector for the labels pandas' grouping drops.
class Codes {
public:
    int code(py::handle label) {
        PyObject* c = PyDict_GetItemWithError(code_of_.ptr(), label.ptr());
        if (c) return static_cast<int>(PyLong_AsLong(c));
        if (PyErr_Occurred()) throw py::error_already_set();
        const int n = static_cast<int>(labels_.size());
        if (PyDict_SetItem(code_of_.ptr(), label.ptr(), py::int_(n).ptr()) < 0)
            throw py::error_already_set();
        labels_.push_back(py::reinterpret_borrow<py::object>(label));
        return n;
    }
    int sector(py::handle label) {
        const bool dropped =
            label.is_none() ||
            (PyFloat_Check(label.ptr()) && std::isnan(PyFloat_AS_DOUBLE(label.ptr())));
        return dropped ? core::kNoSector : code(label);
    }
    const py::object& label(int c) const {
        return labels_[static_cast<std::size_t>(c)];
    }
    py::list labels_of(std::span<const int> codes) const {
        py::list out;
        for (int c : codes) out.append(label(c));
        return out;
    }

private:
    py::dict code_of_;
    std::vector<py::object> labels_;
};

// A Series' labels (as codes) and values (as floats).
std::pair<std::vector<int>, std::vector<double>> read_series(py::handle series,
                                                             Codes& codes) {
    py::list labels = series.attr("index").attr("tolist")();
    py::array_t<double, py::array::c_style | py::array::forcecast> values =
        series.attr("to_numpy")(py::arg("dtype") = "float64");
    std::vector<int> out;
    for (py::handle l : labels) out.push_back(codes.code(l));
    return {std::move(out),
            std::vector<double>(values.data(), values.data() + values.size())};
}

py::object float_series(const std::vector<double>& values, py::handle labels,
                        py::handle name = py::none()) {
    py::module_ pd = mb::pandas();
    py::array_t<double> array(static_cast<py::ssize_t>(values.size()), values.data());
    return pd.attr("Series")(array, py::arg("index") = pd.attr("Index")(labels),
                             py::arg("name") = name);
}

// ------------------------------------------------------------------ snapshots

// Snapshots read once: their dates as given and their numbers as a plain series.
struct Series {
    std::vector<py::object> snapshots, dates;
    core::PlainSeries plain;
};

// How a snapshot's money is read: not at all, read (the snapshot's market value and
// the values of the positions held), or read and checked with everything else.
enum class Money { skip, read, check };

// Reads a snapshot's positions (quantities checked) and its money as `money` says. A
// fault found, or a value that does not read, is reported by the shared snapshot
// check in its own words; `date` gives its text, made only then.
template <class DateText>
void read_snapshot(Series& s, py::handle snapshot, Codes& ids, Money money,
                   const DateText& date) {
    namespace in = meridan::inputs;
    core::PlainSeries& p = s.plain;
    const bool checked = money == Money::check;
    bool fault = false;
    double value = NAN, cash = NAN;
    try {
        if (money != Money::skip) value = as_double(item<"market_value">(snapshot));
        if (checked) {
            cash = as_double(item<"cash">(snapshot));
            fault = in::money_fault(value) != in::Fault::none ||
                    in::money_fault(cash) != in::Fault::none;
        }
        py::object positions = steal(PySequence_Fast(item<"positions">(snapshot).ptr(),
                                                     "positions must be iterable"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(positions.ptr());
        PyObject** items = PySequence_Fast_ITEMS(positions.ptr());
        for (Py_ssize_t k = 0; k < n; ++k) {
            p.ids.push_back(ids.code(item<"order_book_id">(items[k])));
            const double q = as_double(item<"quantity">(items[k]));
            const bool valued = checked || (money == Money::read && q != 0.0);
            p.quantity.push_back(q);
            p.value.push_back(valued ? as_double(item<"market_value">(items[k])) : NAN);
            fault = fault || in::holding_fault(q) != in::Fault::none ||
                    (checked && in::holding_fault(p.value.back()) != in::Fault::none);
        }
    } catch (py::error_already_set&) {
        check::check_snapshot(snapshot, date(), {.money = checked, .quantities = true});
        throw;
    }
    if (fault) {
        check::check_snapshot(snapshot, date(), {.money = checked, .quantities = true});
        throw std::logic_error("a snapshot fault went unreported");
    }
    s.snapshots.push_back(py::reinterpret_borrow<py::object>(snapshot));
    s.dates.push_back(item<"date">(snapshot));
    p.close_snapshot(value, cash);
}

// The snapshots of a series given to split_by_position (quantities checked).
Series read_quantities(py::handle series, Codes& ids) {
    Series s;
    for (const py::object& snap :
         fast_items(series, "expected a sequence of snapshots"))
        read_snapshot(s, snap, ids, Money::skip,
                      [&] { return check::snapshot_date_text(snap); });
    return s;
}

// The snapshots of `calc` from start_date to end_date (calendar days, both
// included), after the refusals of its arguments, every check settled before the
// market data is asked anything but the instrument types (an index is not held).
Series checked_range(const py::module_& m, Codes& ids, py::handle portfolio_series,
                     py::handle benchmark, py::handle start_date, py::handle end_date) {
    const auto all = check::snapshot_list(
        py::reinterpret_borrow<py::object>(portfolio_series), "portfolio_series");
    const std::int64_t start =
        check::bound_day(py::reinterpret_borrow<py::object>(start_date), "start_date");
    const std::int64_t end =
        check::bound_day(py::reinterpret_borrow<py::object>(end_date), "end_date");
    check::check_range(start, end);
    check::check_benchmark_object(py::reinterpret_borrow<py::object>(benchmark),
                                  {"components", "get_weighting", "get_change_rate"});
    if (all.empty())
        check::refuse_empty("portfolio_series is empty: it has no snapshot");
    const auto days = check::snapshot_days(all, "portfolio_series", true);
    Series s;
    std::vector<std::int64_t> kept;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (days[i] < start || days[i] > end) continue;
        read_snapshot(s, all[i], ids, Money::check,
                      [&] { return meridan::periods::iso_day(days[i]); });
        kept.push_back(days[i]);
    }
    if (kept.empty()) check::refuse_empty_range("portfolio_series", start, end, days);
    check::check_closing_snapshot(s.snapshots.back(),
                                  meridan::periods::iso_day(kept.back()));
    for (const core::FirstHolding& first : core::first_holdings(s.plain)) {
        const py::object& oid = ids.label(first.id);
        py::object record;
        try {
            record = mb::service(m, "instruments")(oid);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            continue;  // an id the market data does not know is no known index
        }
        check::check_not_index(oid, py::getattr(record, "type", py::none()),
                               meridan::periods::iso_day(kept[first.snapshot]));
    }
    return s;
}

// The splits the provider reports for each snapshot's date, asked with a view of the
// ids held (a dict's keys, as the holdings mapping gives them).
std::vector<core::Period> periods_of(const Series& s, Codes& ids, py::handle md) {
    std::vector<int> last;
    py::object keys;
    auto splits = [&](std::size_t i, std::span<const int> held) {
        if (!keys || !std::equal(held.begin(), held.end(), last.begin(), last.end())) {
            py::dict view;
            for (int c : held) view[ids.label(c)] = py::none();
            keys = view.attr("keys")();
            last.assign(held.begin(), held.end());
        }
        py::object reply =
            mb::call_method<"get_split_coefficient">(md, keys, s.dates[i]);
        std::vector<core::Split> out;
        auto add = [&](py::handle oid, py::handle coefficient) {
            const int c = ids.code(oid);
            if (std::find(held.begin(), held.end(), c) == held.end()) {
                PyErr_SetObject(PyExc_KeyError, oid.ptr());
                throw py::error_already_set();
            }
            out.push_back({c, as_double(coefficient)});
        };
        if (PyDict_CheckExact(reply.ptr())) {
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(reply.ptr(), &pos, &key, &value)) add(key, value);
            return out;
        }
        for (py::handle pair : reply.attr("items")()) {
            py::tuple t = py::reinterpret_borrow<py::object>(pair).cast<py::tuple>();
            if (t.size() != 2)
                throw py::value_error("expected (order_book_id, coefficient) pairs");
            add(t[0], t[1]);
        }
        return out;
    };
    return core::split_by_holdings(s.plain, splits);
}

// ------------------------------------------------------------ single periods

// One period's instruments as read: weights, compound returns and the sector codes of
// the classifier's answers for the two groupings (weights, then weighted returns).
struct Holdings {
    std::vector<int> ids;
    std::vector<double> weight, ret;
    std::vector<int> weight_sector, return_sector;
    std::optional<double> cash;           // the portfolio's cash weight
    py::object weight_name = py::none();  // the name pandas carries to the weights
};

// Compound return of each id over a change-rate reply: a DataFrame with a column per
// id (an id without a column gets NaN, which the sums skip), or one Series whose
// return applies to every id.
std::vector<double> compound_reply(const py::object& reply,
                                   const std::vector<int>& wanted, Codes& ids) {
    static PyObject* const frame =
        py::object(mb::pandas().attr("DataFrame")).release().ptr();
    static PyObject* const series =
        py::object(mb::pandas().attr("Series")).release().ptr();
    const bool is_frame = PyObject_IsInstance(reply.ptr(), frame) == 1;
    if (!is_frame && PyObject_IsInstance(reply.ptr(), series) != 1) {
        if (PyErr_Occurred()) throw py::error_already_set();
        // What the reply's own `reply + 1` says (None: TypeError).
        mb::add(reply, py::int_(1));
        throw py::type_error("get_price_change_rate answered " +
                             py::repr(py::type::of(reply)).cast<std::string>() +
                             ", not a DataFrame");
    }
    py::array_t<double, py::array::c_style | py::array::forcecast> table =
        mb::call_method<"to_numpy">(reply, py::str("float64"));
    const auto rows = table.ndim() > 0 ? static_cast<std::size_t>(table.shape(0)) : 0;
    const auto cols = table.ndim() == 2 ? static_cast<std::size_t>(table.shape(1)) : 1;
    const std::vector<double> growth =
        core::compound_columns(std::span(table.data(), rows * cols), rows, cols);
    if (!is_frame) return std::vector<double>(wanted.size(), growth[0]);
    std::vector<int> columns;
    for (py::handle c :
         py::list(mb::call_method<"tolist">(mb::getattr<"columns">(reply))))
        columns.push_back(ids.code(c));
    return core::returns_by_label(wanted, columns, growth);
}

py::object change_rates(const py::module_& m, const std::vector<int>& wanted,
                        Codes& ids, py::handle start, py::handle end) {
    return mb::service(m, "get_price_change_rate")(ids.labels_of(wanted),
                                                   py::arg("start_date") = start,
                                                   py::arg("end_date") = end);
}

void classify_twice(Holdings& h, py::handle classifier, const Codes& ids,
                    Codes& sectors) {
    for (auto* out : {&h.weight_sector, &h.return_sector})
        for (int id : h.ids)
            out->push_back(
                sectors.sector(mb::call_method<"__call__">(classifier, ids.label(id))));
}

// A portfolio period from snapshot `first` to `last` of the series: the first
// snapshot's non-zero positions by market value, compounded with one request.
Holdings read_portfolio_period(const py::module_& m, const Series& s, std::size_t first,
                               std::size_t last, Codes& ids) {
    if (s.plain.market_value[first] == 0.0)
        throw py::value_error("the portfolio snapshot of " +
                              py::str(s.dates[first]).cast<std::string>() +
                              " has market_value 0, so its weights are undefined");
    core::PeriodWeights w = core::period_weights(s.plain, first);
    Holdings h;
    h.ids = std::move(w.ids);
    h.weight = std::move(w.weight);
    if (!h.ids.empty())
        h.ret = compound_reply(
            change_rates(m, h.ids, ids, s.dates[first], s.dates[last]), h.ids, ids);
    return h;
}

// A benchmark run from `start` to `end`: the weights of `start` as fractions of their
// sum, compounded with one request for all constituents.
Holdings read_benchmark_period(const py::module_& m, py::handle benchmark,
                               py::handle start, py::handle end, Codes& ids) {
    py::object weighting = mb::call_method<"get_weighting">(benchmark, start);
    Holdings h;
    h.weight_name = py::getattr(weighting, "name", py::none());
    std::tie(h.ids, h.weight) = read_series(weighting, ids);
    core::divide_by_sum(h.weight);
    h.ret = compound_reply(change_rates(m, h.ids, ids, start, end), h.ids, ids);
    return h;
}

// A table's rows with their labels: "现金" and the classifier's sectors.
struct Table {
    py::list labels;
    core::SectorRows rows;
};
Table sector_rows(py::handle classifier, Codes& sectors) {
    py::list labels;
    labels.append(py::str(kCash));
    for (py::handle s : mb::call_method<"all_sectors">(classifier)) labels.append(s);
    std::vector<int> codes;
    for (py::handle l : labels) codes.push_back(sectors.sector(l));
    return {labels, core::SectorRows(std::move(codes))};
}

core::SectorResult on_table(const Holdings& h, const Table& t, Codes& sectors) {
    std::optional<core::CashRow> cash;
    if (h.cash) cash = core::CashRow{sectors.code(py::str(kCash)), *h.cash};
    return core::on_rows(t.rows, h.weight, h.ret, h.weight_sector, h.return_sector,
                         cash);
}

// A period's (weight, return) Series in pandas' group order, then cash for a
// portfolio; the weights keep their Series' name, as groupby's sum does.
py::object sorted_result(const Holdings& h, Codes& sectors) {
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
    const core::SectorResult r = on_table(h, t, sectors);
    return py::make_tuple(float_series(r.weight, t.labels, h.weight_name),
                          float_series(r.ret, t.labels));
}

py::object result_pair(const core::SectorResult& r, const py::list& labels) {
    return py::make_tuple(float_series(r.weight, labels), float_series(r.ret, labels));
}

// ------------------------------------------------------------ benchmark side

// Whether two dates' constituents are the same set: equal lists (or tuples) without
// building sets, anything else as sets (a one-shot iterable read once).
struct Constituents {
    py::object given, set;
    const py::object& as_set() {
        if (!set) set = steal(PySet_New(given.ptr()));
        return set;
    }
};
bool listed(py::handle v) {
    return PyList_CheckExact(v.ptr()) || PyTuple_CheckExact(v.ptr());
}

// The benchmark over `dates`: runs of unchanged constituents linked, normalised and
// rescaled to the benchmark's own change from the first date to the last.
std::pair<core::SectorResult, Table> benchmark_result(
    const py::module_& m, py::handle benchmark, const std::vector<py::object>& dates,
    py::handle classifier, Codes& ids, Codes& sectors) {
    std::unique_ptr<bool[]> same(new bool[dates.size()]);
    Constituents previous;
    for (std::size_t i = 0; i < dates.size(); ++i) {
        Constituents now{mb::call_method<"components">(benchmark, dates[i]), {}};
        if (!listed(now.given)) now.as_set();
        same[i] = i == 0 || now.given.ptr() == previous.given.ptr() ||
                  (listed(now.given) &&
                   Py_TYPE(now.given.ptr()) == Py_TYPE(previous.given.ptr()) &&
                   mb::equal(now.given, previous.given)) ||
                  mb::equal(now.as_set(), previous.as_set());
        previous = std::move(now);
    }
    std::vector<Holdings> runs;
    std::vector<double> lengths;
    for (const core::Run& run :
         core::constituent_runs(std::span(same.get(), dates.size()))) {
        runs.push_back(read_benchmark_period(m, benchmark, dates[run.first],
                                             dates[run.first + run.length - 1], ids));
        classify_twice(runs.back(), classifier, ids, sectors);
        lengths.push_back(static_cast<double>(run.length));
    }
    Table t = sector_rows(classifier, sectors);
    std::vector<core::SectorResult> on_rows;
    for (const Holdings& h : runs) on_rows.push_back(on_table(h, t, sectors));
    const double actual = as_double(
        mb::call_method<"get_change_rate">(benchmark, dates.front(), dates.back()));
    return {core::linked_total(on_rows, lengths, actual), std::move(t)};
}

py::object attribution_frame(const core::SectorResult& p, const core::SectorResult& b,
                             py::list labels, core::Method method) {
    const std::vector<double> table =
        core::attribution_table(p.weight, b.weight, p.ret, b.ret, method);
    labels.append(py::str("总计"));
    py::list columns;
    for (const char* c : kColumns) columns.append(c);
    py::array_t<double> array({static_cast<py::ssize_t>(labels.size()),
                               static_cast<py::ssize_t>(core::kTableColumns)});
    std::copy(table.begin(), table.end(), array.mutable_data());
    py::module_ pd = mb::pandas();
    return pd.attr("DataFrame")(array, py::arg("index") = pd.attr("Index")(labels),
                                py::arg("columns") = pd.attr("Index")(columns));
}

py::object calc_table(const py::module_& m, py::handle portfolio_series,
                      py::handle benchmark, py::handle classifier,
                      py::handle start_date, py::handle end_date, py::handle md,
                      py::handle method) {
    Codes ids, sectors;
    const Series s =
        checked_range(m, ids, portfolio_series, benchmark, start_date, end_date);
    std::vector<Holdings> periods;
    std::vector<double> lengths;
    for (const core::Period& p : periods_of(s, ids, md)) {
        periods.push_back(
            read_portfolio_period(m, s, p.first, p.first + p.length - 1, ids));
        classify_twice(periods.back(), classifier, ids, sectors);
        periods.back().cash = s.plain.cash[p.first] / s.plain.market_value[p.first];
        lengths.push_back(static_cast<double>(p.length));
    }
    const Table t = sector_rows(classifier, sectors);
    std::vector<core::SectorResult> on_rows;
    for (const Holdings& h : periods) on_rows.push_back(on_table(h, t, sectors));
    const double actual =
        s.plain.market_value.back() / s.plain.market_value.front() - 1.0;
    const core::SectorResult portfolio = core::linked_total(on_rows, lengths, actual);
    // The benchmark's rows come from a second all_sectors() call; a classifier that
    // answers differently is read by label onto the first list.
    auto [bench, bench_table] =
        benchmark_result(m, benchmark, s.dates, classifier, ids, sectors);
    const core::Method how =
        mb::equal(method, "BHB") ? core::Method::BHB : core::Method::BrinsonFachler;
    return attribution_frame(portfolio,
                             core::realigned(bench, bench_table.rows, t.rows),
                             py::list(t.labels), how);
}

}  // namespace

PYBIND11_MODULE(calc, m) {
    m.doc() = "Brinson attribution of a portfolio series against a benchmark.";
    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("tickvane") = py::module_::import("tickvane");

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
        named<2>([](py::handle portfolio_series, py::handle md) {
            Codes ids;
            const Series s = read_quantities(portfolio_series, ids);
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
        named<2>([m](py::handle portfolio, py::handle classifier) {
            Codes ids, sectors;
            const Series all = read_quantities(portfolio, ids);
            if (all.snapshots.empty())
                check::refuse_empty(
                    "portfolio is empty: a period holds at least one snapshot");
            Series s;  // the period's ends, the first one's money read
            for (const py::object& end : {all.snapshots.front(), all.snapshots.back()})
                read_snapshot(s, end, ids, s.dates.empty() ? Money::read : Money::skip,
                              [&] { return check::snapshot_date_text(end); });
            Holdings h = read_portfolio_period(m, s, 0, 1, ids);
            classify_twice(h, classifier, ids, sectors);
            h.cash = as_double(item<"cash">(s.snapshots[0])) / s.plain.market_value[0];
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
        named<2>([](py::handle results, py::handle sectors) {
            Codes codes;
            const py::list labels(py::reinterpret_borrow<py::object>(sectors));
            std::vector<int> row_codes;
            for (py::handle l : labels) row_codes.push_back(codes.sector(l));
            const core::SectorRows rows(std::move(row_codes));
            std::vector<core::SectorResult> periods;
            std::vector<double> lengths;
            for (py::handle entry : results) {
                py::tuple pair =
                    py::reinterpret_borrow<py::object>(entry).cast<py::tuple>();
                if (pair.size() != 2)
                    throw py::value_error("expected (length, result) pairs");
                py::tuple result = pair[1].cast<py::tuple>();
                if (result.size() != 2)
                    throw py::value_error(
                        "expected (sector_weight, sector_return) pairs");
                lengths.push_back(as_double(pair[0]));
                auto [wl, w] = read_series(result[0], codes);
                auto [rl, r] = read_series(result[1], codes);
                try {
                    periods.push_back(core::reindexed(rows, wl, w, rl, r));
                } catch (const std::invalid_argument& e) {
                    throw py::value_error(e.what());
                }
            }
            if (periods.empty()) {  // no period: 0/0 weights, as for any weight-0 row
                return result_pair({std::vector<double>(rows.size(), NAN),
                                    std::vector<double>(rows.size(), 0.0)},
                                   labels);
            }
            return result_pair(core::link_periods(periods, lengths), labels);
        }));

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
        named<4>([m](py::handle benchmark, py::handle classifier, py::handle start_date,
                     py::handle end_date) {
            Codes ids, sectors;
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
        named<3>([m](py::handle benchmark, py::handle dates, py::handle classifier) {
            const std::vector<py::object> days =
                fast_items(dates, "expected a sequence of snapshots");
            if (days.empty())
                check::refuse_empty("dates is empty: it has no first date");
            Codes ids, sectors;
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
        named<7>([m](py::handle portfolio_series, py::handle benchmark,
                     py::handle classifier, py::handle start_date, py::handle end_date,
                     py::handle md, py::handle method) {
            return calc_table(m, portfolio_series, benchmark, classifier, start_date,
                              end_date, md, method);
        }));
}
