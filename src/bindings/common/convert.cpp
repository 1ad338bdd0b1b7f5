#include "common/convert.hpp"

#include <pybind11/numpy.h>
#include <datetime.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/names.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"
#include "meridan/dates/civil.hpp"

namespace meridan::bind {

namespace {

void ensure_datetime_api() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw py::error_already_set();
    }
}

std::int64_t ticks_per_day(const std::string& unit) {
    if (unit == "D") return 1;
    if (unit == "h") return 24;
    if (unit == "m") return 1440;
    if (unit == "s") return 86'400;
    if (unit == "ms") return 86'400'000;
    if (unit == "us") return 86'400'000'000;
    if (unit == "ns") return 86'400'000'000'000;
    return 0;
}

// Day numbers of a numpy datetime64 array of any common unit.
std::vector<std::int64_t> datetime64_days(const py::array& values) {
    py::module_ np = py::module_::import("numpy");
    py::tuple info = np.attr("datetime_data")(values.attr("dtype"));
    const std::int64_t per_day =
        ticks_per_day(info[0].cast<std::string>()) / info[1].cast<std::int64_t>();
    if (per_day <= 0) throw py::value_error("unsupported datetime64 unit");
    auto ticks = values.attr("view")("int64").cast<py::array_t<std::int64_t>>();
    auto view = ticks.unchecked<1>();
    std::vector<std::int64_t> days(static_cast<std::size_t>(view.shape(0)));
    for (py::ssize_t i = 0; i < view.shape(0); ++i) {
        const std::int64_t t = view(i);
        days[static_cast<std::size_t>(i)] =
            t == no_day ? no_day : dates::day_of_ticks(t, per_day);
    }
    return days;
}

}  // namespace

double to_double(py::handle value, std::string_view what) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    const double x = PyFloat_AsDouble(value.ptr());
    if (x == -1.0 && PyErr_Occurred()) {
        // Only a value of the wrong kind is named; an int too large for a float keeps
        // Python's OverflowError, and a failing __float__ its own error.
        if (what.empty() || !PyErr_ExceptionMatches(PyExc_TypeError))
            throw py::error_already_set();
        PyErr_Clear();
        throw py::type_error(std::string(what) + " must be a number, got " +
                             py::repr(value).cast<std::string>());
    }
    return x;
}

py::list id_list(const py::object& ids) {
    if (py::isinstance<py::str>(ids)) {
        py::list one;
        one.append(ids);
        return one;
    }
    return py::list(ids);
}

py::list label_list(py::handle index) {
    auto as_list = [](py::object labels) {
        if (PyList_CheckExact(labels.ptr()))
            return py::reinterpret_steal<py::list>(labels.release());
        return py::list(labels);
    };
    PyObject* to_numpy = PyObject_GetAttr(index.ptr(), name<"to_numpy">().ptr());
    if (!to_numpy) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw py::error_already_set();
        PyErr_Clear();
        return as_list(call_method<"tolist">(index));
    }
    const py::object method = py::reinterpret_steal<py::object>(to_numpy);
    PyObject* array =
        PyObject_CallOneArg(to_numpy, reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    if (!array) throw py::error_already_set();
    return as_list(call_method<"tolist">(py::reinterpret_steal<py::object>(array)));
}

namespace {

// The datetime64 values of `index` when it is a DatetimeIndex (not a subclass) without
// a time zone, whose labels are their Timestamps; nothing otherwise.
std::optional<py::object> naive_datetimes(py::handle index) {
    const py::object type = pandas().attr("DatetimeIndex");
    if (!Py_IS_TYPE(index.ptr(), reinterpret_cast<PyTypeObject*>(type.ptr())) ||
        !getattr<"tz">(index).is_none())
        return std::nullopt;
    return getattr<"values">(index);
}

py::object timestamp_of(const py::object& timestamp, const py::object& values,
                        py::ssize_t position) {
    PyObject* value = PySequence_GetItem(values.ptr(), position);
    if (!value) throw py::error_already_set();
    return call(timestamp, py::reinterpret_steal<py::object>(value));
}

}  // namespace

py::object label_at(py::handle index, py::ssize_t position) {
    if (const auto values = naive_datetimes(index))
        return timestamp_of(pandas().attr("Timestamp"), *values, position);
    return index[py::int_(position)];
}

