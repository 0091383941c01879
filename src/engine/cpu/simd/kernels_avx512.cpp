// The element-wise inner loops built for the avx512 instruction set.
#define ZAVRA_ISA avx512
#define ZAVRA_TABLE_NAME "avx512"
#include "engine/cpu/simd/kernels.inl"

namespace zavra::cpu::simd {
const KernelTable* avx512_table() { return &avx512::table; }
}  // namespace zavra::cpu::simd
