// Functions as objects of a small native type, "meridan.function", rather than
// pybind11's dispatcher (which treats any "__init__" as the constructor of a pybind11
// type) or METH_VARARGS builtins (a new argument tuple, and for methods a bound-method
// object, on every call). The type is called through vectorcall and carries the
// method-descriptor flag, so the interpreter calls `obj.method(...)` as
// `method(obj, ...)`, exactly as it does for Python functions. A method checks its
// receiver's type before anything else, as the interpreter's method descriptors do:
// bodies read and write their receiver's native slots at fixed offsets, which are
// only the slots in instances of the method's class. Like Python functions, the
// functions carry a `__dict__` for attributes of their own.
//
// The type is a heap type known to the garbage collector: a function shows it the
// objects it holds (its `__dict__`, its class, its defaults, the module its body
// reads and whatever else its body uses, see `def_function`), so a reference cycle
// through a function is collected. A function pickles as a reference to the name it
// is found under, `module.qualname`, as Python functions do.
#include "common/pyclass.hpp"

#include <structmember.h>

#include <array>
#include <exception>
#include <memory>

namespace meridan::bind {

namespace {

struct FunctionData {
    Signature sig;
    std::vector<py::object> keys;  // interned parameter names
    Body body;
    std::string doc;                // without the signature line
    std::string signature;          // "(a, b=None)"
    py::object name;                // str
    py::object qualname;            // str
    py::object module;              // str or None
    py::object owner;               // the class of a method, null for a module function
    std::vector<py::object> holds;  // the Python objects the body uses
    bool cleared = false;  // emptied by the garbage collector: no longer callable
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    FunctionData* data;
    PyObject* dict;  // __dict__, made on first use
};

// Whether `self` may be the receiver of function `data`.
bool applies_to(const FunctionData* data, PyObject* self) {
    return !data->owner ||
           PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(data->owner.ptr()));
}

// Arguments of most calls fit here, so binding them allocates nothing.
constexpr std::size_t kInlineArgs = 8;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionData* data = reinterpret_cast<FunctionObject*>(callable)->data;
    const std::size_t n = data->sig.names.size();
    const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (data->cleared) {
        // Only reachable from code run while the collector takes a cycle apart: the
        // objects the body uses may already be gone.
        PyErr_Format(PyExc_RuntimeError,
                     "%U() can no longer be called: it was cleared "
                     "by the garbage collector",
                     data->name.ptr());
        return nullptr;
    }
    try {
        // The receiver first, before its arguments are bound (a missing receiver is
        // a missing argument).
        if (nargs && !applies_to(data, args[0])) {
            raise_wrong_receiver(data->sig.function.c_str(),
                                 reinterpret_cast<PyTypeObject*>(data->owner.ptr()),
                                 args[0]);
        }
        // All arguments given by position, and all taken by position: the body reads
        // the caller's array in place (py::object is a single PyObject* and the array
        // outlives the call).
        static_assert(sizeof(py::object) == sizeof(PyObject*));
        if (!kwnames && nargs == n && data->sig.positional >= n)
            return data->body(Args(reinterpret_cast<const py::object*>(args), n))
                .release()
                .ptr();
        std::array<py::object, kInlineArgs> inline_values;
        std::vector<py::object> heap_values;
        py::object* values = inline_values.data();
        if (n > kInlineArgs) {
            heap_values.resize(n);
            values = heap_values.data();
        }
        bind_arguments(data->sig, data->keys, args, nargs, kwnames, values);
        return data->body(Args(values, n)).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::cast_error& e) {
        // A value of a type the binding cannot read: a TypeError in the caller's terms,
        // never pybind11's own wording.
        PyErr_Format(PyExc_TypeError, "%U() got a value of an unexpected type (%s)",
                     data->name.ptr(), e.what());
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

void function_dealloc(PyObject* self) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(fn->dict);
    delete fn->data;
    PyObject_GC_Del(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

// Every Python object the function holds; names and the signature text are strings,
// which cannot take part in a cycle.
int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->dict);
    if (const FunctionData* data = fn->data) {
        Py_VISIT(data->owner.ptr());
        for (const py::object& value : data->holds) Py_VISIT(value.ptr());
        for (const py::object& value : data->sig.defaults) Py_VISIT(value.ptr());
    }
    return 0;
}

// Breaks the cycles a function takes part in. The body goes first, as it may use the
// held objects; from then on a call is refused rather than run on freed objects.
int function_clear(PyObject* self) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(fn->dict);
    if (FunctionData* data = fn->data) {
        data->cleared = true;
        Body().swap(data->body);
        data->owner = py::object();
        std::vector<py::object>().swap(data->holds);
        std::vector<py::object>().swap(data->sig.defaults);
    }
    return 0;
}

