#include "common/globals.hpp"

#include <unordered_map>

namespace meridan::bind {

void import_star(py::module_& m, const char* source) {
    py::module_ src = py::module_::import(source);
    py::object names;
    if (py::hasattr(src, "__all__")) {
        names = src.attr("__all__");
    } else {
        py::list public_names;
        for (py::handle n : src.attr("__dict__")) {
            if (!n.cast<std::string>().starts_with("_")) public_names.append(n);
        }
        names = public_names;
    }
    for (py::handle n : names) {
        py::setattr(m, n, src.attr(n));
    }
}

namespace {

// The interned str of a name given as a literal, made once per literal: modules look
// names up on every request, and a new str per look-up costs more than the look-up.
PyObject* interned(const char* text) {
    static std::unordered_map<const char*, PyObject*> names;
    auto [it, inserted] = names.try_emplace(text, nullptr);
    if (inserted) {
        it->second = PyUnicode_InternFromString(text);
        if (!it->second) {
            names.erase(it);
            throw py::error_already_set();
        }
    }
    return it->second;
}

}  // namespace

py::object global(const py::module_& m, const char* name) {
    PyObject* dict = PyModule_GetDict(m.ptr());
    PyObject* value = PyDict_GetItemWithError(dict, interned(name));  // borrowed
    if (!value) {
        if (PyErr_Occurred()) throw py::error_already_set();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::object service(const py::module_& m, const char* op) {
    PyObject* fn = PyObject_GetAttr(global(m, "tickvane").ptr(), interned(op));
    if (!fn) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(fn);
}

}  // namespace meridan::bind
