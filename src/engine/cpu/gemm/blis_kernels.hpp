// Our own BLIS micro-kernel and packing kernel for processors with AVX-512.
#pragma once

#include <blis.h>

namespace zavra::cpu::gemm {

// The single-precision micro-kernel computes an mr x nr block of C from packed
// panels; the packing kernel fills the mr-row panels of A (the nr-column panels of
// B are packed by BLIS itself).
struct BlisKernels {
    sgemm_ukr_ft gemm;
    spackm_cxk_ker_ft pack_a;
    dim_t mr, nr;
    bool row_preferred;  // the micro-kernel writes rows of C with unit stride fastest
};

// Null when the build has no AVX-512 kernels. Only for processors with AVX-512F.
const BlisKernels* blis_kernels_avx512();

}  // namespace zavra::cpu::gemm
