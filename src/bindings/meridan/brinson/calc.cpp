// meridan.brinson.calc: Brinson attribution of a portfolio series against a
// benchmark. Cuts the series into periods of unchanged holdings, weights each
// period's first snapshot, compounds the stocks' daily change rates, groups by sector
// through the caller's classifier, links the periods, does the same for the
// benchmark over runs of unchanged constituents, and builds the attribution table.
//
// The binding gathers inputs in the order the behaviour requires (snapshots, the
// provider's splits, one change-rate request per period or run, two classifier calls
// per instrument and grouping, the benchmark's constituents for every date) and
// leaves the arithmetic to the core in meridan/brinson.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
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
#include "meridan/brinson/sector_grouping.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;
namespace core = meridan::brinson;

namespace {

constexpr const char* kCash = "现金";
constexpr const char* kTotal = "总计";
constexpr const char* kColumns[core::kTableColumns] = {
    "PortfolioWeight", "BenchmarkWeight",  "WeightDifference", "PortfolioReturn",
    "BenchmarkReturn", "ReturnDifference", "Allocation",       "Selection",
    "Interaction",     "TotalActiveReturn"};

py::object steal(PyObject* p) {
    if (!p) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(p);
}

// `mapping[key]`: a plain dict is read directly; anything else (a dict subclass with
// __missing__, another mapping) through its own __getitem__. KeyError names the key.
py::object item(py::handle mapping, py::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw py::error_already_set();
    }
    return steal(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// The keys read from snapshots and positions.
template <mb::fixed_string Key>
py::object item(py::handle mapping) {
    return item(mapping, mb::name<Key>());
}

// `sequence[i]`, with the sequence's own IndexError when out of range.
py::object at(py::handle sequence, Py_ssize_t i) {
    return steal(PyObject_GetItem(sequence.ptr(), py::int_(i).ptr()));
}

// The elements of a sequence given by the caller, read once.
std::vector<py::object> elements(py::handle sequence) {
    return meridan::analysis::sequence_items(sequence, "expected a sequence of snapshots");
}

double as_double(py::handle value) {
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

// Python's `value != 0`, read directly for a plain float.
bool nonzero(py::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr()) != 0.0;
    static PyObject* zero = PyLong_FromLong(0);
    const int ne = PyObject_RichCompareBool(value.ptr(), zero, Py_NE);
    if (ne < 0) throw py::error_already_set();
    return ne == 1;
}

// A label that pandas' grouping drops: None or a float NaN.
bool is_missing_label(py::handle label) {
    return label.is_none() ||
           (PyFloat_Check(label.ptr()) && std::isnan(PyFloat_AS_DOUBLE(label.ptr())));
}

py::object float_series(const std::vector<double>& values, py::handle labels,
                        py::handle name = py::none()) {
    py::module_ pd = mb::pandas();
    py::array_t<double> array(static_cast<py::ssize_t>(values.size()), values.data());
    return pd.attr("Series")(array, py::arg("index") = pd.attr("Index")(labels),
                             py::arg("name") = name);
}

// The values of a Series as floats and its labels.
std::pair<std::vector<py::object>, std::vector<double>> read_series(py::handle series) {
    py::list labels = series.attr("index").attr("tolist")();
    py::array_t<double, py::array::c_style | py::array::forcecast> values =
        series.attr("to_numpy")(py::arg("dtype") = "float64");
    std::vector<py::object> out_labels;
    out_labels.reserve(labels.size());
    for (py::handle l : labels)
        out_labels.push_back(py::reinterpret_borrow<py::object>(l));
    return {std::move(out_labels),
            std::vector<double>(values.data(), values.data() + values.size())};
}

// ------------------------------------------------------------------ splitting

// Refuses a snapshot holding a quantity that is NaN, infinite or negative: the book
// never makes one, and it would compare unequal to itself and cut a period on every
// day, or weigh a short position as a holding.
void check_quantities(const std::vector<py::object>& snapshots) {
    for (const py::object& snapshot : snapshots) {
        meridan::analysis::check_snapshot(
            snapshot, meridan::analysis::snapshot_date_text(snapshot),
            {.money = false, .quantities = true});
    }
}

// The positions of a snapshot, read once as a list.
py::object positions_of(py::handle snapshot) {
    return steal(PySequence_Fast(item<"positions">(snapshot).ptr(),
                                 "positions must be iterable"));
}

// A position list as {order_book_id: quantity}, in position order (a repeated id
// keeps its first place and its last quantity); `listed` receives the ids in order.
py::dict holdings_map(py::handle snapshot, std::vector<py::object>& listed) {
    py::object positions = positions_of(snapshot);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(positions.ptr());
    PyObject** items = PySequence_Fast_ITEMS(positions.ptr());
    py::dict map;
    listed.clear();
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object oid = item<"order_book_id">(items[i]);
        py::object qty = item<"quantity">(items[i]);
        if (PyDict_SetItem(map.ptr(), oid.ptr(), qty.ptr()) < 0)
            throw py::error_already_set();
        listed.push_back(std::move(oid));
    }
    return map;
}

// Whether a snapshot holds exactly `holdings`, answered without building its map when
// it lists the ids of `listed` (the ids of the snapshot the holdings were last
// matched with, so the same key set) in the same order with equal quantities. Empty
// when that quick reading cannot decide.
std::optional<bool> same_holdings(const py::dict& holdings, py::handle snapshot,
                                  const std::vector<py::object>& listed) {
    py::object positions = positions_of(snapshot);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(positions.ptr());
    if (static_cast<std::size_t>(n) != listed.size()) return std::nullopt;
    PyObject** items = PySequence_Fast_ITEMS(positions.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object oid = item<"order_book_id">(items[i]);
        py::object qty = item<"quantity">(items[i]);
        const py::object& expected = listed[static_cast<std::size_t>(i)];
        if (oid.ptr() != expected.ptr() && !mb::equal(oid, expected))
            return std::nullopt;
        PyObject* held = PyDict_GetItemWithError(holdings.ptr(), oid.ptr());
        if (!held) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return std::nullopt;
        }
        // Python's dict comparison: identity first, then ==.
        const int eq = PyObject_RichCompareBool(held, qty.ptr(), Py_EQ);
        if (eq < 0) throw py::error_already_set();
        if (eq == 0) return std::nullopt;
    }
    return true;
}

