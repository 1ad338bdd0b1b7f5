// Interned Python names made once per process, so that attribute and keyword lookups
// on hot paths hash nothing and compare by identity first. The table of names lives in
// the runtime library, one for every module of the process; each use of `name<Text>()`
// keeps the pointer it was given, so only its first call consults the table.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>

#include "common/api.hpp"

namespace meridan::bind {

namespace py = pybind11;

/// A string literal usable as a template argument: `name<"quantity">()`.
template <std::size_t N>
struct fixed_string {
    char text[N]{};
    constexpr fixed_string(const char (&s)[N]) { std::copy_n(s, N, text); }
};

/// The interned str of `text`, from the process's table of names (made and kept for
/// the process on first use). Borrowed; never null (raises instead).
MERIDAN_BIND_API PyObject* interned_name(const char* text);

/// The interned str of `Text`, created on first use and kept for the process.
template <fixed_string Text>
py::handle name() {
    static PyObject* const interned = interned_name(Text.text);
    return interned;
}

/// `obj.<Text>`, raising AttributeError as Python would.
template <fixed_string Text>
py::object getattr(py::handle obj) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), name<Text>().ptr());
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

/// `obj.<Text> = value`.
template <fixed_string Text>
void setattr(py::handle obj, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name<Text>().ptr(), value.ptr()) != 0)
        throw py::error_already_set();
}

}  // namespace meridan::bind
