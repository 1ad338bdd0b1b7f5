#include "common/globals.hpp"

#include "common/names.hpp"

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

py::object global(py::handle m, const char* name) {
    PyObject* dict = PyModule_GetDict(m.ptr());
    PyObject* value = PyDict_GetItemWithError(dict, interned_name(name));  // borrowed
    if (!value) {
        if (PyErr_Occurred()) throw py::error_already_set();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::object service(py::handle m, const char* op) {
    PyObject* fn = PyObject_GetAttr(global(m, "tickvane").ptr(), interned_name(op));
    if (!fn) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(fn);
}

}  // namespace meridan::bind
