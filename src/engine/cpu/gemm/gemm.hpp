// The single-precision product of one pair of matrices with arbitrary element strides.
#pragma once

#include <cstddef>

namespace zavra::cpu::gemm {

// C := A * B on the calling thread. A is m x k and B is k x n, each read through its
// row and column strides (in elements; any layout that addresses every element once);
// C is m x n in row-major order with row stride ldc. Requires m, k, n >= 1. Every
// element of C is written and none is read.
void sgemm(std::size_t m, std::size_t k, std::size_t n, const float* a, std::ptrdiff_t ars, std::ptrdiff_t acs,
           const float* b, std::ptrdiff_t brs, std::ptrdiff_t bcs, float* c, std::ptrdiff_t ldc);

}  // namespace zavra::cpu::gemm
