// Bodies written with their parameters by name: `named<2>([](py::handle values,
// py::handle flows) { ... })` is the Body that calls the lambda with the call's two
// arguments, in the signature's order, as one of def_function or def_method gets them.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <utility>

#include "common/pyclass.hpp"

namespace meridan::bind {

template <std::size_t N, class F>
Body named(F f) {
    return [f = std::move(f)](Args a) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return py::object(f(a[I]...));
        }(std::make_index_sequence<N>{});
    };
}

}  // namespace meridan::bind
