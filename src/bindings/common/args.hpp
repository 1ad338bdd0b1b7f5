// Argument parsing shared by every public function and method of the extension
// modules: positional-or-keyword parameters under fixed names, with the TypeError
// texts the package promises for a wrong call.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/api.hpp"

namespace meridan::bind {

namespace py = pybind11;

/// A parameter list: `names` in order; the last `defaults.size()` parameters are
/// optional and take these values when omitted. For methods the first name is "self".
struct Signature {
    std::string function;
    std::vector<std::string> names;
    std::vector<py::object> defaults;
    /// Parameters after the first `positional` ones are keyword-only.
    std::size_t positional = static_cast<std::size_t>(-1);
    /// One parameter, given by position only, with the wording of the old
    /// interpreter's single-argument builtins ("f() takes no keyword arguments",
    /// "f() takes exactly one argument (2 given)"), which analysts' code matches on.
    bool single_positional = false;

    std::size_t required() const { return names.size() - defaults.size(); }

    /// "name(a, b=None)", the form that CPython reads into `__text_signature__`. A
    /// method's "self" stays a plain parameter: its builtin's `__self__` is the data
    /// capsule, which `inspect` would otherwise take for a bound receiver.
    MERIDAN_BIND_API std::string text_signature() const;
};

/// The parameter names of `sig` as interned strings, for `bind_arguments`.
MERIDAN_BIND_API std::vector<py::object> interned_names(const Signature& sig);

/// Binds a vectorcall's arguments (`args[0..nargs)` positional, then one value per
/// entry of the `kwnames` tuple, which may be null) to `out[0..sig.names.size())`,
/// defaults filled in, or raises TypeError with the agreed wording. `keys` are
/// `interned_names(sig)`. Allocates nothing.
MERIDAN_BIND_API void bind_arguments(const Signature& sig,
                                     const std::vector<py::object>& keys,
                                     PyObject* const* args, std::size_t nargs,
                                     PyObject* kwnames, py::object* out);

/// The wording for a wrong number of arguments, exposed for functions with their own
/// rules: `given` is the number of positional arguments when there are too many, and
/// otherwise the position of the first missing required argument.
MERIDAN_BIND_API std::string count_error(const std::string& function,
                                         std::size_t expected, const char* qualifier,
                                         std::size_t given);

}  // namespace meridan::bind
