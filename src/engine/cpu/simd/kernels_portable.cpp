// The element-wise inner loops built for the portable instruction set.
#define ZAVRA_ISA portable
#define ZAVRA_TABLE_NAME "portable"
#include "engine/cpu/simd/kernels.inl"

namespace zavra::cpu::simd {
const KernelTable* portable_table() { return &portable::table; }
}  // namespace zavra::cpu::simd
