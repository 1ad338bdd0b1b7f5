// Reading the Brinson bindings' Python inputs into plain values and building the
// pandas results back: see reading.hpp.
#include "meridan/brinson/reading.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <tuple>

#include "common/convert.hpp"
#include "common/globals.hpp"
#include "common/pyops.hpp"
#include "meridan/analysis_inputs.hpp"
#include "meridan/brinson/compounding.hpp"
#include "meridan/brinson/linking.hpp"
#include "meridan/brinson/sector_table.hpp"

namespace meridan::bind::brinson {

namespace core = meridan::brinson;
namespace check = meridan::analysis;

py::object steal(PyObject* p) {
    if (!p) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(p);
}

double as_double(py::handle value) { return to_double(value); }

std::vector<py::object> items_of(py::handle sequence, const char* what) {
    return check::sequence_items(sequence, what);
}

int Codes::code(py::handle label, bool keep) {
    if (const auto at = kept_.find(label.ptr()); at != kept_.end()) return at->second;
    PyObject* c = PyDict_GetItemWithError(code_of_.ptr(), label.ptr());
    if (c) {
        const int found = static_cast<int>(PyLong_AsLong(c));
        if (keep) {
            aliases_.push_back(py::reinterpret_borrow<py::object>(label));
            kept_.emplace(label.ptr(), found);
        }
        return found;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    const int n = static_cast<int>(labels_.size());
    if (PyDict_SetItem(code_of_.ptr(), label.ptr(), py::int_(n).ptr()) < 0)
        throw py::error_already_set();
    labels_.push_back(py::reinterpret_borrow<py::object>(label));
    kept_.emplace(label.ptr(), n);
    return n;
}

int Codes::sector(py::handle label, bool keep) {
    const bool dropped =
        label.is_none() ||
        (PyFloat_Check(label.ptr()) && std::isnan(PyFloat_AS_DOUBLE(label.ptr())));
    return dropped ? core::kNoSector : code(label, keep);
}

py::list Codes::labels_of(std::span<const int> codes) const {
    py::list out;
    for (int c : codes) out.append(label(c));
    return out;
}

std::pair<std::vector<int>, std::vector<double>> read_series(py::handle series,
                                                             Codes& codes) {
    const py::list labels = label_list(getattr<"index">(series));
    py::array_t<double, py::array::c_style | py::array::forcecast> values =
        series.attr("to_numpy")(py::arg("dtype") = "float64");
    std::vector<int> out;
    for (py::handle l : labels) out.push_back(codes.code(l));
    return {std::move(out),
            std::vector<double>(values.data(), values.data() + values.size())};
}

py::object float_series(const std::vector<double>& values, py::handle labels,
                        py::handle name) {
    py::module_ pd = pandas();
    py::array_t<double> array(static_cast<py::ssize_t>(values.size()), values.data());
    return pd.attr("Series")(array, py::arg("index") = pd.attr("Index")(labels),
                             py::arg("name") = name);
}

py::object float_frame(const std::vector<double>& table, const py::list& rows,
                       const py::list& columns) {
    const auto n_rows = static_cast<py::ssize_t>(rows.size());
    const auto n_columns = static_cast<py::ssize_t>(columns.size());
    py::array_t<double> array({n_rows, n_columns});
    std::copy(table.begin(), table.end(), array.mutable_data());
    py::module_ pd = pandas();
    return pd.attr("DataFrame")(array, py::arg("index") = pd.attr("Index")(rows),
                                py::arg("columns") = pd.attr("Index")(columns));
}

std::pair<std::vector<core::SectorResult>, std::vector<double>> read_results(
    py::handle results, const core::SectorRows& rows, Codes& codes) {
    std::vector<core::SectorResult> periods;
    std::vector<double> lengths;
    for (py::handle entry : results) {
        py::tuple pair = py::reinterpret_borrow<py::object>(entry).cast<py::tuple>();
        if (pair.size() != 2) throw py::value_error("expected (length, result) pairs");
        py::tuple result = pair[1].cast<py::tuple>();
        if (result.size() != 2)
            throw py::value_error("expected (sector_weight, sector_return) pairs");
        lengths.push_back(as_double(pair[0]));
        auto [wl, w] = read_series(result[0], codes);
        auto [rl, r] = read_series(result[1], codes);
        try {
            periods.push_back(core::reindexed(rows, wl, w, rl, r));
        } catch (const std::invalid_argument& e) {
            throw py::value_error(e.what());
        }
    }
    return {std::move(periods), std::move(lengths)};
}

// ------------------------------------------------------------------ snapshots

void read_snapshot(Series& s, py::handle snapshot, Codes& ids, Money money,
                   const std::function<std::string()>& date) {
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
            PyObject* const position = items[k];
            const bool plain = PyDict_CheckExact(position);
            if (plain && !s.fields_learnt) {
                s.fields.learn(position);
                s.fields_learnt = true;
            }
            // A plain dict read where positions made alike hold their keys; a missing
            // key, or another mapping, read as `item` reads it.
            auto field = [&](std::size_t f, auto read) -> py::object {
                PyObject* v = plain ? s.fields.get(position, f) : nullptr;
                return v ? py::reinterpret_borrow<py::object>(v) : read(position);
            };
            p.ids.push_back(ids.code(field(0, item<"order_book_id">)));
            const double q = as_double(field(1, item<"quantity">));
            const bool valued = checked || (money == Money::read && q != 0.0);
            p.quantity.push_back(q);
            p.value.push_back(valued ? as_double(field(2, item<"market_value">)) : NAN);
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

Series read_quantities(py::handle series, Codes& ids) {
    Series s;
    for (const py::object& snap : items_of(series, "expected a sequence of snapshots"))
        read_snapshot(s, snap, ids, Money::skip,
                      [&] { return check::snapshot_date_text(snap); });
    return s;
}

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
            record = service(m, "instruments")(oid);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            continue;  // an id the market data does not know is no known index
        }
        check::check_not_index(oid, py::getattr(record, "type", py::none()),
                               meridan::periods::iso_day(kept[first.snapshot]));
    }
    return s;
}

