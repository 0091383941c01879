// BLIS micro-kernel (14 x 32) and A-panel packing kernel built for AVX-512.
// BLIS picks its AVX2 kernels on processors whose model it cannot identify, which
// halves the reachable speed; these restore the 512-bit path. Only types come from
// blis.h here: none of its inline functions is used in this translation unit, so
// no copy of them built with AVX-512 instructions can be shared with other code.
// GCC 12's AVX-512 shuffle intrinsics trip a false -Wmaybe-uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include "engine/cpu/gemm/blis_kernels.hpp"

namespace zavra::cpu::gemm {
namespace {

constexpr int kMr = 14;       // rows of C per call: broadcasts from the packed A panel
constexpr int kNv = 2;        // 16-float vectors per row: loads from the packed B panel
constexpr int kNr = 16 * kNv;  // 28 accumulators + 2 B vectors + 1 broadcast = 31 registers

inline __mmask16 lanes(dim_t count) {
    return count >= 16 ? static_cast<__mmask16>(0xFFFF)
                       : count <= 0 ? static_cast<__mmask16>(0) : static_cast<__mmask16>((1u << count) - 1u);
}

// C := beta * C + alpha * A * B for one m x n block (m <= 14, n <= 32). With beta 0,
// C is written without being read.
void gemm_14x32(dim_t m, dim_t n, dim_t k, float* __restrict alpha, float* __restrict a, float* __restrict b,
                float* __restrict beta, float* __restrict c, inc_t rs_c, inc_t cs_c, auxinfo_t*, cntx_t*) {
    __m512 acc[kMr][kNv];
#pragma GCC unroll 16
    for (int i = 0; i < kMr; ++i) {
#pragma GCC unroll 2
        for (int v = 0; v < kNv; ++v) acc[i][v] = _mm512_setzero_ps();
    }
    // One k step: two vectors of the B panel, fourteen broadcasts from the A panel.
    auto step = [&](int off) __attribute__((always_inline)) {
        __m512 bv[kNv];
#pragma GCC unroll 2
        for (int v = 0; v < kNv; ++v) bv[v] = _mm512_loadu_ps(b + off * kNr + 16 * v);
#pragma GCC unroll 16
        for (int i = 0; i < kMr; ++i) {
            const __m512 av = _mm512_set1_ps(a[off * kMr + i]);
#pragma GCC unroll 2
            for (int v = 0; v < kNv; ++v) acc[i][v] = _mm512_fmadd_ps(av, bv[v], acc[i][v]);
        }
    };
    // Two steps per iteration; the A panel is fetched eight steps ahead. (Fetching the
    // C block or the B panel ahead measured slower.)
    dim_t p = 0;
    for (; p + 2 <= k; p += 2) {
        _mm_prefetch(reinterpret_cast<const char*>(a + 8 * kMr), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(a + 8 * kMr + 16), _MM_HINT_T0);
        step(0);
        step(1);
        a += 2 * kMr;
        b += 2 * kNr;
    }
    if (p < k) step(0);
    const float al = *alpha;
    const float be = *beta;
    if (al != 1.0f) {
        const __m512 va = _mm512_set1_ps(al);
#pragma GCC unroll 16
        for (int i = 0; i < kMr; ++i) {
#pragma GCC unroll 2
            for (int v = 0; v < kNv; ++v) acc[i][v] = _mm512_mul_ps(acc[i][v], va);
        }
    }
    if (cs_c == 1) {
        const __mmask16 mask[kNv] = {lanes(n), lanes(n - 16)};
        const __m512 vb = _mm512_set1_ps(be);
#pragma GCC unroll 16
        for (int i = 0; i < kMr; ++i) {
            if (i >= m) break;
            float* row = c + i * rs_c;
#pragma GCC unroll 2
            for (int v = 0; v < kNv; ++v) {
                __m512 out = acc[i][v];
                if (be != 0.0f) out = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(mask[v], row + 16 * v), vb, out);
                _mm512_mask_storeu_ps(row + 16 * v, mask[v], out);
            }
        }
        return;
    }
    // Any other layout of C: through a local block, element by element.
    alignas(64) float block[kMr][kNr];
#pragma GCC unroll 16
    for (int i = 0; i < kMr; ++i) {
#pragma GCC unroll 2
        for (int v = 0; v < kNv; ++v) _mm512_store_ps(&block[i][16 * v], acc[i][v]);
    }
    for (dim_t i = 0; i < m; ++i) {
        for (dim_t j = 0; j < n; ++j) {
            float* cij = c + i * rs_c + j * cs_c;
            *cij = be == 0.0f ? block[i][j] : be * *cij + block[i][j];
        }
    }
}

#include "engine/cpu/gemm/transpose16.inl"

// Packs cdim (<= 14) rows of A, n columns long, into p: column j at p + j * ldp, rows
// cdim..13 and columns n..n_max-1 zero, every element scaled by kappa.
void pack_14(conj_t, pack_t, dim_t cdim, dim_t n, dim_t n_max, float* __restrict kappa, float* __restrict a,
             inc_t inca, inc_t lda, float* __restrict p, inc_t ldp, cntx_t*) {
    const __mmask16 column = lanes(kMr);
    const __m512 vk = _mm512_set1_ps(*kappa);
    if (inca == 1) {
        const __mmask16 rows = lanes(cdim);
        for (dim_t j = 0; j < n; ++j) {
            const __m512 v = _mm512_maskz_loadu_ps(rows, a + j * lda);
            _mm512_mask_storeu_ps(p + j * ldp, column, _mm512_mul_ps(v, vk));
        }
    } else if (lda == 1) {
        // Rows are contiguous: transpose 16-column slices in registers.
        for (dim_t j0 = 0; j0 < n; j0 += 16) {
            const dim_t count = n - j0 < 16 ? n - j0 : 16;
            const __mmask16 cols = lanes(count);
            __m512 r[16];
#pragma GCC unroll 16
            for (int i = 0; i < 16; ++i) {
                r[i] = i < cdim ? _mm512_maskz_loadu_ps(cols, a + i * inca + j0) : _mm512_setzero_ps();
            }
            transpose16(r);
#pragma GCC unroll 16
            for (int j = 0; j < 16; ++j) {
                if (j < count) _mm512_mask_storeu_ps(p + (j0 + j) * ldp, column, _mm512_mul_ps(r[j], vk));
            }
        }
    } else {
        const float kap = *kappa;
        for (dim_t j = 0; j < n; ++j) {
            float* pj = p + j * ldp;
            for (dim_t i = 0; i < kMr; ++i) pj[i] = i < cdim ? kap * a[i * inca + j * lda] : 0.0f;
        }
    }
    for (dim_t j = n; j < n_max; ++j) _mm512_mask_storeu_ps(p + j * ldp, column, _mm512_setzero_ps());
}

const BlisKernels kKernels{&gemm_14x32, &pack_14, kMr, kNr, true};

}  // namespace

const BlisKernels* blis_kernels_avx512() { return &kKernels; }

}  // namespace zavra::cpu::gemm