// A float quantity scaled by a split coefficient, with the rounding noise of the
// multiplication removed (700 x 1.4 is 980.0, not 979.9999999999999); exact number
// types are left alone.
py::object scaled_quantity(py::handle quantity, py::handle coefficient) {
    py::object q = mb::mul(quantity, coefficient);
    if (PyFloat_Check(q.ptr())) {
        const double v = PyFloat_AS_DOUBLE(q.ptr());
        const double whole = std::nearbyint(v);
        if (v != whole && std::fabs(v - whole) <= 1e-6) return py::float_(whole);
    }
    return q;
}

// Applies the splits the provider reports for `date` to `holdings`, in place.
void apply_splits(py::dict& holdings, py::handle keys_view, py::handle md,
                  py::handle date) {
    py::object splits = mb::call_method<"get_split_coefficient">(md, keys_view, date);
    auto apply = [&](py::handle oid, py::handle coefficient) {
        PyObject* held = PyDict_GetItemWithError(holdings.ptr(), oid.ptr());
        if (!held) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, oid.ptr());
            throw py::error_already_set();
        }
        py::object scaled = scaled_quantity(held, coefficient);
        if (PyDict_SetItem(holdings.ptr(), oid.ptr(), scaled.ptr()) < 0)
            throw py::error_already_set();
    };
    if (PyDict_CheckExact(splits.ptr())) {
        if (PyDict_GET_SIZE(splits.ptr()) == 0) return;
        // Collected first: scaling never touches the reply, but the reply may be the
        // provider's own dict.
        std::vector<std::pair<py::object, py::object>> pairs;
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(splits.ptr(), &pos, &key, &value))
            pairs.emplace_back(py::reinterpret_borrow<py::object>(key),
                               py::reinterpret_borrow<py::object>(value));
        for (auto& [oid, c] : pairs) apply(oid, c);
        return;
    }
    for (py::handle pair : splits.attr("items")()) {
        py::tuple t = py::reinterpret_borrow<py::object>(pair).cast<py::tuple>();
        if (t.size() != 2)
            throw py::value_error("expected (order_book_id, coefficient) pairs");
        apply(t[0], t[1]);
    }
}

