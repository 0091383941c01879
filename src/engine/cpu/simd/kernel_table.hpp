// The inner loops of every element-wise kernel, one table per instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zavra::cpu::simd {

// An inner loop over n elements. ptrs[0] (and ptrs[1] for two-result loops) are
// outputs, the rest inputs; strides are in bytes and may be zero or negative.
using Loop = void (*)(char* const* ptrs, const std::ptrdiff_t* strides, std::size_t n);

enum class BinaryOp : int { Add, Sub, Mul, Div, Eq, Ge, Gt, Le, Lt };
inline constexpr int kBinaryOpCount = 9;
enum class LogicalOp : int { And, Or, Xor };
inline constexpr int kLogicalOpCount = 3;

// Index by DType position: F16, BF16, F32, Bool. Unsupported entries are null.
struct KernelTable {
    const char* name;
    Loop binary[kBinaryOpCount][4];
    Loop logical[kLogicalOpCount];
    Loop logical_not;
    Loop relu[3];
    Loop relu_backward[3];  // (out, grad, input)
    Loop div_backward[3];   // (grad_lhs, grad_rhs, grad, lhs, rhs)
    void (*widen_f16)(const std::uint16_t* in, float* out, std::size_t n);
    void (*widen_bf16)(const std::uint16_t* in, float* out, std::size_t n);
    void (*narrow_f16)(const float* in, std::uint16_t* out, std::size_t n);
    void (*narrow_bf16)(const float* in, std::uint16_t* out, std::size_t n);
};

// The best table this processor supports, chosen once.
const KernelTable& kernels();

// Each instruction-set build provides one table; null when not compiled in.
const KernelTable* portable_table();
const KernelTable* avx2_table();
const KernelTable* avx512_table();

}  // namespace zavra::cpu::simd
