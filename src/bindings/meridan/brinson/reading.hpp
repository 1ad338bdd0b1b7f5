// Reading what the caller and the market data give the Brinson bindings into plain
// values for the core (snapshots, Series, change-rate and split replies, classifier
// answers, benchmark constituents), and building the pandas results back. Labels (ids,
// sectors) become integer codes as Python's own hashing and equality decide.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/key_places.hpp"
#include "common/names.hpp"
#include "common/pyclass.hpp"
#include "meridan/brinson/benchmark_runs.hpp"
#include "meridan/brinson/period_splitting.hpp"
#include "meridan/brinson/sector_table.hpp"

namespace meridan::bind::brinson {

namespace py = pybind11;

/// A new reference taken over, or the pending error raised.
py::object steal(PyObject* p);

/// `mapping[key]`: a plain dict read directly, anything else through __getitem__.
template <fixed_string Key>
py::object item(py::handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), name<Key>().ptr());
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name<Key>().ptr());
        throw py::error_already_set();
    }
    return steal(PyObject_GetItem(mapping.ptr(), name<Key>().ptr()));
}

double as_double(py::handle value);

/// The items of a sequence, read once; `what` is the TypeError's text otherwise.
std::vector<py::object> items_of(py::handle sequence, const char* what);
/// Integer codes for labels: equal labels share a code (a dict keyed by the label
/// decides); the first label seen is kept. `sector` gives kNoSector for the labels
/// pandas' grouping drops (None, NaN).
class Codes {
public:
    /// With `keep`, an equal label met as another object is kept too (a reference
    /// held for the table's life), so that it is not hashed again: for answers that
    /// come back as the same few objects, such as a classifier's.
    int code(py::handle label, bool keep = false);
    int sector(py::handle label, bool keep = false);
    const py::object& label(int c) const {
        return labels_[static_cast<std::size_t>(c)];
    }
    py::list labels_of(std::span<const int> codes) const;

private:
    py::dict code_of_;
    std::vector<py::object> labels_;
    // The kept labels by address: the same object asked again (an id in every
    // snapshot, a sector name from the same record) skips hashing. Only labels held
    // here are entered, so an address here always belongs to its label.
    std::unordered_map<const PyObject*, int> kept_;
    std::vector<py::object> aliases_;  // equal labels kept as other objects
};

/// A Series' labels (as codes) and values (as floats).
std::pair<std::vector<int>, std::vector<double>> read_series(py::handle series,
                                                             Codes& codes);

/// A float64 Series of `values` by `labels`.
py::object float_series(const std::vector<double>& values, py::handle labels,
                        py::handle name = py::none());

/// The DataFrame of a row-major table of float64, rows and columns labelled.
py::object float_frame(const std::vector<double>& table, const py::list& rows,
                       const py::list& columns);

/// The entries (length, (sector_weight, sector_return)) of `results`, each result
/// reindexed onto `rows`, and the lengths.
std::pair<std::vector<meridan::brinson::SectorResult>, std::vector<double>>
read_results(py::handle results, const meridan::brinson::SectorRows& rows,
             Codes& codes);

// ------------------------------------------------------------------ snapshots

/// Snapshots read once: the objects, their dates as given and their numbers, and
/// where the positions' dicts hold their keys (learnt from the first).
struct Series {
    std::vector<py::object> snapshots, dates;
    meridan::brinson::PlainSeries plain;
    KeyPlaces<3> fields{
        {name<"order_book_id">(), name<"quantity">(), name<"market_value">()}};
    bool fields_learnt = false;
};

/// How a snapshot's money is read: not at all, read (the snapshot's market value
/// and the values of the positions held), or read and checked with everything else.
enum class Money { skip, read, check };

/// Reads a snapshot's positions (quantities checked) and its money as `money` says
/// onto `s`. A fault found, or a value that does not read, is reported by the shared
/// snapshot check in its own words; `date` gives its text, made only then.
void read_snapshot(Series& s, py::handle snapshot, Codes& ids, Money money,
                   const std::function<std::string()>& date);

/// The snapshots of a series, quantities read and checked.
Series read_quantities(py::handle series, Codes& ids);

/// The snapshots of `portfolio_series` from `start_date` to `end_date` (calendar
/// days, both included) after the refusals of calc's arguments, every check settled
/// before the market data is asked anything but the instrument types (an index is
/// not held).
Series checked_range(const py::module_& m, Codes& ids, py::handle portfolio_series,
                     py::handle benchmark, py::handle start_date, py::handle end_date);

// ------------------------------------------------------------ market data

/// The splits of a `get_split_coefficient` reply (a dict, or a mapping of pairs) for
/// the ids `held`; KeyError for an id not held.
std::vector<meridan::brinson::Split> read_splits(const py::object& reply, Codes& ids,
                                                 std::span<const int> held);

/// Compound return of each id of `wanted` over a change-rate reply: a DataFrame with
/// a column per id (an id without a column gets NaN, which the sums skip), or one
/// Series whose return applies to every id.
std::vector<double> compound_reply(const py::object& reply,
                                   const std::vector<int>& wanted, Codes& ids);

/// One change-rate request for the ids `wanted` from `start` to `end`.
py::object change_rates(const py::module_& m, const std::vector<int>& wanted,
                        const Codes& ids, py::handle start, py::handle end);

/// The sector codes of the classifier's answers for each of `ids`, called in order.
std::vector<int> sectors_of(py::handle classifier, std::span<const int> ids,
                            const Codes& id_codes, Codes& sectors);

/// The runs of dates with unchanged constituents (`benchmark.components(date)`,
/// asked for every date): equal lists or tuples compared without building sets,
/// anything else as sets (a one-shot iterable read once).
std::vector<meridan::brinson::Run> constituent_runs(
    py::handle benchmark, const std::vector<py::object>& dates);

// ------------------------------------------------------------------ periods

/// The periods of unchanged holdings of `s`: each snapshot's date asks
/// `md.get_split_coefficient(<a dict view of the ids held>, date)` for its splits.
std::vector<meridan::brinson::Period> periods_of(const Series& s, Codes& ids,
                                                 py::handle md);

/// One period's instruments as read: weights, compound returns and the sector codes
/// of the classifier's answers for the two groupings (weights, then weighted returns).
struct Holdings {
    std::vector<int> ids;
    std::vector<double> weight, ret;
    std::vector<int> weight_sector, return_sector;
    std::optional<double> cash;           // the portfolio's cash weight
    py::object weight_name = py::none();  // the name pandas carries to the weights
};

/// The classifier asked twice per instrument of `h`, once for each grouping.
void classify_twice(Holdings& h, py::handle classifier, const Codes& ids,
                    Codes& sectors);

/// A portfolio period from snapshot `first` to `last` of `s`: the first snapshot's
/// non-zero positions by market value, compounded with one request (ValueError
/// naming the date for a first snapshot worth 0).
Holdings read_portfolio_period(const py::module_& m, const Series& s, std::size_t first,
                               std::size_t last, Codes& ids);

/// A benchmark run from `start` to `end`: the weights of `start` as fractions of
/// their sum, compounded with one request for all constituents.
Holdings read_benchmark_period(const py::module_& m, py::handle benchmark,
                               py::handle start, py::handle end, Codes& ids);

}  // namespace meridan::bind::brinson