// One period: snapshots [first, first + length).
struct Period {
    std::size_t first;
    std::size_t length;
};

// Periods of unchanged holdings: a new one starts with every snapshot whose holdings
// differ from those carried over (scaled by the splits effective on its date).
std::vector<Period> split_periods(const std::vector<py::object>& snapshots,
                                  py::handle md) {
    if (snapshots.empty()) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        throw py::error_already_set();
    }
    std::vector<Period> periods;
    std::vector<py::object> listed;
    py::dict holdings = holdings_map(snapshots[0], listed);
    py::object keys_view = holdings.attr("keys")();
    Period current{0, 1};
    for (std::size_t i = 1; i < snapshots.size(); ++i) {
        const py::object& p = snapshots[i];
        apply_splits(holdings, keys_view, md, item<"date">(p));
        if (same_holdings(holdings, p, listed).value_or(false)) {
            ++current.length;
            continue;
        }
        std::vector<py::object> xlisted;
        py::dict xholdings = holdings_map(p, xlisted);
        if (mb::not_equal(holdings, xholdings)) {
            periods.push_back(current);
            current = {i, 1};
            holdings = std::move(xholdings);
            keys_view = holdings.attr("keys")();
        } else {
            ++current.length;
        }
        listed = std::move(xlisted);
    }
    periods.push_back(current);
    return periods;
}

// ------------------------------------------------------------ single periods

// One period's instruments as read: weights, compound returns and the classifier's
// answers for the two groupings (weights, then weighted returns).
struct Holdings {
    std::vector<py::object> ids;
    std::vector<double> weight;
    std::vector<double> ret;
    std::vector<py::object> weight_label;
    std::vector<py::object> return_label;
    std::optional<double> cash;  // the portfolio's cash weight; none for a benchmark
    py::object weight_name = py::none();  // the name pandas carries to the weights
};

// Compound return of every id over the rows of a change-rate reply: a DataFrame with
// a column per id (an id without a column gets NaN, which the sums skip as pandas'
// alignment does), or a single Series, whose return applies to every id.
std::vector<double> compound_reply(const py::object& reply,
                                   const std::vector<py::object>& ids) {
    // The pandas types, looked up once (pandas stays imported for the process).
    static PyObject* const frame_type =
        py::object(mb::pandas().attr("DataFrame")).release().ptr();
    static PyObject* const series_type =
        py::object(mb::pandas().attr("Series")).release().ptr();
    std::vector<double> out(ids.size(), std::nan(""));
    const bool frame = PyObject_IsInstance(reply.ptr(), frame_type) == 1;
    if (!frame && PyObject_IsInstance(reply.ptr(), series_type) != 1) {
        if (PyErr_Occurred()) throw py::error_already_set();
        // What the reply's own arithmetic says of `reply + 1` (None: TypeError).
        mb::add(reply, py::int_(1));
        throw py::type_error("get_price_change_rate answered " +
                             py::repr(py::type::of(reply)).cast<std::string>() +
                             ", not a DataFrame");
    }
    py::array_t<double, py::array::c_style | py::array::forcecast> table =
        mb::call_method<"to_numpy">(reply, py::str("float64"));
    const std::size_t rows =
        table.ndim() > 0 ? static_cast<std::size_t>(table.shape(0)) : 0;
    const std::size_t cols =
        table.ndim() == 2 ? static_cast<std::size_t>(table.shape(1)) : 1;
    const std::vector<double> growth = core::compound_columns(
        std::span<const double>(table.data(), rows * cols), rows, cols);
    if (!frame) {
        std::fill(out.begin(), out.end(), growth[0]);
        return out;
    }
    py::list columns = mb::call_method<"tolist">(mb::getattr<"columns">(reply));
    // Usually the columns are the ids asked for, in order.
    bool in_order = columns.size() == ids.size();
    for (std::size_t j = 0; in_order && j < ids.size(); ++j) {
        PyObject* c = PyList_GET_ITEM(columns.ptr(), static_cast<Py_ssize_t>(j));
        in_order = c == ids[j].ptr() || mb::equal(c, ids[j]);
    }
    if (in_order) return growth;
    py::dict position;
    for (std::size_t j = columns.size(); j-- > 0;) position[columns[j]] = py::int_(j);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        PyObject* j = PyDict_GetItemWithError(position.ptr(), ids[i].ptr());
        if (j) {
            out[i] = growth[py::reinterpret_borrow<py::int_>(j).cast<std::size_t>()];
        } else if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
    }
    return out;
}