// As for Python functions: looked up on a class, the function itself; on an
// instance, a bound method.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    FunctionData* data = reinterpret_cast<FunctionObject*>(self)->data;
    return PyUnicode_FromFormat("<function %U>", data->qualname.ptr());
}

FunctionData* data_of(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self)->data;
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(data_of(self)->name.ptr());
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(data_of(self)->qualname.ptr());
}
// A function's `__module__` is its own (one set in its `__dict__` first, as for Python
// functions). It cannot be a descriptor of the type: the type's own `__module__`
// ("meridan") is read from the same entry of the type's namespace.
PyObject* function_getattro(PyObject* self, PyObject* attribute) {
    if (attribute == name<"__module__">().ptr() ||
        (PyUnicode_Check(attribute) &&
         PyUnicode_CompareWithASCIIString(attribute, "__module__") == 0)) {
        if (PyObject* dict = reinterpret_cast<FunctionObject*>(self)->dict) {
            if (PyObject* own = PyDict_GetItemWithError(dict, attribute))
                return Py_NewRef(own);
            if (PyErr_Occurred()) return nullptr;
        }
        return Py_NewRef(data_of(self)->module.ptr());
    }
    return PyObject_GenericGetAttr(self, attribute);
}
PyObject* get_doc(PyObject* self, void*) {
    return PyUnicode_FromStringAndSize(
        data_of(self)->doc.data(), static_cast<Py_ssize_t>(data_of(self)->doc.size()));
}
// Read by `inspect.signature`, as for builtins.
PyObject* get_text_signature(PyObject* self, void*) {
    const std::string& s = data_of(self)->signature;
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// Pickled as the name it is found under, `__module__` + `__qualname__`; unpickling
// imports the module and returns the very same function.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(data_of(self)->qualname.ptr());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS,
     "The qualified name the function is found under, for pickle."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY,
     nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject* function_type() {
    static PyTypeObject* type = [] {
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
            {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
            {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
            {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
            {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
            {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
            {Py_tp_getset, function_getset},
            {Py_tp_members, function_members},
            {Py_tp_methods, function_methods},
            {0, nullptr},
        };
        PyType_Spec shape{
            "meridan.function", static_cast<int>(sizeof(FunctionObject)), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                Py_TPFLAGS_DISALLOW_INSTANTIATION,
            slots};
        // Kept for the life of the process, as the functions made with it are.
        PyObject* t = PyType_FromSpec(&shape);
        if (!t) throw py::error_already_set();
        return reinterpret_cast<PyTypeObject*>(t);
    }();
    return type;
}

py::object new_function(Signature sig, const std::string& doc, Body body,
                        py::handle module_name, const std::string& qualname,
                        py::object owner, std::vector<py::object> holds) {
    auto data = std::make_unique<FunctionData>();
    data->keys = interned_names(sig);
    data->signature = sig.text_signature().substr(sig.function.size());
    data->name = py::str(sig.function);
    data->qualname = py::str(qualname);
    data->module = py::reinterpret_borrow<py::object>(module_name);
    data->doc = doc;
    data->sig = std::move(sig);
    data->body = std::move(body);
    data->owner = std::move(owner);
    data->holds = std::move(holds);
    FunctionObject* fn = PyObject_GC_New(FunctionObject, function_type());
    if (!fn) throw py::error_already_set();
    fn->vectorcall = function_vectorcall;
    fn->data = data.release();
    fn->dict = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(fn));
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(fn));
}

// `first` (when given) followed by `rest`, as references the function owns.
std::vector<py::object> held(py::handle first, std::initializer_list<py::handle> rest) {
    std::vector<py::object> out;
    out.reserve(rest.size() + 1);
    if (first) out.push_back(py::reinterpret_borrow<py::object>(first));
    for (py::handle h : rest) out.push_back(py::reinterpret_borrow<py::object>(h));
    return out;
}

}  // namespace

py::object make_class(py::module_& m, const std::string& name, const py::tuple& bases,
                      const char* doc, const char* signature) {
    return make_class(m, name, bases, doc, signature, {});
}

py::object make_class(py::module_& m, const std::string& name, const py::tuple& bases,
                      const char* doc, const char* signature,
                      std::initializer_list<const char*> slots) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    // The signature line goes into the type's internal doc, where
    // __text_signature__ is read from; __doc__ itself keeps the plain text.
    if (signature && doc)
        ns["__doc__"] = std::string(signature) + "\n--\n\n" + doc;
    else
        ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    if (slots.size()) {
        py::list names;
        for (const char* s : slots) names.append(s);
        names.append("__dict__");
        names.append("__weakref__");
        ns["__slots__"] = py::tuple(names);
    }
    py::object cls = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, ns);
    if (signature && doc) py::setattr(cls, "__doc__", py::str(doc));
    m.attr(name.c_str()) = cls;
    return cls;
}

