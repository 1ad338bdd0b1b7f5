#include "common/arrow_text.hpp"

#include <algorithm>
#include <string>

#include "common/names.hpp"

namespace meridan::bind {

namespace {

// The address of a pyarrow Buffer's memory (None: no memory).
const void* address_of(py::handle buffer) {
    if (buffer.is_none()) return nullptr;
    return reinterpret_cast<const void*>(
        getattr<"address">(buffer).cast<std::uintptr_t>());
}

}  // namespace

std::optional<ArrowText> ArrowText::of(py::handle series) {
    // pandas' string dtypes and its ArrowDtype say where they keep their values.
    PyObject* storage =
        PyObject_GetAttr(getattr<"dtype">(series).ptr(), name<"storage">().ptr());
    if (!storage) {
        PyErr_Clear();
        return std::nullopt;
    }
    const bool arrow =
        PyUnicode_Check(storage) &&
        (PyUnicode_CompareWithASCIIString(storage, "pyarrow") == 0 ||
         PyUnicode_CompareWithASCIIString(storage, "pyarrow_numpy") == 0);
    Py_DECREF(storage);
    if (!arrow) return std::nullopt;
    // A pyarrow-backed array hands over the chunked array it holds, without a copy.
    py::object array = getattr<"array">(series);
    if (!py::hasattr(array, "__arrow_array__")) return std::nullopt;
    py::object chunked = array.attr("__arrow_array__")();
    ArrowText text;
    py::list kept;
    kept.append(chunked);
    for (py::handle chunk : getattr<"chunks">(chunked)) {
        const std::string type = py::str(getattr<"type">(chunk));
        if (type != "string" && type != "large_string") return std::nullopt;
        py::list buffers = getattr<"buffers">(chunk)();
        if (buffers.size() != 3 || buffers[1].is_none()) return std::nullopt;
        Chunk c;
        c.start = text.size_;
        c.length = py::len(chunk);
        c.offset = getattr<"offset">(chunk).cast<std::int64_t>();
        c.validity = static_cast<const std::uint8_t*>(address_of(buffers[0]));
        c.offsets = address_of(buffers[1]);
        c.large = type == "large_string";
        c.data = static_cast<const char*>(address_of(buffers[2]));
        if (getattr<"null_count">(chunk).cast<std::int64_t>() == 0)
            c.validity = nullptr;
        kept.append(buffers);
        text.size_ += c.length;
        if (c.length) text.chunks_.push_back(c);
    }
    if (text.size_ != static_cast<std::size_t>(py::len(series))) return std::nullopt;
    text.keep_ = std::move(kept);
    return text;
}

std::optional<std::string_view> ArrowText::operator[](std::size_t i) const {
    // The chunk holding cell i: the last one starting at or before it.
    const auto next = std::upper_bound(
        chunks_.begin(), chunks_.end(), i,
        [](std::size_t position, const Chunk& c) { return position < c.start; });
    const Chunk& c = *(next - 1);
    const std::int64_t k = c.offset + static_cast<std::int64_t>(i - c.start);
    if (c.validity && !((c.validity[k >> 3] >> (k & 7)) & 1)) return std::nullopt;
    std::int64_t begin = 0, end = 0;
    if (c.large) {
        const auto* o = static_cast<const std::int64_t*>(c.offsets);
        begin = o[k];
        end = o[k + 1];
    } else {
        const auto* o = static_cast<const std::int32_t*>(c.offsets);
        begin = o[k];
        end = o[k + 1];
    }
    if (end == begin) return std::string_view();
    return std::string_view(c.data + begin, static_cast<std::size_t>(end - begin));
}

}  // namespace meridan::bind
