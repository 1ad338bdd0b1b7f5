// meridan._callpath: a small class and a C++ caller of its method, for checking and
// measuring the fast method-call path of the binding helpers from Python, and a maker
// of functions that hold an object, for checking what the garbage collector sees. Not
// part of the analysis API.
#include <pybind11/pybind11.h>

#include "common/pyclass.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;

PYBIND11_MODULE(_callpath, m) {
    m.doc() = "Probe of the method-call path used by the extension modules.";
    py::object cls = mb::make_class(m, "Probe", py::tuple(),
                                    "An object whose ping(x) returns x.", "Probe()");
    mb::def_method(cls, {"ping", {"self", "x"}, {}}, "Returns x.",
                   [](mb::Args a) { return a[1]; });
    mb::def_function(m, {"call_ping", {"obj", "x", "n"}, {}},
                     "Calls obj.ping(x) n times from C++ and returns the last result.",
                     [](mb::Args a) {
                         const long n = a[2].cast<long>();
                         py::object result = py::none();
                         for (long i = 0; i < n; ++i)
                             result = mb::call_method<"ping">(a[0], a[1]);
                         return result;
                     });
    mb::def_function(
        m, {"closure", {"value"}, {}},
        "A new function of no arguments that returns value, which it holds.",
        [](mb::Args a) {
            py::handle value = a[0];  // borrowed: the new function holds it
            return mb::make_function(
                py::str("meridan._callpath"), "closure.<locals>.get", {"get", {}, {}},
                "Returns the value held.",
                [value](mb::Args) { return py::reinterpret_borrow<py::object>(value); },
                {value});
        });
}
