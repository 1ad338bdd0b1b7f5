#include "common/globals.hpp"

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

py::object global(const py::module_& m, const char* name) {
    PyObject* dict = PyModule_GetDict(m.ptr());
    PyObject* value = PyDict_GetItemString(dict, name);  // borrowed
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::object service(const py::module_& m, const char* op) {
    return global(m, "tickvane").attr(op);
}

}  // namespace meridan::bind
