// Memory order of new results: the preference rule for two operands, and dense-layout
// reuse for one operand.
#pragma once

#include "engine/cpu/array/nd_array.hpp"
#include "support/shape.hpp"

namespace zavra::cpu::iter {

enum class Order { RowMajor, ColumnMajor };

// Layout preference flags of one (broadcast) view.
struct LayoutFlags {
    bool rc = false, cc = false, rp = false, cp = false;
    int score() const { return int(rc) - int(cc) + int(rp) - int(cp); }
};

inline LayoutFlags classify(const Shape& shape, const Strides& strides) {
    LayoutFlags f;
    const std::size_t n = shape.size();
    std::size_t long_axes = 0;
    for (std::size_t extent : shape) long_axes += extent > 1;
    if (is_standard_layout(shape, strides)) {
        f.rc = f.rp = true;
        if (n <= 1 || long_axes <= 1) f.cc = f.cp = true;
    } else if (n >= 2) {
        if (is_column_major_layout(shape, strides)) {
            f.cc = f.cp = true;
        } else if (shape[0] > 1 && strides[0] == 1) {
            f.cp = true;
        } else if (shape[n - 1] > 1 && strides[n - 1] == 1) {
            f.rp = true;
        }
    }
    return f;
}

// Result order of an element-wise operation on two views of one shape:
// column-major only when both operands prefer it.
inline Order preferred_order(const Shape& shape, const Strides& a, const Strides& b) {
    // Two row-major operands, by far the common case, can only give row-major.
    if (is_standard_layout(shape, a) && is_standard_layout(shape, b)) return Order::RowMajor;
    LayoutFlags fa = classify(shape, a);
    LayoutFlags fb = classify(shape, b);
    bool column = !(fa.rc && fb.rc) && ((fa.cc && fb.cc) || fa.score() + fb.score() < 0);
    return column ? Order::ColumnMajor : Order::RowMajor;
}

inline Strides strides_for(const Shape& shape, Order order) {
    return order == Order::RowMajor ? row_major_strides(shape) : column_major_strides(shape);
}

// Whether the elements fill one gap-free block in some axis order (axes of extent
// 1 ignored, strides non-negative), so a result may reuse the same strides.
inline bool is_dense(const Shape& shape, const Strides& strides) {
    SmallVector<std::size_t, 8> axes;
    for (std::size_t d = 0; d < shape.size(); ++d) {
        if (shape[d] == 0) return true;
        if (shape[d] > 1) axes.push_back(d);
    }
    // Insertion sort by stride, innermost first.
    for (std::size_t i = 1; i < axes.size(); ++i) {
        std::size_t moving = axes[i], j = i;
        while (j > 0 && strides[axes[j - 1]] > strides[moving]) {
            axes[j] = axes[j - 1];
            --j;
        }
        axes[j] = moving;
    }
    std::ptrdiff_t expected = 1;
    for (std::size_t d : axes) {
        if (strides[d] != expected) return false;
        expected *= static_cast<std::ptrdiff_t>(shape[d]);
    }
    return true;
}

// Strides for the result of a one-operand map: the operand's own when dense.
inline Strides unary_result_strides(const Shape& shape, const Strides& strides) {
    return is_dense(shape, strides) ? strides : row_major_strides(shape);
}

}  // namespace zavra::cpu::iter
