// Shapes, strides and their text form in messages ("[2, 3]").
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "support/small_vector.hpp"

namespace zavra {

using Shape = SmallVector<std::size_t, 6>;
using Strides = SmallVector<std::ptrdiff_t, 6>;

inline std::string shape_text(const Shape& shape) {
    std::string out = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(shape[i]);
    }
    out += "]";
    return out;
}

// Product of the extents, or nothing when it cannot be addressed: the product of
// the non-zero extents overflows or exceeds the largest signed pointer-width value.
inline std::optional<std::size_t> checked_element_count(const Shape& shape) {
    constexpr std::size_t limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    std::size_t product = 1;
    bool has_zero = false;
    for (std::size_t extent : shape) {
        if (extent == 0) {
            has_zero = true;
            continue;
        }
        if (product > limit / extent) return std::nullopt;
        product *= extent;
    }
    return has_zero ? 0 : product;
}

// Caller guarantees the count is addressable (it belongs to an existing array).
inline std::size_t element_count(const Shape& shape) {
    std::size_t product = 1;
    for (std::size_t extent : shape) product *= extent;
    return product;
}

// Standard row-major strides; all zero when any extent is zero.
inline Strides row_major_strides(const Shape& shape) {
    Strides strides(shape.size());
    std::ptrdiff_t step = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        strides[i] = step;
        step *= static_cast<std::ptrdiff_t>(shape[i]);
    }
    if (step == 0) strides.assign(shape.size(), 0);
    return strides;
}

inline Strides column_major_strides(const Shape& shape) {
    Strides strides(shape.size());
    std::ptrdiff_t step = 1;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        strides[i] = step;
        step *= static_cast<std::ptrdiff_t>(shape[i]);
    }
    if (step == 0) strides.assign(shape.size(), 0);
    return strides;
}

// Row-major layout up to axes of extent 1, which may carry any stride.
inline bool is_standard_layout(const Shape& shape, const Strides& strides) {
    std::ptrdiff_t expected = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        if (shape[i] == 0) return true;
    }
    for (std::size_t i = shape.size(); i-- > 0;) {
        if (shape[i] == 1) continue;
        if (strides[i] != expected) return false;
        expected *= static_cast<std::ptrdiff_t>(shape[i]);
    }
    return true;
}

inline bool is_column_major_layout(const Shape& shape, const Strides& strides) {
    std::ptrdiff_t expected = 1;
    for (std::size_t extent : shape) {
        if (extent == 0) return true;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 1) continue;
        if (strides[i] != expected) return false;
        expected *= static_cast<std::ptrdiff_t>(shape[i]);
    }
    return true;
}

}  // namespace zavra
