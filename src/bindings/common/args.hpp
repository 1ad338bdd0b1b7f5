// Argument parsing shared by every public function and method of the extension
// modules: positional-or-keyword parameters under fixed names, with the TypeError
// texts the package promises for a wrong call.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace meridan::bind {

namespace py = pybind11;

/// A parameter list: `names` in order; the last `defaults.size()` parameters are
/// optional and take these values when omitted. For methods the first name is "self".
struct Signature {
    std::string function;
    std::vector<std::string> names;
    std::vector<py::object> defaults;

    std::size_t required() const { return names.size() - defaults.size(); }

    /// "name(a, b=None)", the form that CPython reads into `__text_signature__`. A
    /// method's "self" stays a plain parameter: its builtin's `__self__` is the data
    /// capsule, which `inspect` would otherwise take for a bound receiver.
    std::string text_signature() const;
};

/// Binds a call's arguments to the signature's parameters, one value per parameter
/// (defaults filled in), or raises TypeError with the agreed wording.
std::vector<py::object> bind_arguments(const Signature& sig, const py::args& args,
                                       const py::kwargs& kwargs);

/// The wording for a wrong number of arguments, exposed for functions with their own
/// rules (`given` counts positional and keyword arguments together).
std::string count_error(const std::string& function, std::size_t expected,
                        const char* qualifier, std::size_t given);

}  // namespace meridan::bind