// The classifier's answer for each id, one call per id.
std::vector<py::object> classify(py::handle classifier,
                                 const std::vector<py::object>& ids) {
    std::vector<py::object> labels;
    labels.reserve(ids.size());
    for (const py::object& oid : ids)
        labels.push_back(mb::call_method<"__call__">(classifier, oid));
    return labels;
}

void classify_twice(Holdings& h, py::handle classifier) {
    h.weight_label = classify(classifier, h.ids);
    h.return_label = classify(classifier, h.ids);
}

py::object change_rates(const py::module_& m, py::handle ids, py::handle start,
                        py::handle end) {
    return mb::service(m, "get_price_change_rate")(ids, py::arg("start_date") = start,
                                                   py::arg("end_date") = end);
}

// A portfolio period: the first snapshot's non-zero positions weighted by its market
// value, compounded over the period's dates with one change-rate request.
Holdings read_portfolio_period(const py::module_& m, py::handle first,
                               py::handle last) {
    Holdings h;
    py::object start = item<"date">(first);
    py::object end = item<"date">(last);
    py::object total_value = item<"market_value">(first);
    const double total = as_double(total_value);
    if (total == 0.0) {
        throw py::value_error("the portfolio snapshot of " +
                              py::str(start).cast<std::string>() +
                              " has market_value 0, so its weights are undefined");
    }
    py::list requested;
    py::dict weight_of;  // id -> weight, in first-seen order, last value kept
    for (py::handle pos : item<"positions">(first)) {
        if (!nonzero(item<"quantity">(pos))) continue;
        py::object oid = item<"order_book_id">(pos);
        requested.append(oid);
        weight_of[oid] = py::float_(as_double(item<"market_value">(pos)) / total);
    }
    if (!requested.empty()) {
        py::object reply = change_rates(m, requested, start, end);
        for (auto [oid, w] : weight_of) {
            h.ids.push_back(py::reinterpret_borrow<py::object>(oid));
            h.weight.push_back(PyFloat_AS_DOUBLE(w.ptr()));
        }
        h.ret = compound_reply(reply, h.ids);
    }
    return h;
}

void read_portfolio_cash(Holdings& h, py::handle first) {
    h.cash = as_double(item<"cash">(first)) / as_double(item<"market_value">(first));
}

// A benchmark run: the weights of its first date as fractions of their sum,
// compounded over the run with one change-rate request for all constituents.
Holdings read_benchmark_period(const py::module_& m, py::handle benchmark,
                               py::handle start, py::handle end) {
    Holdings h;
    py::object weighting = mb::call_method<"get_weighting">(benchmark, start);
    h.weight_name = py::getattr(weighting, "name", py::none());
    auto [ids, weights] = read_series(weighting);
    core::divide_by_sum(weights);
    py::list requested;
    for (const py::object& oid : ids) requested.append(oid);
    py::object reply = change_rates(m, requested, start, end);
    h.ids = std::move(ids);
    h.weight = std::move(weights);
    h.ret = compound_reply(reply, h.ids);
    return h;
}

// ------------------------------------------------------------------ sector rows

// Rows of a sector table: each label's row, and for a label listed twice, the row it
// copies.
struct Rows {
    py::list labels;
    py::dict row_of;                  // label -> first row
    std::vector<std::size_t> source;  // row -> first row with the same label

    explicit Rows(py::list l) : labels(std::move(l)) {
        for (std::size_t r = 0; r < labels.size(); ++r) {
            py::object label = labels[r];
            PyObject* seen = PyDict_GetItemWithError(row_of.ptr(), label.ptr());
            if (seen) {
                source.push_back(
                    py::reinterpret_borrow<py::int_>(seen).cast<std::size_t>());
            } else {
                if (PyErr_Occurred()) throw py::error_already_set();
                row_of[label] = py::int_(r);
                source.push_back(r);
            }
        }
    }
    std::size_t size() const { return labels.size(); }

