// The provider's cache of closes, keyed by (order book id, calendar date), as read by
// the provider itself and by callers that hold a provider of the package's own.
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>

namespace meridan::bind {

namespace py = pybind11;

/// The key (oid, date) of the cache.
inline py::object price_key(py::handle oid, py::handle date) {
    PyObject* key = PyTuple_Pack(2, oid.ptr(), date.ptr());
    if (!key) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(key);
}

/// The close of `oid` on `date` as the cache holds it (a borrowed reference), or null
/// when the cache has no entry (`missing` is then set) or holds NaN: a day without a
/// close, whether the service left it out (one id) or answered NaN (several ids).
inline PyObject* cached_close(const py::dict& cache, py::handle oid, py::handle date,
                              bool& missing) {
    const py::object key = price_key(oid, date);
    PyObject* value = PyDict_GetItemWithError(cache.ptr(), key.ptr());
    if (!value && PyErr_Occurred()) throw py::error_already_set();
    missing = !value;
    if (value && PyFloat_Check(value) && std::isnan(PyFloat_AS_DOUBLE(value)))
        return nullptr;
    return value;
}

}  // namespace meridan::bind