py::list labels_at(py::handle index, const std::vector<py::ssize_t>& positions) {
    py::list labels;
    if (positions.empty()) return labels;
    if (const auto values = naive_datetimes(index)) {
        const py::object timestamp = pandas().attr("Timestamp");
        for (const py::ssize_t at : positions)
            labels.append(timestamp_of(timestamp, *values, at));
        return labels;
    }
    return py::list(index.attr("take")(py::array_t<py::ssize_t>(
        static_cast<py::ssize_t>(positions.size()), positions.data())));
}

py::module_ pandas() {
    // Looked up once per process: an import statement's machinery on every call
    // cost more than many of the calls that use it. The module is kept for the
    // process (never released at exit, when the interpreter may be gone).
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::module_> module;
    return module
        .call_once_and_store_result([] { return py::module_::import("pandas"); })
        .get_stored();
}

void prepare_conversions() {
    ensure_datetime_api();
    py::dtype::of<double>();
}

std::optional<std::int64_t> day_number(py::handle value) {
    ensure_datetime_api();
    PyObject* v = value.ptr();
    if (PyDate_Check(v)) {  // datetime.datetime and pandas.Timestamp are dates too
        // pandas' NaT derives from datetime but names no day.
        if (std::string_view(Py_TYPE(v)->tp_name).ends_with("NaTType"))
            return std::nullopt;
        return dates::days_from_civil(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v),
                                      PyDateTime_GET_DAY(v));
    }
    py::module_ np = py::module_::import("numpy");
    if (py::isinstance(value, np.attr("datetime64"))) {
        py::array arr = np.attr("array")(value);
        auto days = datetime64_days(arr.attr("reshape")(1));
        if (days.empty() || days[0] == no_day) return std::nullopt;
        return days[0];
    }
    if (py::isinstance<py::str>(value)) {
        try {
            py::object ts = pandas().attr("Timestamp")(value);
            if (!PyDate_Check(ts.ptr())) return std::nullopt;  // NaT
            return day_number(ts);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::vector<std::int64_t> index_day_numbers(py::handle index) {
    py::module_ pd = pandas();
    if (py::isinstance(index, pd.attr("DatetimeIndex"))) {
        py::object wall = py::reinterpret_borrow<py::object>(index);
        if (!index.attr("tz").is_none()) wall = index.attr("tz_localize")(py::none());
        // .values: the datetime64 array itself (to_numpy makes checks and a copy).
        return datetime64_days(wall.attr("values"));
    }
    std::vector<std::int64_t> days;
    days.reserve(py::len(index));
    for (py::handle label : index) days.push_back(day_number(label).value_or(no_day));
    return days;
}

bool is_datetime(py::handle value) {
    ensure_datetime_api();
    return PyDateTime_Check(value.ptr()) &&
           !std::string_view(Py_TYPE(value.ptr())->tp_name).ends_with("NaTType");
}

bool is_plain_date(py::handle value) {
    ensure_datetime_api();
    return PyDate_CheckExact(value.ptr());
}

py::object date_object(std::int64_t day) {
    ensure_datetime_api();
    // Dates of the years 1900 to 2199 are made once and shared (they are immutable):
    // a price cache of many instruments then holds one date per trading day, and its
    // hash is worked out once. The table is zeroed by the system page by page as it
    // is touched.
    static const std::int64_t first = dates::days_from_civil(1900, 1, 1);
    static const std::int64_t count = dates::days_from_civil(2200, 1, 1) - first;
    static auto* const shared = static_cast<std::atomic<PyObject*>*>(
        std::calloc(static_cast<std::size_t>(count), sizeof(std::atomic<PyObject*>)));
    std::atomic<PyObject*>* slot =
        shared && day >= first && day < first + count ? &shared[day - first] : nullptr;
    if (slot) {
        if (PyObject* kept = slot->load(std::memory_order_acquire))
            return py::reinterpret_borrow<py::object>(kept);
    }
    const dates::CivilDay c = dates::civil_from_days(day);
    PyObject* d = PyDate_FromDate(c.year, c.month, c.day);
    if (!d) throw py::error_already_set();
    if (slot) {
        PyObject* expected = nullptr;
        if (slot->compare_exchange_strong(expected, d, std::memory_order_acq_rel)) {
            Py_INCREF(d);  // the table's reference, kept for the process
        } else {
            Py_DECREF(d);  // another thread stored the same day first
            return py::reinterpret_borrow<py::object>(expected);
        }
    }
    return py::reinterpret_steal<py::object>(d);
}

}  // namespace meridan::bind
