// Binds Python call arguments to named parameters with the error texts of the old
// interpreter's argument parser, which analysts' code and our docs rely on.
#include "common/args.hpp"

#include <algorithm>

namespace meridan::bind {

std::string Signature::text_signature() const {
    std::string out = function + "(";
    const std::size_t first_optional = required();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        if (i == positional) out += "*, ";
        out += names[i];
        if (single_positional) out += ", /";
        if (i >= first_optional) {
            out += "=";
            out += py::repr(defaults[i - first_optional]).cast<std::string>();
        }
    }
    return out + ")";
}

std::string count_error(const std::string& function, std::size_t expected,
                        const char* qualifier, std::size_t given) {
    return function + "() takes " + qualifier + " " + std::to_string(expected) +
           (expected == 1 ? " positional argument (" : " positional arguments (") +
           std::to_string(given) + " given)";
}

std::vector<py::object> interned_names(const Signature& sig) {
    std::vector<py::object> keys;
    keys.reserve(sig.names.size());
    for (const auto& n : sig.names) {
        PyObject* key = PyUnicode_InternFromString(n.c_str());
        if (!key) throw py::error_already_set();
        keys.push_back(py::reinterpret_steal<py::object>(key));
    }
    return keys;
}

namespace {

// Index of keyword `key` among the parameters: by identity first (the interpreter
// interns the keywords written in source code), then by value.
std::size_t keyword_index(const std::vector<py::object>& keys, PyObject* key) {
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].ptr() == key) return i;
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const int eq = PyObject_RichCompareBool(keys[i].ptr(), key, Py_EQ);
        if (eq < 0) throw py::error_already_set();
        if (eq) return i;
    }
    return keys.size();
}

}  // namespace

void bind_arguments(const Signature& sig, const std::vector<py::object>& keys,
                    PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                    py::object* out) {
    const std::size_t n_params = sig.names.size();
    const std::size_t n_required = sig.required();
    const std::size_t n_keywords =
        kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    const bool all_required = n_required == n_params;

    if (sig.single_positional) {
        if (n_keywords)
            throw py::type_error(sig.function + "() takes no keyword arguments");
        if (nargs != 1) {
            throw py::type_error(sig.function + "() takes exactly one argument (" +
                                 std::to_string(nargs) + " given)");
        }
    }
    // Arguments past the positional parameters are not bound: they are an error of
    // their own once the keywords are checked.
    const std::size_t n_positional = std::min({nargs, n_params, sig.positional});
    for (std::size_t i = 0; i < n_positional; ++i)
        out[i] = py::reinterpret_borrow<py::object>(args[i]);
    if (n_keywords == 0 && nargs == n_params && n_positional == n_params) return;

    // Keywords before counts, as the interpreter checks them: an unexpected keyword,
    // then one that repeats an argument, then too many or too few arguments.
    for (std::size_t k = 0; k < n_keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(k));
        const std::size_t index = keyword_index(keys, key);
        // A method's receiver is never a keyword.
        if (index == n_params || (index == 0 && sig.names[0] == "self")) {
            throw py::type_error(sig.function +
                                 "() got an unexpected keyword argument '" +
                                 py::str(key).cast<std::string>() + "'");
        }
        if (out[index]) {
            throw py::type_error(sig.function +
                                 "() got multiple values for keyword argument '" +
                                 py::str(key).cast<std::string>() + "'");
        }
        out[index] = py::reinterpret_borrow<py::object>(args[nargs + k]);
    }
    // Too many: the count given is the number of positional arguments.
    if (nargs > sig.positional && sig.positional < n_params) {
        throw py::type_error(
            count_error(sig.function, sig.positional, "exactly", nargs));
    }
    if (nargs > n_params) {
        throw py::type_error(count_error(sig.function, n_params,
                                         all_required ? "exactly" : "at most", nargs));
    }
    // Too few: the count given is the position of the first missing argument (the
    // number of arguments before it), so the text never contradicts itself.
    for (std::size_t i = nargs; i < n_params; ++i) {
        if (out[i]) continue;
        if (i < n_required && i >= sig.positional) {
            throw py::type_error(sig.function +
                                 "() missing required keyword argument '" +
                                 sig.names[i] + "'");
        }
        if (i < n_required) {
            throw py::type_error(count_error(sig.function, n_required,
                                             all_required ? "exactly" : "at least", i));
        }
        out[i] = sig.defaults[i - n_required];
    }
}

}  // namespace meridan::bind
