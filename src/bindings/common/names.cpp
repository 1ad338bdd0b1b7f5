// The process's one table of interned names, shared by every extension module through
// the runtime library.
#include "common/names.hpp"

#include <string>
#include <unordered_map>

namespace meridan::bind {

// Keyed by the text, not by the address of a literal: each module has literals of its
// own. Used with the GIL held, as every entry point of the runtime is.
PyObject* interned_name(const char* text) {
    // Never freed, as the interned strings it holds live as long as the interpreter.
    static auto* names = new std::unordered_map<std::string, PyObject*>();
    auto [it, inserted] = names->try_emplace(text, nullptr);
    if (inserted) {
        it->second = PyUnicode_InternFromString(text);
        if (!it->second) {
            names->erase(it);
            throw py::error_already_set();
        }
    }
    return it->second;
}

}  // namespace meridan::bind
