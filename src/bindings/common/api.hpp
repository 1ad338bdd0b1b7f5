// What the binding runtime library exports to the extension modules. The runtime is
// one shared library that every module links, so the process has one function type,
// one table of interned names and one lock table. It is built with hidden visibility,
// as pybind11 keeps its own types hidden, and exports only what is marked here.
#pragma once

#if defined(_WIN32)
#define MERIDAN_BIND_API __declspec(dllexport)
#else
#define MERIDAN_BIND_API __attribute__((visibility("default")))
#endif
