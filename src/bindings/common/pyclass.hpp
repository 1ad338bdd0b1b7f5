// Functions and classes of the extension modules that behave, seen from Python, like
// ones written in Python: real heap types built with `type()` (so they can be
// subclassed and carry instance attributes), methods that bind `self`, signatures
// visible to `inspect.signature`, and the package's argument-error texts.
//
// Functions are objects of one small native type that is called through vectorcall
// and acts as a method descriptor, like a Python function: `obj.method(...)` calls it
// with `obj` prepended and creates no bound-method object, and arguments are bound
// into a buffer on the stack.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/api.hpp"
#include "common/args.hpp"
#include "common/names.hpp"

namespace meridan::bind {

/// The arguments of a call, one value per parameter in the signature's order,
/// defaults filled in. A view: valid for the duration of the call only.
class Args {
public:
    Args(const py::object* values, std::size_t count)
        : values_(values), count_(count) {}
    Args(const std::vector<py::object>& values) : Args(values.data(), values.size()) {}

    const py::object& operator[](std::size_t i) const { return values_[i]; }
    std::size_t size() const { return count_; }
    const py::object* begin() const { return values_; }
    const py::object* end() const { return values_ + count_; }

private:
    const py::object* values_;
    std::size_t count_;
};

/// The body of a function: receives one value per parameter, defaults filled in.
using Body = std::function<py::object(Args)>;

/// A new class `name` in module `m`, derived from `bases`, with `doc` as its
/// documentation (None when `doc` is null) and, when given, `signature` (such as
/// "Portfolio(cash=100000.0)") as the signature `inspect` reports for calling it.
/// The class is also set on the module.
MERIDAN_BIND_API py::object make_class(py::module_& m, const std::string& name,
                                       const py::tuple& bases, const char* doc,
                                       const char* signature = nullptr);

/// TypeError in the interpreter's wording for a descriptor `name` of class `owner`
/// used on `obj`, an object of another type ("descriptor 'holdings' for 'Portfolio'
/// objects doesn't apply to a 'NoneType' object").
[[noreturn]] MERIDAN_BIND_API void raise_wrong_receiver(const char* name,
                                                        PyTypeObject* owner,
                                                        PyObject* obj);

/// An instance attribute kept in a native slot of the instances of a class made by
/// `make_class` with `slots`: read and written from C++ without a lookup, and as a
/// normal attribute from Python. Subclasses share the layout, so a Slot of a class
/// works on instances of its subclasses too; any other object is refused with
/// TypeError, since its memory at the slot's offset is not the slot.
class MERIDAN_BIND_API Slot {
public:
    Slot() = default;
    /// The slot `attribute` of `cls` (which must list it in its `__slots__`).
    Slot(py::handle cls, const char* attribute);

    /// The value, or null when the attribute is unset. Borrowed.
    PyObject* get(py::handle obj) const { return *field(obj); }
    /// The value; AttributeError naming the attribute when it is unset.
    py::object value(py::handle obj) const;
    void set(py::handle obj, py::handle value) const {
        PyObject** slot = field(obj);
        PyObject* old = *slot;
        *slot = py::handle(value).inc_ref().ptr();
        Py_XDECREF(old);
    }

private:
    PyObject** field(py::handle obj) const {
        if (!PyObject_TypeCheck(obj.ptr(), owner_))
            raise_wrong_receiver(name_.c_str(), owner_, obj.ptr());
        return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj.ptr()) +
                                            offset_);
    }

    PyTypeObject* owner_ = nullptr;  // kept alive by the module that defines it
    Py_ssize_t offset_ = 0;
    std::string name_;
};

/// As `make_class`, with instance attributes `slots` kept in native slots (see
/// `Slot`); instances still have a `__dict__` for any other attribute.
MERIDAN_BIND_API py::object make_class(py::module_& m, const std::string& name,
                                       const py::tuple& bases, const char* doc,
                                       const char* signature,
                                       std::initializer_list<const char*> slots);

/// A module-level function. The function holds `m` and every object of `holds`, and
/// shows them to the garbage collector: a body that uses Python objects captures them
/// as `py::handle` (borrowed) and lists them here, so that a cycle through them can be
/// collected. (A `py::object` captured by the lambda keeps its object alive where the
/// collector cannot see it.)
MERIDAN_BIND_API void def_function(py::module_& m, Signature sig,
                                   const std::string& doc, Body body,
                                   std::initializer_list<py::handle> holds = {});

/// A method of `cls`; `sig.names` starts with "self". Called with a receiver that
/// is not an instance of `cls` (through the class, or from a class that borrowed
/// it), it raises TypeError before its body runs, as the interpreter's own method
/// descriptors do. The method holds `cls` and `holds`, as `def_function` does.
MERIDAN_BIND_API void def_method(py::object cls, Signature sig, const std::string& doc,
                                 Body body,
                                 std::initializer_list<py::handle> holds = {});

/// A function set on no module or class, holding `holds` (see `def_function`):
/// `qualname` and `module_name` are what it reports, and pickling looks it up by them.
MERIDAN_BIND_API py::object make_function(py::handle module_name,
                                          const std::string& qualname, Signature sig,
                                          const std::string& doc, Body body,
                                          std::initializer_list<py::handle> holds = {});

/// A method that must be overridden: raises NotImplementedError without a message.
MERIDAN_BIND_API void def_abstract_method(py::object cls, Signature sig,
                                          const std::string& doc);

/// Raises the pending Python error `type` with no arguments (a bare exception).
[[noreturn]] MERIDAN_BIND_API void raise_bare(PyObject* type);

/// `obj.<Name>(args...)` as Python would call it, through the interpreter's method
/// call: no bound-method object is made for a method found on the class, and a
/// method overridden in a Python subclass, or replaced on the class or the
/// instance, is called as Python would call it.
template <fixed_string Name, class... A>
py::object call_method(py::handle obj, const A&... args) {
    constexpr std::size_t n = 1 + sizeof...(A);
    PyObject* stack[n] = {obj.ptr(), py::handle(args).ptr()...};
    PyObject* r = PyObject_VectorcallMethod(
        name<Name>().ptr(), stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace meridan::bind
