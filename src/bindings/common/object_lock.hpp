// A re-entrant lock per Python object, for methods that change an object through
// several steps which run Python code (arithmetic on Fractions or Decimals, methods
// of the caller's own classes): the interpreter may switch threads between any two
// of those steps, and another thread changing the same object then would see half a
// change, or lose its own.
#pragma once

#include <pybind11/pybind11.h>

#include "common/api.hpp"

namespace meridan::bind {

namespace py = pybind11;

/// Holds the lock of `obj` for as long as it lives. The thread that holds it may
/// lock the same object again (Python code run inside a change may call back into
/// the object); another thread waits with the GIL released, so the holder can finish.
/// Objects have no lock of their own until one is asked for: the locks live in one
/// table keyed by the object, whose entry goes once no thread holds or waits for it.
/// Must be made and destroyed with the GIL held, while `obj` is alive.
class MERIDAN_BIND_API ObjectLock {
public:
    explicit ObjectLock(py::handle obj);
    ~ObjectLock();
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
    PyObject* obj_;
};

}  // namespace meridan::bind
