// Single-argument functions are ordinary functions of the package whose signature
// takes its one argument by position only.
#include "common/positional_only.hpp"

namespace meridan::bind {

void def_single_argument_function(py::module_& m, const std::string& name,
                                  const std::string& param, const std::string& doc,
                                  Body body) {
    Signature sig{name, {param}, {}};
    sig.single_positional = true;
    def_function(m, std::move(sig), doc, std::move(body));
}

}  // namespace meridan::bind