void raise_wrong_receiver(const char* name, PyTypeObject* owner, PyObject* obj) {
    PyErr_Format(PyExc_TypeError,
                 "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' "
                 "object",
                 name, owner->tp_name, Py_TYPE(obj)->tp_name);
    throw py::error_already_set();
}

Slot::Slot(py::handle cls, const char* attribute)
    : owner_(reinterpret_cast<PyTypeObject*>(cls.ptr())), name_(attribute) {
    PyObject* descr = PyDict_GetItemString(
        reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, attribute);
    if (!descr || !PyObject_TypeCheck(descr, &PyMemberDescr_Type)) {
        throw py::type_error(std::string("no slot '") + attribute + "'");
    }
    offset_ = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member->offset;
}

py::object Slot::value(py::handle obj) const {
    PyObject* v = get(obj);
    if (!v) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'",
                     Py_TYPE(obj.ptr())->tp_name, name_.c_str());
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

py::object make_function(py::handle module_name, const std::string& qualname,
                         Signature sig, const std::string& doc, Body body,
                         std::initializer_list<py::handle> holds) {
    return new_function(std::move(sig), doc, std::move(body), module_name, qualname,
                        py::object(), held(py::handle(), holds));
}

void def_function(py::module_& m, Signature sig, const std::string& doc, Body body,
                  std::initializer_list<py::handle> holds) {
    const std::string name = sig.function;
    m.attr(name.c_str()) =
        new_function(std::move(sig), doc, std::move(body), m.attr("__name__"), name,
                     py::object(), held(m, holds));
}

void def_method(py::object cls, Signature sig, const std::string& doc, Body body,
                std::initializer_list<py::handle> holds) {
    if (!PyType_Check(cls.ptr())) throw py::type_error("def_method: not a class");
    const std::string name = sig.function;
    const std::string qualname =
        cls.attr("__qualname__").cast<std::string>() + "." + name;
    py::object fn =
        new_function(std::move(sig), doc, std::move(body), cls.attr("__module__"),
                     qualname, cls, held(py::handle(), holds));
    py::setattr(cls, name.c_str(), fn);
}

void def_abstract_method(py::object cls, Signature sig, const std::string& doc) {
    def_method(std::move(cls), std::move(sig), doc,
               [](Args) -> py::object { raise_bare(PyExc_NotImplementedError); });
}

void raise_bare(PyObject* type) {
    PyErr_SetNone(type);
    throw py::error_already_set();
}

}  // namespace meridan::bind