    int find(py::handle label) const {
        if (is_missing_label(label)) return core::kNoSector;
        PyObject* r = PyDict_GetItemWithError(row_of.ptr(), label.ptr());
        if (r) return py::reinterpret_borrow<py::int_>(r).cast<int>();
        if (PyErr_Occurred()) throw py::error_already_set();
        return core::kNoSector;
    }

    void copy_repeated(core::SectorResult& result) const {
        for (std::size_t r = 0; r < source.size(); ++r) {
            result.weight[r] = result.weight[source[r]];
            result.ret[r] = result.ret[source[r]];
        }
    }
};

// "现金" followed by the classifier's sectors.
Rows sector_rows(py::handle classifier) {
    py::list labels;
    labels.append(py::str(kCash));
    for (py::handle s : mb::call_method<"all_sectors">(classifier)) labels.append(s);
    return Rows(std::move(labels));
}

// A period's result on the rows of a sector table: labels outside it are dropped;
// the cash row carries the portfolio's cash (replacing a sector of that name).
core::SectorResult on_rows(const Holdings& h, const Rows& rows) {
    std::vector<int> ws, rs;
    for (const py::object& l : h.weight_label) ws.push_back(rows.find(l));
    for (const py::object& l : h.return_label) rs.push_back(rows.find(l));
    core::SectorResult r = core::group_by_sector(h.weight, h.ret, ws, rs, rows.size());
    if (h.cash) {
        const int cash_row = rows.find(py::str(kCash));
        r.weight[static_cast<std::size_t>(cash_row)] = *h.cash;
        r.ret[static_cast<std::size_t>(cash_row)] = 0.0;
    }
    rows.copy_repeated(r);
    return r;
}

// A period's result as the pair of Series the single-period functions return:
// sectors in sorted order (pandas groups that way), then the cash entry for a
// portfolio.
py::object sorted_result(const Holdings& h) {
    py::list present;
    py::set seen;
    for (const auto* labels : {&h.weight_label, &h.return_label}) {
        for (const py::object& l : *labels) {
            if (is_missing_label(l) || seen.contains(l)) continue;
            seen.add(l);
            present.append(l);
        }
    }
    present.attr("sort")();
    bool cash_listed = false;
    const py::str cash(kCash);
    for (py::handle l : present) cash_listed = cash_listed || mb::equal(l, cash);
    if (h.cash && !cash_listed) present.append(py::str(kCash));
    const Rows rows(present);
    const core::SectorResult r = on_rows(h, rows);
    // Grouping keeps the weights' name, as pandas' groupby sum does; the returns are
    // a product with unnamed change rates, so they have none.
    return py::make_tuple(float_series(r.weight, rows.labels, h.weight_name),
                          float_series(r.ret, rows.labels));
}

// A (weight, return) pair of Series read onto the rows, pandas' reindex with fill
// value 0.
core::SectorResult reindexed(py::handle weight, py::handle ret, const Rows& rows) {
    core::SectorResult out{std::vector<double>(rows.size(), 0.0),
                           std::vector<double>(rows.size(), 0.0)};
    for (auto [series, target] :
         {std::pair{weight, &out.weight}, std::pair{ret, &out.ret}}) {
        auto [labels, values] = read_series(series);
        py::set seen;
        for (std::size_t i = 0; i < labels.size(); ++i) {
            if (seen.contains(labels[i]))
                throw py::value_error(
                    "cannot reindex on an axis with duplicate labels");
            seen.add(labels[i]);
            const int r = rows.find(labels[i]);
            if (r != core::kNoSector)
                (*target)[static_cast<std::size_t>(r)] = values[i];
        }
    }
    rows.copy_repeated(out);
    return out;
}

py::object result_pair(const core::SectorResult& r, const Rows& rows) {
    return py::make_tuple(float_series(r.weight, rows.labels),
                          float_series(r.ret, rows.labels));
}

// --------------------------------------------------------------- benchmark side

