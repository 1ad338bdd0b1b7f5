// Binds Python call arguments to named parameters with the error texts of the old
// interpreter's argument parser, which analysts' code and our docs rely on.
#include "common/args.hpp"

namespace meridan::bind {

std::string Signature::text_signature() const {
    std::string out = function + "(";
    const std::size_t first_optional = required();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        out += names[i];
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

std::vector<py::object> bind_arguments(const Signature& sig, const py::args& args,
                                       const py::kwargs& kwargs) {
    const std::size_t n_params = sig.names.size();
    const std::size_t n_required = sig.required();
    const std::size_t n_positional = args.size();
    const std::size_t given = n_positional + (kwargs ? kwargs.size() : 0);
    const bool all_required = n_required == n_params;

    if (n_positional > n_params) {
        throw py::type_error(count_error(sig.function, n_params,
                                         all_required ? "exactly" : "at most", given));
    }
    std::vector<py::object> bound(n_params);
    for (std::size_t i = 0; i < n_positional; ++i) bound[i] = args[i];

    if (kwargs) {
        for (auto item : kwargs) {
            if (!py::isinstance<py::str>(item.first)) {
                throw py::type_error(sig.function + "() keywords must be strings");
            }
            const std::string key = item.first.cast<std::string>();
            std::size_t index = 0;
            while (index < n_params && sig.names[index] != key) ++index;
            // A method's receiver is never a keyword.
            if (index == n_params || (index == 0 && sig.names[0] == "self")) {
                throw py::type_error(sig.function +
                                     "() got an unexpected keyword argument '" + key +
                                     "'");
            }
            if (bound[index]) {
                throw py::type_error(sig.function +
                                     "() got multiple values for keyword argument '" +
                                     key + "'");
            }
            bound[index] = py::reinterpret_borrow<py::object>(item.second);
        }
    }
    for (std::size_t i = 0; i < n_params; ++i) {
        if (bound[i]) continue;
        if (i < n_required) {
            throw py::type_error(count_error(sig.function, n_required,
                                             all_required ? "exactly" : "at least",
                                             given));
        }
        bound[i] = sig.defaults[i - n_required];
    }
    return bound;
}

}  // namespace meridan::bind
