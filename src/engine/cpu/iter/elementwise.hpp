// The one iteration engine behind every element-wise kernel: it walks up to five
// operands of one shape together and hands contiguous-as-possible runs to an inner loop.
#pragma once

#include <cstddef>

#include "engine/cpu/simd/kernel_table.hpp"
#include "support/shape.hpp"

namespace zavra::cpu::iter {

inline constexpr int kMaxOperands = 5;

struct Operand {
    char* base;                      // element at index (0, ..., 0); outputs first
    const std::ptrdiff_t* strides;   // in elements, one per axis of the shape
    std::size_t width;               // element width in bytes
};

// Runs `loop` over every position of `shape`. Axes are visited in the memory order
// of operand 0 (the output), axes of extent 1 are dropped and axes that are
// contiguous for every operand are merged, so the inner loop sees the longest
// runs the layouts allow.
void for_each(const Shape& shape, const Operand* operands, int count, simd::Loop loop);

}  // namespace zavra::cpu::iter
