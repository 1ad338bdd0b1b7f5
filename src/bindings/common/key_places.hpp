// Reading the same few keys from many dicts made alike (the positions of a book, the
// snapshots of a series): each key is looked for first at the place where the first
// dict held it, one step that runs no code, and looked up as usual when the entry
// there holds another key. Results are those of plain look-ups.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>

namespace meridan::bind {

namespace py = pybind11;

template <std::size_t N>
class KeyPlaces {
public:
    /// The keys to read (text), as the caller names them (interned names, say).
    explicit KeyPlaces(const std::array<py::handle, N>& keys) {
        for (std::size_t k = 0; k < N; ++k) {
            keys_[k] = py::reinterpret_borrow<py::object>(keys[k]);
            at_[k] = -1;
        }
    }

    /// Learns from a plain dict where it holds the keys, taking its own key objects
    /// where they are equal text but other objects (dicts read from a file hold their
    /// own), so that a look-up by them compares no text.
    void learn(PyObject* dict) {
        Py_ssize_t at = 0, before = 0;
        PyObject *key = nullptr, *value = nullptr;
        at_.fill(-1);
        while (PyDict_Next(dict, &at, &key, &value)) {
            for (std::size_t k = 0; k < N; ++k) {
                if (key != keys_[k].ptr() && PyUnicode_CheckExact(key) &&
                    PyUnicode_CheckExact(keys_[k].ptr()) &&
                    PyUnicode_Compare(key, keys_[k].ptr()) == 0)
                    keys_[k] = py::reinterpret_borrow<py::object>(key);
                if (key == keys_[k].ptr()) at_[k] = before;
            }
            before = at;
        }
    }

    /// The value of key k where the first dict held it, when this dict holds that
    /// very key there (a borrowed reference); nullptr otherwise, for `get` to look
    /// up. Runs no code, so the dict needs no reference of its own meanwhile.
    PyObject* at_place(PyObject* dict, std::size_t k) const noexcept {
        return value_at(dict, at_[k], keys_[k].ptr());
    }

    /// The value `dict` holds at `place` (as PyDict_Next counts) when the key there is
    /// the very object `key` (a borrowed reference); nullptr otherwise, and for a
    /// place of -1. Runs no code: for loops that keep a place and key in locals.
    static PyObject* value_at(PyObject* dict, Py_ssize_t place,
                              PyObject* key) noexcept {
        PyObject *found = nullptr, *value = nullptr;
        if (place >= 0 && PyDict_Next(dict, &place, &found, &value) && found == key)
            return value;
        return nullptr;
    }

    /// `dict[key k]` of a plain dict as a borrowed reference, or nullptr when the key
    /// is missing; an error of the look-up (a key's comparison) is raised.
    PyObject* get(PyObject* dict, std::size_t k) const {
        if (PyObject* value = at_place(dict, k)) return value;
        PyObject* value = PyDict_GetItemWithError(dict, keys_[k].ptr());
        if (!value && PyErr_Occurred()) throw py::error_already_set();
        return value;
    }

    PyObject* key(std::size_t k) const { return keys_[k].ptr(); }

    /// Where the first dict held key k (as PyDict_Next counts), or -1 when it did not.
    Py_ssize_t place(std::size_t k) const { return at_[k]; }

private:
    std::array<py::object, N> keys_;
    std::array<Py_ssize_t, N> at_{};
};

}  // namespace meridan::bind
