// The small-matrix product built for the portable instruction set.
#define ZAVRA_ISA portable
#include "engine/cpu/gemm/small_gemm.inl"

namespace zavra::cpu::gemm {
SmallGemm small_gemm_portable() { return &portable::small_gemm; }
}  // namespace zavra::cpu::gemm
