// Text columns that pandas keeps in pyarrow arrays (its string dtype on pyarrow
// storage, or an ArrowDtype of strings), read in place: the UTF-8 bytes of each cell
// without a Python str per cell.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/api.hpp"

namespace meridan::bind {

namespace py = pybind11;

class ArrowText {
public:
    /// The text cells of a pandas Series, or empty when its values are not pyarrow
    /// strings (or are of a layout not read here).
    MERIDAN_BIND_API static std::optional<ArrowText> of(py::handle series);

    std::size_t size() const { return size_; }

    /// The bytes of cell `i`, or empty for a missing cell.
    MERIDAN_BIND_API std::optional<std::string_view> operator[](std::size_t i) const;

private:
    struct Chunk {
        std::size_t start = 0;  // position of its first cell in the column
        std::size_t length = 0;
        std::int64_t offset = 0;  // the chunk's own offset into its buffers
        const std::uint8_t* validity = nullptr;  // null: no cell is missing
        const void* offsets = nullptr;
        bool large = false;  // 64-bit offsets
        const char* data = nullptr;
    };

    py::object keep_;  // the buffers read, alive as long as this
    std::vector<Chunk> chunks_;
    std::size_t size_ = 0;
};

}  // namespace meridan::bind