// A constituent answer, kept as given and as a set once a set is needed.
struct Constituents {
    py::object given;
    py::object set;

    const py::object& as_set() {
        if (!set) set = steal(PySet_New(given.ptr()));
        return set;
    }
};

bool is_list_or_tuple(py::handle v) {
    return PyList_CheckExact(v.ptr()) || PyTuple_CheckExact(v.ptr());
}

// Whether two dates' constituents are the same set. Equal lists are equal sets
// without building either; anything else compares as sets.
bool same_constituents(Constituents& a, Constituents& b) {
    if (a.given.ptr() == b.given.ptr()) return true;
    if (is_list_or_tuple(a.given) && Py_TYPE(a.given.ptr()) == Py_TYPE(b.given.ptr()) &&
        mb::equal(a.given, b.given))
        return true;
    return mb::equal(a.as_set(), b.as_set());
}

// The benchmark over `dates`: runs of unchanged constituents, each attributed with
// the weights of its first date, linked, normalised to a total weight of 1 and
// rescaled to the benchmark's own change from the first date to the last.
std::pair<core::SectorResult, Rows> benchmark_result(
    const py::module_& m, py::handle benchmark, const std::vector<py::object>& dates,
    py::handle classifier) {
    if (dates.empty()) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        throw py::error_already_set();
    }
    std::vector<bool> same(dates.size(), true);
    Constituents previous;
    for (std::size_t i = 0; i < dates.size(); ++i) {
        Constituents current{mb::call_method<"components">(benchmark, dates[i]),
                             py::object()};
        // A one-shot iterable must be read now.
        if (!is_list_or_tuple(current.given)) current.as_set();
        if (i > 0) same[i] = same_constituents(previous, current);
        previous = std::move(current);
    }
    auto flags = std::make_unique<bool[]>(same.size());
    std::copy(same.begin(), same.end(), flags.get());
    const std::vector<core::Run> runs =
        core::constituent_runs(std::span<const bool>(flags.get(), same.size()));

    std::vector<Holdings> periods;
    std::vector<double> lengths;
    for (const core::Run& run : runs) {
        periods.push_back(read_benchmark_period(m, benchmark, dates[run.first],
                                                dates[run.first + run.length - 1]));
        classify_twice(periods.back(), classifier);
        lengths.push_back(static_cast<double>(run.length));
    }
    Rows rows = sector_rows(classifier);
    std::vector<core::SectorResult> on_table;
    for (const Holdings& h : periods) on_table.push_back(on_rows(h, rows));
    core::SectorResult linked = core::link_periods(on_table, lengths);
    core::normalise_weights(linked.weight);
    const double actual = as_double(
        mb::call_method<"get_change_rate">(benchmark, dates.front(), dates.back()));
    core::rescale_returns(linked.weight, linked.ret, actual);
    return {std::move(linked), std::move(rows)};
}

// ------------------------------------------------------------------- the table

// Holdings of an index, looked up once per id among the held instruments of the
// snapshots; an id the market data does not know is not known to be an index.
void check_no_index(const py::module_& m, const std::vector<py::object>& series,
                    const std::vector<std::int64_t>& days) {
    py::set asked;
    for (std::size_t i = 0; i < series.size(); ++i) {
        for (py::handle pos : item<"positions">(series[i])) {
            if (!nonzero(item<"quantity">(pos))) continue;
            py::object oid = item<"order_book_id">(pos);
            if (asked.contains(oid)) continue;
            asked.add(oid);
            py::object record;
            try {
                record = mb::service(m, "instruments")(oid);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_ValueError)) throw;
                continue;
            }
            meridan::analysis::check_not_index(
                oid, py::getattr(record, "type", py::none()),
                meridan::periods::iso_day(days[i]));
        }
    }
}

