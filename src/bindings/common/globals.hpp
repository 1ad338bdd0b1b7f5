// Call-time lookup of the names a module takes from the market-data client, so that
// replacing the client (in sys.modules before import, or by monkeypatching a name)
// changes what the module calls.
#pragma once

#include <pybind11/pybind11.h>

#include "common/api.hpp"

namespace meridan::bind {

namespace py = pybind11;

/// `from <source> import *` into module `m`: copies the names of `__all__`, or every
/// name not starting with an underscore when the source has no `__all__`.
MERIDAN_BIND_API void import_star(py::module_& m, const char* source);

/// The current value of global `name` of module `m`, looked up in its namespace at
/// the time of the call; NameError when absent, as for Python code.
MERIDAN_BIND_API py::object global(py::handle m, const char* name);

/// `m.tickvane.<op>` looked up at call time, for modules that `import tickvane`.
MERIDAN_BIND_API py::object service(py::handle m, const char* op);

}  // namespace meridan::bind
