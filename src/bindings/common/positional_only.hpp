// Functions of exactly one argument given by position, which answer a keyword or
// another number of arguments with the wording of the old interpreter's
// single-argument builtins ("f() takes no keyword arguments", "f() takes exactly one
// argument (2 given)"); analysts' code matches on these texts.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>

#include "common/api.hpp"
#include "common/pyclass.hpp"

namespace meridan::bind {

namespace py = pybind11;

/// A module-level function `name(param, /)`; `body` receives the one argument.
MERIDAN_BIND_API void def_single_argument_function(py::module_& m,
                                                   const std::string& name,
                                                   const std::string& param,
                                                   const std::string& doc, Body body);

}  // namespace meridan::bind