// ------------------------------------------------------------ market data

std::vector<core::Split> read_splits(const py::object& reply, Codes& ids,
                                     std::span<const int> held) {
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
}

std::vector<double> compound_reply(const py::object& reply,
                                   const std::vector<int>& wanted, Codes& ids) {
    static PyObject* const frame =
        py::object(pandas().attr("DataFrame")).release().ptr();
    static PyObject* const series = py::object(pandas().attr("Series")).release().ptr();
    const bool is_frame = PyObject_IsInstance(reply.ptr(), frame) == 1;
    if (!is_frame && PyObject_IsInstance(reply.ptr(), series) != 1) {
        if (PyErr_Occurred()) throw py::error_already_set();
        // What the reply's own `reply + 1` says (None: TypeError).
        add(reply, py::int_(1));
        throw py::type_error("get_price_change_rate answered " +
                             py::repr(py::type::of(reply)).cast<std::string>() +
                             ", not a DataFrame");
    }
    py::array_t<double, py::array::c_style | py::array::forcecast> table =
        call_method<"to_numpy">(reply, py::str("float64"));
    const auto rows = table.ndim() > 0 ? static_cast<std::size_t>(table.shape(0)) : 0;
    const auto cols = table.ndim() == 2 ? static_cast<std::size_t>(table.shape(1)) : 1;
    const std::vector<double> compounded =
        core::compound_columns(std::span(table.data(), rows * cols), rows, cols);
    if (!is_frame) return std::vector<double>(wanted.size(), compounded[0]);
    std::vector<int> columns;
    for (py::handle c : label_list(getattr<"columns">(reply)))
        columns.push_back(ids.code(c));
    return core::returns_by_label(wanted, columns, compounded);
}

py::object change_rates(const py::module_& m, const std::vector<int>& wanted,
                        const Codes& ids, py::handle start, py::handle end) {
    return service(m, "get_price_change_rate")(ids.labels_of(wanted),
                                               py::arg("start_date") = start,
                                               py::arg("end_date") = end);
}

std::vector<int> sectors_of(py::handle classifier, std::span<const int> ids,
                            const Codes& id_codes, Codes& sectors) {
    std::vector<int> out;
    if (ids.empty()) return out;
    out.reserve(ids.size());
    // The call found once for the batch, as a method call would find it (the
    // instance's own attribute first): one look-up instead of one per instrument.
    const py::object call = getattr<"__call__">(classifier);
    for (int id : ids) {
        PyObject* label = id_codes.label(id).ptr();
        out.push_back(sectors.sector(
            steal(PyObject_Vectorcall(call.ptr(), &label, 1, nullptr)), true));
    }
    return out;
}

namespace {

// A date's constituents as given, and as a set when one is needed.
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

}  // namespace

std::vector<core::Run> constituent_runs(py::handle benchmark,
                                        const std::vector<py::object>& dates) {
    std::unique_ptr<bool[]> same(new bool[dates.size()]);
    Constituents previous;
    for (std::size_t i = 0; i < dates.size(); ++i) {
        Constituents now{call_method<"components">(benchmark, dates[i]), {}};
        if (!listed(now.given)) now.as_set();
        same[i] = i == 0 || now.given.ptr() == previous.given.ptr() ||
                  (listed(now.given) &&
                   Py_TYPE(now.given.ptr()) == Py_TYPE(previous.given.ptr()) &&
                   equal(now.given, previous.given)) ||
                  equal(now.as_set(), previous.as_set());
        previous = std::move(now);
    }
    return core::constituent_runs(std::span<const bool>(same.get(), dates.size()));
}

// ------------------------------------------------------------------ periods

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
        return read_splits(call_method<"get_split_coefficient">(md, keys, s.dates[i]),
                           ids, held);
    };
    return core::split_by_holdings(s.plain, splits);
}

void classify_twice(Holdings& h, py::handle classifier, const Codes& ids,
                    Codes& sectors) {
    h.weight_sector = sectors_of(classifier, h.ids, ids, sectors);
    h.return_sector = sectors_of(classifier, h.ids, ids, sectors);
}

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

Holdings read_benchmark_period(const py::module_& m, py::handle benchmark,
                               py::handle start, py::handle end, Codes& ids) {
    py::object weighting = call_method<"get_weighting">(benchmark, start);
    Holdings h;
    h.weight_name = py::getattr(weighting, "name", py::none());
    std::tie(h.ids, h.weight) = read_series(weighting, ids);
    core::divide_by_sum(h.weight);
    h.ret = compound_reply(change_rates(m, h.ids, ids, start, end), h.ids, ids);
    return h;
}

}  // namespace meridan::bind::brinson
