// Functions and classes of the extension modules that behave, seen from Python, like
// ones written in Python: real heap types built with `type()` (so they can be
// subclassed and carry instance attributes), methods that bind `self`, signatures
// visible to `inspect.signature`, and the package's argument-error texts.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <vector>

#include "common/args.hpp"

namespace meridan::bind {

/// The arguments of a call, one value per parameter in the signature's order,
/// defaults filled in. A view: valid for the duration of the call only.
class Args {
public:
    Args(const py::object* values, std::size_t count) : values_(values), count_(count) {}
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
py::object make_class(py::module_& m, const std::string& name, py::tuple bases,
                      const char* doc, const char* signature = nullptr);

/// A module-level function.
void def_function(py::module_& m, Signature sig, const std::string& doc, Body body);

/// A method of `cls`; `sig.names` starts with "self".
void def_method(py::object cls, Signature sig, const std::string& doc, Body body);

/// A method that must be overridden: raises NotImplementedError without a message.
void def_abstract_method(py::object cls, Signature sig, const std::string& doc);

/// Raises the pending Python error `type` with no arguments (a bare exception).
[[noreturn]] void raise_bare(PyObject* type);

}  // namespace meridan::bind
