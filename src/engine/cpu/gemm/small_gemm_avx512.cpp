// The small-matrix product built for the avx512 instruction set.
#define ZAVRA_ISA avx512
#include "engine/cpu/gemm/small_gemm.inl"

namespace zavra::cpu::gemm {
SmallGemm small_gemm_avx512() { return &avx512::small_gemm; }
}  // namespace zavra::cpu::gemm
