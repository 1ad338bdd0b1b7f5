// Built as a plain CPython builtin called through vectorcall, so the function
// carries its own name, docstring and signature; the arguments are checked here,
// before the body runs.
#include "common/positional_only.hpp"

#include <exception>
#include <memory>

namespace meridan::bind {

namespace {

constexpr const char* kCapsuleName = "meridan.single_argument_function";

struct SingleArgumentFunction {
    std::string name;
    std::string doc;
    Body body;
    PyMethodDef def{};
};

PyObject* call(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames) {
    auto* data = static_cast<SingleArgumentFunction*>(
        PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!data) return nullptr;
    try {
        if (kwnames && PyTuple_GET_SIZE(kwnames) != 0)
            throw py::type_error(no_keywords_error(data->name));
        const auto given = static_cast<std::size_t>(nargs);
        if (given != 1) throw py::type_error(single_argument_error(data->name, given));
        const py::object argument = py::reinterpret_borrow<py::object>(args[0]);
        return data->body(Args(&argument, 1)).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

void free_function(PyObject* capsule) {
    delete static_cast<SingleArgumentFunction*>(
        PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace

std::string no_keywords_error(const std::string& function) {
    return function + "() takes no keyword arguments";
}

std::string single_argument_error(const std::string& function, std::size_t given) {
    return function + "() takes exactly one argument (" + std::to_string(given) +
           " given)";
}

void def_single_argument_function(py::module_& m, const std::string& name,
                                  const std::string& param, const std::string& doc,
                                  Body body) {
    auto data = std::make_unique<SingleArgumentFunction>();
    data->name = name;
    data->doc = name + "(" + param + ", /)\n--\n\n" + doc;
    data->body = std::move(body);
    data->def.ml_name = data->name.c_str();
    data->def.ml_meth =
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call));
    data->def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    data->def.ml_doc = data->doc.c_str();
    PyMethodDef* def = &data->def;
    PyObject* capsule = PyCapsule_New(data.get(), kCapsuleName, &free_function);
    if (!capsule) throw py::error_already_set();
    data.release();
    auto owner = py::reinterpret_steal<py::object>(capsule);
    PyObject* fn = PyCFunction_NewEx(def, owner.ptr(), m.attr("__name__").ptr());
    if (!fn) throw py::error_already_set();
    m.attr(name.c_str()) = py::reinterpret_steal<py::object>(fn);
}

}  // namespace meridan::bind
