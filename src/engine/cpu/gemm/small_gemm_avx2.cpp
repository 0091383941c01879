// The small-matrix product built for the avx2 instruction set.
#define ZAVRA_ISA avx2
#include "engine/cpu/gemm/small_gemm.inl"

namespace zavra::cpu::gemm {
SmallGemm small_gemm_avx2() { return &avx2::small_gemm; }
}  // namespace zavra::cpu::gemm
