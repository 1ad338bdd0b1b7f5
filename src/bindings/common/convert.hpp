// Conversions between the Python objects that carry numbers, dates and ids (float,
// Decimal and numpy scalars; datetime, pandas Timestamp and Index, numpy datetime64;
// one id or a list of them) and the plain values of the core. Every binding reads a
// single number, a date or a list of ids through these, so each is read one way.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "common/api.hpp"

namespace meridan::bind {

namespace py = pybind11;

/// A number as a double: `float(value)` for what Python can turn into a float without
/// parsing (int, float, bool, Decimal, Fraction, numpy scalars; not text). When it
/// cannot, TypeError "<what> must be a number, got <repr>" where `what` is given, and
/// Python's own TypeError otherwise; other errors (OverflowError for an int too large)
/// are Python's own.
MERIDAN_BIND_API double to_double(py::handle value, std::string_view what = {});

/// Day number used for labels that name no calendar day (NaT, other objects).
inline constexpr std::int64_t no_day = std::numeric_limits<std::int64_t>::min();

/// Calendar day of a date-like value: datetime.date, datetime.datetime (pandas
/// Timestamp included; its wall-clock day), numpy datetime64, or ISO date text.
/// Empty for anything else and for NaT.
MERIDAN_BIND_API std::optional<std::int64_t> day_number(py::handle value);

/// Calendar day of every label of a pandas Index (`no_day` where a label is not a
/// date). Vectorised for a DatetimeIndex.
MERIDAN_BIND_API std::vector<std::int64_t> index_day_numbers(py::handle index);

/// True for a datetime.datetime (a pandas Timestamp included), false for NaT.
MERIDAN_BIND_API bool is_datetime(py::handle value);

/// True for a datetime.date that is not a datetime (nor a subclass of date).
MERIDAN_BIND_API bool is_plain_date(py::handle value);

/// A new datetime.date for a day number.
MERIDAN_BIND_API py::object date_object(std::int64_t day);

/// The ids of a request as a new list: one id given as text, or any iterable of ids,
/// read once.
MERIDAN_BIND_API py::list id_list(const py::object& ids);

/// The labels of a pandas Index as a new list, as `index.tolist()` gives them, read
/// through `index.to_numpy(dtype=object)`: a fraction of tolist's time on the
/// Arrow-backed text of newer pandas. An object without `to_numpy` is asked for
/// `tolist()`.
MERIDAN_BIND_API py::list label_list(py::handle index);

/// `index[position]` for a position inside `index` (from 0), as pandas answers it. A
/// DatetimeIndex without a time zone gives the Timestamp of its datetime64 value
/// (equal to pandas' own answer, of the same unit) without pandas' indexing, whose
/// first use costs a new process more than many a short analysis.
MERIDAN_BIND_API py::object label_at(py::handle index, py::ssize_t position);

/// The labels at `positions` as a new list: `label_at` of each for a DatetimeIndex
/// without a time zone, `index.take(positions)` (one pandas call) for any other index.
MERIDAN_BIND_API py::list labels_at(py::handle index,
                                    const std::vector<py::ssize_t>& positions);

/// The pandas module (imported on first use, kept by the import system).
MERIDAN_BIND_API py::module_ pandas();

/// Looks up now what the conversions otherwise look up on first use: the datetime C
/// interface and this runtime library's copy of numpy's C interface (a version check
/// included; pandas is not imported). Called with a module's imports, so that a
/// process's first analysis does not pay for them. A module that makes numpy arrays in
/// its own code holds its own copy of that interface and looks it up as well
/// (`py::dtype::of<double>()`).
MERIDAN_BIND_API void prepare_conversions();

}  // namespace meridan::bind
