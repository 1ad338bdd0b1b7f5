// Builds functions as plain CPython builtins (a PyMethodDef whose data travels in a
// capsule) rather than through pybind11's dispatcher, which treats any "__init__" as
// the constructor of a pybind11 type. The result carries the exact name, the
// docstring with its signature line and the agreed argument errors.
#include "common/pyclass.hpp"

#include <exception>
#include <memory>

namespace meridan::bind {

namespace {

constexpr const char* kCapsuleName = "meridan.function";

struct FunctionData {
    Signature sig;
    Body body;
    std::string name;
    std::string doc;
    PyMethodDef def{};
};

PyObject* trampoline(PyObject* capsule, PyObject* args, PyObject* kwargs) {
    auto* data =
        static_cast<FunctionData*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!data) return nullptr;
    try {
        auto positional = py::reinterpret_borrow<py::args>(args);
        auto keywords =
            kwargs ? py::reinterpret_borrow<py::kwargs>(kwargs) : py::kwargs();
        return data->body(bind_arguments(data->sig, positional, keywords))
            .release()
            .ptr();
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

void free_data(PyObject* capsule) {
    delete static_cast<FunctionData*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

py::object make_function(Signature sig, const std::string& doc, Body body,
                         py::handle module_name) {
    auto data = std::make_unique<FunctionData>();
    data->name = sig.function;
    data->doc = sig.text_signature() + "\n--\n\n" + doc;
    data->sig = std::move(sig);
    data->body = std::move(body);
    data->def.ml_name = data->name.c_str();
    data->def.ml_meth =
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline));
    data->def.ml_flags = METH_VARARGS | METH_KEYWORDS;
    data->def.ml_doc = data->doc.c_str();
    PyMethodDef* def = &data->def;
    PyObject* capsule = PyCapsule_New(data.get(), kCapsuleName, &free_data);
    if (!capsule) throw py::error_already_set();
    data.release();
    auto owner = py::reinterpret_steal<py::object>(capsule);
    PyObject* fn = PyCFunction_NewEx(def, owner.ptr(), module_name.ptr());
    if (!fn) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(fn);
}

}  // namespace

py::object make_class(py::module_& m, const std::string& name, py::tuple bases,
                      const char* doc, const char* signature) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    // The signature line goes into the type's internal doc, where
    // __text_signature__ is read from; __doc__ itself keeps the plain text.
    if (signature && doc)
        ns["__doc__"] = std::string(signature) + "\n--\n\n" + doc;
    else
        ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    py::object cls = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, ns);
    if (signature && doc) py::setattr(cls, "__doc__", py::str(doc));
    m.attr(name.c_str()) = cls;
    return cls;
}

void def_function(py::module_& m, Signature sig, const std::string& doc, Body body) {
    const std::string name = sig.function;
    m.attr(name.c_str()) =
        make_function(std::move(sig), doc, std::move(body), m.attr("__name__"));
}

void def_method(py::object cls, Signature sig, const std::string& doc, Body body) {
    const std::string name = sig.function;
    py::object fn =
        make_function(std::move(sig), doc, std::move(body), cls.attr("__module__"));
    PyObject* method = PyInstanceMethod_New(fn.ptr());
    if (!method) throw py::error_already_set();
    py::setattr(cls, name.c_str(), py::reinterpret_steal<py::object>(method));
}

void def_abstract_method(py::object cls, Signature sig, const std::string& doc) {
    def_method(cls, std::move(sig), doc,
               [](Args) -> py::object {
                   raise_bare(PyExc_NotImplementedError);
               });
}

void raise_bare(PyObject* type) {
    PyErr_SetNone(type);
    throw py::error_already_set();
}

}  // namespace meridan::bind
