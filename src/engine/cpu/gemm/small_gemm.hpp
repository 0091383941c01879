// The register-blocked product of small matrices, one build per instruction set.
#pragma once

#include <cstddef>

namespace zavra::cpu::gemm {

// C := A * B for an m x n block C in row-major order (row stride ldc), m, k, n >= 1.
// A and B are read through any strides. Every element of C is written; C is read
// back only where the kernel itself wrote it earlier in the same call.
using SmallGemm = void (*)(std::size_t m, std::size_t k, std::size_t n, const float* a, std::ptrdiff_t ars,
                           std::ptrdiff_t acs, const float* b, std::ptrdiff_t brs, std::ptrdiff_t bcs, float* c,
                           std::ptrdiff_t ldc);

// Each instruction-set build provides one kernel; null when not compiled in.
SmallGemm small_gemm_portable();
SmallGemm small_gemm_avx2();
SmallGemm small_gemm_avx512();

}  // namespace zavra::cpu::gemm
