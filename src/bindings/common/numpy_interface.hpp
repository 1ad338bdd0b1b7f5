// numpy's C interface is looked up on first use, a version check included, and each
// shared library keeps its own copy of it (pybind11 keeps its helpers private to a
// library): the runtime library one, every module that makes arrays in its own code
// another.
#pragma once

#include <pybind11/numpy.h>

#include "common/convert.hpp"

namespace meridan::bind {

/// Looks up numpy's C interface for the calling module and for the runtime library,
/// and the datetime C interface, with the module's imports: otherwise a process's
/// first analysis pays for them.
inline void prepare_numpy() {
    prepare_conversions();
    pybind11::dtype::of<double>();
}

}  // namespace meridan::bind