// The snapshots of `calc` dated from start_date to end_date (calendar days, both
// included), after the refusals of its arguments: a list of snapshots in ascending
// date order, dates that are dates, a range that is not empty and holds a snapshot,
// a benchmark object; each snapshot of the range with finite money and holdings that
// are not negative, the last worth more than 0, no index held. Everything but the
// last check is settled before the market data is asked anything.
std::vector<py::object> checked_range(const py::module_& m, const mb::Args& a) {
    namespace check = meridan::analysis;
    const std::vector<py::object> all = check::snapshot_list(a[0], "portfolio_series");
    const std::int64_t start = check::bound_day(a[3], "start_date");
    const std::int64_t end = check::bound_day(a[4], "end_date");
    check::check_range(start, end);
    check::check_benchmark_object(a[1],
                                  {"components", "get_weighting", "get_change_rate"});
    if (all.empty())
        check::refuse_empty("portfolio_series is empty: it has no snapshot");
    const std::vector<std::int64_t> all_days =
        check::snapshot_days(all, "portfolio_series", true);
    std::vector<py::object> kept;
    std::vector<std::int64_t> kept_days;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all_days[i] < start || all_days[i] > end) continue;
        kept.push_back(all[i]);
        kept_days.push_back(all_days[i]);
    }
    if (kept.empty())
        check::refuse_empty_range("portfolio_series", start, end, all_days);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        check::check_snapshot(kept[i], meridan::periods::iso_day(kept_days[i]),
                              {.money = true, .quantities = true});
    }
    check::check_closing_snapshot(kept.back(),
                                  meridan::periods::iso_day(kept_days.back()));
    check_no_index(m, kept, kept_days);
    return kept;
}

