// Axis ordering, coalescing and the outer odometer of the element-wise engine.
#include "engine/cpu/iter/elementwise.hpp"

#include <memory>

namespace zavra::cpu::iter {

namespace {

struct Axis {
    std::size_t extent;
    std::ptrdiff_t stride[kMaxOperands];  // bytes
};

// Ranks up to this many axes are walked without touching the heap.
constexpr std::size_t kStackAxes = 12;

std::ptrdiff_t magnitude(std::ptrdiff_t v) { return v < 0 ? -v : v; }

// Sorts, merges and walks `n` prepared axes.
void walk(Axis* axes, std::size_t n, const Operand* operands, int count, simd::Loop loop) {
    char* ptrs[kMaxOperands];
    for (int k = 0; k < count; ++k) ptrs[k] = operands[k].base;

    if (n == 0) {
        std::ptrdiff_t zero[kMaxOperands] = {};
        loop(ptrs, zero, 1);
        return;
    }

    // Outermost first, ordered by the output's stride (stable insertion sort: the
    // logical order decides among equal strides). Already sorted in the common case.
    for (std::size_t i = 1; i < n; ++i) {
        if (magnitude(axes[i - 1].stride[0]) >= magnitude(axes[i].stride[0])) continue;
        Axis moving = axes[i];
        std::size_t j = i;
        while (j > 0 && magnitude(axes[j - 1].stride[0]) < magnitude(moving.stride[0])) {
            axes[j] = axes[j - 1];
            --j;
        }
        axes[j] = moving;
    }

    // Merge an axis into the one outside it when every operand steps through both
    // as one run.
    std::size_t m = 0;
    for (std::size_t i = 1; i < n; ++i) {
        Axis& outer = axes[m];
        const Axis& axis = axes[i];
        bool fits = true;
        for (int k = 0; k < count && fits; ++k) {
            fits = outer.stride[k] == axis.stride[k] * static_cast<std::ptrdiff_t>(axis.extent);
        }
        if (fits) {
            outer.extent *= axis.extent;
            for (int k = 0; k < count; ++k) outer.stride[k] = axis.stride[k];
        } else {
            axes[++m] = axis;
        }
    }
    n = m + 1;

    const Axis& inner = axes[n - 1];
    if (n == 1) {
        loop(ptrs, inner.stride, inner.extent);
        return;
    }
    if (n == 2) {
        const Axis& outer = axes[0];
        for (std::size_t i = 0; i < outer.extent; ++i) {
            loop(ptrs, inner.stride, inner.extent);
            for (int k = 0; k < count; ++k) ptrs[k] += outer.stride[k];
        }
        return;
    }

    const std::size_t outer_rank = n - 1;
    std::size_t stack_index[kStackAxes];
    std::unique_ptr<std::size_t[]> heap_index;
    std::size_t* index = stack_index;
    if (outer_rank > kStackAxes) {
        heap_index = std::make_unique<std::size_t[]>(outer_rank);
        index = heap_index.get();
    }
    for (std::size_t d = 0; d < outer_rank; ++d) index[d] = 0;
    for (;;) {
        loop(ptrs, inner.stride, inner.extent);
        // Odometer over the outer axes, innermost outer axis fastest.
        std::size_t d = outer_rank;
        for (;;) {
            if (d == 0) return;
            --d;
            const Axis& axis = axes[d];
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

}  // namespace

void for_each(const Shape& shape, const Operand* operands, int count, simd::Loop loop) {
    const std::size_t rank = shape.size();
    Axis stack_axes[kStackAxes];
    std::unique_ptr<Axis[]> heap_axes;
    Axis* axes = stack_axes;
    if (rank > kStackAxes) {
        heap_axes = std::make_unique<Axis[]>(rank);
        axes = heap_axes.get();
    }
    std::size_t n = 0;
    for (std::size_t d = 0; d < rank; ++d) {
        const std::size_t extent = shape[d];
        if (extent == 0) return;
        if (extent == 1) continue;
        Axis& axis = axes[n++];
        axis.extent = extent;
        for (int k = 0; k < count; ++k) {
            axis.stride[k] = operands[k].strides[d] * static_cast<std::ptrdiff_t>(operands[k].width);
        }
    }
    walk(axes, n, operands, count, loop);
}

}  // namespace zavra::cpu::iter
