// The element-wise inner loops built for the avx2 instruction set.
#define ZAVRA_ISA avx2
#define ZAVRA_TABLE_NAME "avx2"
#include "engine/cpu/simd/kernels.inl"

namespace zavra::cpu::simd {
const KernelTable* avx2_table() { return &avx2::table; }
}  // namespace zavra::cpu::simd
