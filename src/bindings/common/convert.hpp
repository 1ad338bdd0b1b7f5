// Conversions between the Python objects that carry dates and numbers (datetime,
// pandas Timestamp and Index, numpy datetime64) and the plain values of the core.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace meridan::bind {

namespace py = pybind11;

/// Day number used for labels that name no calendar day (NaT, other objects).
inline constexpr std::int64_t no_day = std::numeric_limits<std::int64_t>::min();

/// Calendar day of a date-like value: datetime.date, datetime.datetime (pandas
/// Timestamp included; its wall-clock day), numpy datetime64, or ISO date text.
/// Empty for anything else and for NaT.
std::optional<std::int64_t> day_number(py::handle value);

/// Calendar day of every label of a pandas Index (`no_day` where a label is not a
/// date). Vectorised for a DatetimeIndex.
std::vector<std::int64_t> index_day_numbers(py::handle index);

/// True for a datetime.datetime (a pandas Timestamp included), false for NaT.
bool is_datetime(py::handle value);

/// True for a datetime.date that is not a datetime (nor a subclass of date).
bool is_plain_date(py::handle value);

/// A new datetime.date for a day number.
py::object date_object(std::int64_t day);

/// The ids of a request as a new list: one id given as text, or any iterable of ids,
/// read once.
py::list id_list(const py::object& ids);

/// The pandas module (imported on first use, kept by the import system).
py::module_ pandas();

}  // namespace meridan::bind
