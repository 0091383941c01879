// Axis ordering, coalescing and the outer odometer of the element-wise engine.
#include "engine/cpu/iter/elementwise.hpp"

#include <cstdlib>

#include "support/small_vector.hpp"

namespace zavra::cpu::iter {

namespace {

struct Axis {
    std::size_t extent;
    std::ptrdiff_t stride[kMaxOperands];  // bytes
};

std::ptrdiff_t magnitude(std::ptrdiff_t v) { return v < 0 ? -v : v; }

}  // namespace

void for_each(const Shape& shape, const Operand* operands, int count, simd::Loop loop) {
    SmallVector<Axis, 8> axes;
    axes.reserve(shape.size());
    for (std::size_t d = 0; d < shape.size(); ++d) {
        if (shape[d] == 0) return;
        if (shape[d] == 1) continue;
        Axis axis{};
        axis.extent = shape[d];
        for (int k = 0; k < count; ++k) {
            axis.stride[k] = operands[k].strides[d] * static_cast<std::ptrdiff_t>(operands[k].width);
        }
        axes.push_back(axis);
    }

    // Outermost first, ordered by the output's stride (stable insertion sort: the
    // logical order decides among equal strides).
    for (std::size_t i = 1; i < axes.size(); ++i) {
        Axis moving = axes[i];
        std::size_t j = i;
        while (j > 0 && magnitude(axes[j - 1].stride[0]) < magnitude(moving.stride[0])) {
            axes[j] = axes[j - 1];
            --j;
        }
        axes[j] = moving;
    }

    // Merge an axis into the one inside it when every operand steps through both
    // as one run.
    SmallVector<Axis, 8> merged;
    merged.reserve(axes.size());
    for (const Axis& axis : axes) {
        if (!merged.empty()) {
            Axis& outer = merged.back();
            bool fits = true;
            for (int k = 0; k < count && fits; ++k) {
                fits = outer.stride[k] == axis.stride[k] * static_cast<std::ptrdiff_t>(axis.extent);
            }
            if (fits) {
                outer.extent *= axis.extent;
                for (int k = 0; k < count; ++k) outer.stride[k] = axis.stride[k];
                continue;
            }
        }
        merged.push_back(axis);
    }

    char* ptrs[kMaxOperands];
    for (int k = 0; k < count; ++k) ptrs[k] = operands[k].base;

    if (merged.empty()) {
        std::ptrdiff_t zero[kMaxOperands] = {};
        loop(ptrs, zero, 1);
        return;
    }

    const Axis& inner = merged.back();
    const std::size_t outer_rank = merged.size() - 1;
    if (outer_rank == 0) {
        loop(ptrs, inner.stride, inner.extent);
        return;
    }

    SmallVector<std::size_t, 8> index(outer_rank, 0);
    for (;;) {
        loop(ptrs, inner.stride, inner.extent);
        // Odometer over the outer axes, innermost outer axis fastest.
        std::size_t d = outer_rank;
        for (;;) {
            if (d == 0) return;
            --d;
            const Axis& axis = merged[d];
            if (++index[d] < axis.extent) {
                for (int k = 0; k < count; ++k) ptrs[k] += axis.stride[k];
                break;
            }
            index[d] = 0;
            for (int k = 0; k < count; ++k) {
                ptrs[k] -= axis.stride[k] * static_cast<std::ptrdiff_t>(axis.extent - 1);
            }
        }
    }
}

}  // namespace zavra::cpu::iter