py::object attribution_frame(const core::SectorResult& p, const core::SectorResult& b,
                             const Rows& rows, core::Method method) {
    const std::vector<double> table =
        core::attribution_table(p.weight, b.weight, p.ret, b.ret, method);
    py::list labels(rows.labels);
    labels.append(py::str(kTotal));
    py::list columns;
    for (const char* c : kColumns) columns.append(c);
    py::array_t<double> array({static_cast<py::ssize_t>(labels.size()),
                               static_cast<py::ssize_t>(core::kTableColumns)});
    std::copy(table.begin(), table.end(), array.mutable_data());
    py::module_ pd = mb::pandas();
    return pd.attr("DataFrame")(array, py::arg("index") = pd.attr("Index")(labels),
                                py::arg("columns") = pd.attr("Index")(columns));
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
        [](mb::Args a) {
            const std::vector<py::object> snapshots = elements(a[0]);
            if (snapshots.empty())
                meridan::analysis::refuse_empty(
                    "portfolio_series is empty: it has no snapshot");
            check_quantities(snapshots);
            py::list result;
            for (const auto& period : split_periods(snapshots, a[1])) {
                py::list current;
                for (std::size_t i = 0; i < period.length; ++i)
                    current.append(snapshots[period.first + i]);
                result.append(current);
            }
            return py::object(result);
        });

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
        [m](mb::Args a) {
            const std::vector<py::object> snapshots = elements(a[0]);
            if (snapshots.empty())
                meridan::analysis::refuse_empty("portfolio is empty: a period holds at "
                                                "least one snapshot");
            py::object first = at(a[0], 0);
            py::object last = at(a[0], -1);
            check_quantities(snapshots);
            Holdings h = read_portfolio_period(m, first, last);
            classify_twice(h, a[1]);
            read_portfolio_cash(h, first);
            return sorted_result(h);
        });

    mb::def_function(
        m, {"combine", {"results", "sectors"}, {}},
        "Links single-period results, a list of (length, (sector_weight,\n"
        "sector_return)) in time order, onto the rows `sectors`: (weight, return)\n"
        "Series by `sectors`. Weights are averaged weighted by length (not\n"
        "normalised); each period's contributions are scaled by the growth of the\n"
        "earlier periods, so they add up to the compound total return, and a sector's\n"
        "linked return is its contribution over its average weight (0 for weight 0).\n"
        "Labels outside `sectors` are dropped.",
        [](mb::Args a) {
            const Rows rows{py::list(a[1])};
            std::vector<core::SectorResult> periods;
            std::vector<double> lengths;
            for (py::handle entry : a[0]) {
                py::tuple pair =
                    py::reinterpret_borrow<py::object>(entry).cast<py::tuple>();
                if (pair.size() != 2)
                    throw py::value_error("expected (length, result) pairs");
                py::tuple result = pair[1].cast<py::tuple>();
                if (result.size() != 2)
                    throw py::value_error(
                        "expected (sector_weight, sector_return) pairs");
                lengths.push_back(as_double(pair[0]));
                periods.push_back(reindexed(result[0], result[1], rows));
            }
            if (periods.empty()) {
                // No period: 0/0 weights and returns as for any weight-0 row.
                core::SectorResult none{std::vector<double>(rows.size(), std::nan("")),
                                        std::vector<double>(rows.size(), 0.0)};
                return result_pair(none, rows);
            }
            return result_pair(core::link_periods(periods, lengths), rows);
        });

    mb::def_function(
        m,
        {"calc_benchmark_single_period",
         {"benchmark", "classifier", "start_date", "end_date"},
         {}},
        "Sector weights and returns of the benchmark from `start_date` to `end_date`\n"
        "with the weights of `start_date` (as fractions of their sum):\n"
        "(sector_weight, sector_return), Series by sector in sorted order; no cash.\n"
        "The weights keep the name of the benchmark's weighting Series (\"weight\" for\n"
        "an index).",
        [m](mb::Args a) {
            Holdings h = read_benchmark_period(m, a[0], a[2], a[3]);
            classify_twice(h, a[1]);
            return sorted_result(h);
        });

    mb::def_function(
        m, {"calc_benchmark", {"benchmark", "dates", "classifier"}, {}},
        "The benchmark's (sector_weight, sector_return) over `dates` (ascending),\n"
        "Series by \"现金\" then `classifier.all_sectors()`: dates are cut into runs "
        "of\n"
        "unchanged constituents, each run attributed with the weights of its first\n"
        "date, the runs linked, the weights normalised to 1 and the returns scaled so\n"
        "that their weighted sum is the benchmark's change from the first date to the\n"
        "last (unscaled when the linked sum is 0).",
        [m](mb::Args a) {
            const std::vector<py::object> dates = elements(a[1]);
            if (dates.empty())
                meridan::analysis::refuse_empty("dates is empty: it has no first date");
            auto [result, rows] = benchmark_result(m, a[0], dates, a[2]);
            return result_pair(result, rows);
        });

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
        [m](mb::Args a) {
            const std::vector<py::object> series = checked_range(m, a);
            const py::object& benchmark = a[1];
            const py::object& classifier = a[2];
            const std::vector<Period> splits = split_periods(series, a[5]);
            std::vector<Holdings> periods;
            std::vector<double> lengths;
            for (const Period& p : splits) {
                const py::object& first = series[p.first];
                periods.push_back(
                    read_portfolio_period(m, first, series[p.first + p.length - 1]));
                classify_twice(periods.back(), classifier);
                read_portfolio_cash(periods.back(), first);
                lengths.push_back(static_cast<double>(p.length));
            }
            const Rows rows = sector_rows(classifier);
            std::vector<core::SectorResult> on_table;
            for (const Holdings& h : periods) on_table.push_back(on_rows(h, rows));
            core::SectorResult portfolio = core::link_periods(on_table, lengths);
            core::normalise_weights(portfolio.weight);
            const double actual = as_double(item<"market_value">(series.back())) /
                                      as_double(item<"market_value">(series.front())) -
                                  1.0;
            core::rescale_returns(portfolio.weight, portfolio.ret, actual);

            std::vector<py::object> dates;
            for (const py::object& p : series) dates.push_back(item<"date">(p));
            auto [bench, bench_rows] =
                benchmark_result(m, benchmark, dates, classifier);
            // The benchmark's rows come from a second all_sectors() call; a classifier
            // that answers differently is read by label onto the first list.
            core::SectorResult aligned{std::vector<double>(rows.size(), 0.0),
                                       std::vector<double>(rows.size(), 0.0)};
            for (std::size_t r = 0; r < rows.size(); ++r) {
                const int b = bench_rows.find(rows.labels[r]);
                if (b == core::kNoSector) continue;
                aligned.weight[r] = bench.weight[static_cast<std::size_t>(b)];
                aligned.ret[r] = bench.ret[static_cast<std::size_t>(b)];
            }
            const core::Method method = mb::equal(a[6], "BHB")
                                            ? core::Method::BHB
                                            : core::Method::BrinsonFachler;
            return attribution_frame(portfolio, aligned, rows, method);
        });
}
