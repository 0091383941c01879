// Register-blocked small matrix product, compiled once per instruction set.
// The including file defines ZAVRA_ISA (a namespace name) and is compiled with that
// instruction set's flags. Everything here has internal linkage inside that namespace
// and uses no inline library templates, so no definition built with wider
// instructions can be picked up by another build.

#include <cstddef>

#if defined(__AVX512F__) || (defined(__AVX2__) && defined(__FMA__))
// GCC 12's AVX-512 shuffle intrinsics (the transposes) trip a false -Wmaybe-uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

#include "engine/cpu/gemm/small_gemm.hpp"

namespace zavra::cpu::gemm::ZAVRA_ISA {
namespace {

using std::ptrdiff_t;
using std::size_t;

// Vector of kW floats with loads and stores of the first `count` lanes only, so edge
// columns never touch memory beyond the matrix.
#if defined(__AVX512F__)
constexpr int kW = 16;
constexpr int kRows = 8;  // 8 x 2 accumulators of 16 floats: 16 of the 32 registers
using V = __m512;
inline __mmask16 lanes(int count) { return static_cast<__mmask16>((1u << count) - 1u); }
inline V vzero() { return _mm512_setzero_ps(); }
inline V vload(const float* p) { return _mm512_loadu_ps(p); }
inline V vload_part(const float* p, int count) { return _mm512_maskz_loadu_ps(lanes(count), p); }
inline void vstore(float* p, V v) { _mm512_storeu_ps(p, v); }
inline void vstore_part(float* p, V v, int count) { _mm512_mask_storeu_ps(p, lanes(count), v); }
inline V vbroadcast(float x) { return _mm512_set1_ps(x); }
inline V vfma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
#elif defined(__AVX2__) && defined(__FMA__)
constexpr int kW = 8;
constexpr int kRows = 6;  // 6 x 2 accumulators of 8 floats: 12 of the 16 registers
using V = __m256;
inline __m256i lanes(int count) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(count), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}
inline V vzero() { return _mm256_setzero_ps(); }
inline V vload(const float* p) { return _mm256_loadu_ps(p); }
inline V vload_part(const float* p, int count) { return _mm256_maskload_ps(p, lanes(count)); }
inline void vstore(float* p, V v) { _mm256_storeu_ps(p, v); }
inline void vstore_part(float* p, V v, int count) { _mm256_maskstore_ps(p, lanes(count), v); }
inline V vbroadcast(float x) { return _mm256_set1_ps(x); }
inline V vfma(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
#else
// Plain compiler vectors: whatever the target offers, with a separate multiply and add.
constexpr int kW = 4;
constexpr int kRows = 4;
typedef float V __attribute__((vector_size(16)));
inline V vzero() { return V{0.0f, 0.0f, 0.0f, 0.0f}; }
inline V vload(const float* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
inline V vload_part(const float* p, int count) {
    V v = vzero();
    for (int i = 0; i < count; ++i) v[i] = p[i];
    return v;
}
inline void vstore(float* p, V v) { __builtin_memcpy(p, &v, sizeof v); }
inline void vstore_part(float* p, V v, int count) {
    for (int i = 0; i < count; ++i) p[i] = v[i];
}
inline V vbroadcast(float x) { return V{x, x, x, x}; }
inline V vfma(V a, V b, V c) { return a * b + c; }
#endif

constexpr int kVecs = 2;  // vectors per row of a tile
constexpr size_t kCols = static_cast<size_t>(kVecs * kW);
// Depth of one pass: a strip of B (kDepth x kCols) fits the first-level cache while
// every row block of A passes over it.
constexpr size_t kDepth = 256;
// Strips of B up to this many elements are read in place when their rows are contiguous.
constexpr size_t kPackFrom = 2048;

// One tile of R rows and NV vectors of columns; the last vector holds `last` columns
// (all kW unless Partial). Sums k products in registers, then stores, or adds to what
// an earlier pass over the same tile left in C.
template <int R, int NV, bool Partial>
void tile(size_t k, const float* a, ptrdiff_t ars, ptrdiff_t acs, const float* b, ptrdiff_t brs, float* c,
          ptrdiff_t ldc, int last, bool accumulate) {
    V acc[R][NV];
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) {
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) {
            if (!accumulate) acc[r][v] = vzero();
            else if (Partial && v == NV - 1) acc[r][v] = vload_part(c + r * ldc + v * kW, last);
            else acc[r][v] = vload(c + r * ldc + v * kW);
        }
    }
    for (size_t p = 0; p < k; ++p) {
        V bv[NV];
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) {
            if (Partial && v == NV - 1) bv[v] = vload_part(b + v * kW, last);
            else bv[v] = vload(b + v * kW);
        }
#pragma GCC unroll 16
        for (int r = 0; r < R; ++r) {
            const V av = vbroadcast(a[r * ars]);
#pragma GCC unroll 4
            for (int v = 0; v < NV; ++v) acc[r][v] = vfma(av, bv[v], acc[r][v]);
        }
        a += acs;
        b += brs;
    }
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) {
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) {
            if (Partial && v == NV - 1) vstore_part(c + r * ldc + v * kW, acc[r][v], last);
            else vstore(c + r * ldc + v * kW, acc[r][v]);
        }
    }
}

using TileFn = void (*)(size_t, const float*, ptrdiff_t, ptrdiff_t, const float*, ptrdiff_t, float*, ptrdiff_t, int,
                        bool);

// fns[rows - 1][vectors - 1][partial]
struct TileTable {
    TileFn fns[kRows][kVecs][2];
};

template <int R>
constexpr void fill_tiles(TileTable& t) {
    t.fns[R - 1][0][0] = &tile<R, 1, false>;
    t.fns[R - 1][0][1] = &tile<R, 1, true>;
    t.fns[R - 1][1][0] = &tile<R, 2, false>;
    t.fns[R - 1][1][1] = &tile<R, 2, true>;
    if constexpr (R > 1) fill_tiles<R - 1>(t);
}

constexpr TileTable make_tiles() {
    TileTable t{};
    fill_tiles<kRows>(t);
    return t;
}

constexpr TileTable kTiles = make_tiles();

#if defined(__AVX512F__)
#include "engine/cpu/gemm/transpose16.inl"
#endif

// Copies `depth` rows of a strip of B, `cols` (<= kCols) wide, into rows of kCols floats.
void pack_strip(const float* b, ptrdiff_t brs, ptrdiff_t bcs, size_t depth, size_t cols, float* out) {
    size_t p = 0;
#if defined(__AVX512F__)
    // Columns of B contiguous along k (B stored transposed): transpose 16 x 16 blocks.
    if (brs == 1) {
        for (; p + 16 <= depth; p += 16) {
            for (size_t j0 = 0; j0 < cols; j0 += 16) {
                const size_t count = cols - j0 < 16 ? cols - j0 : 16;
                __m512 r[16];
#pragma GCC unroll 16
                for (size_t j = 0; j < 16; ++j) {
                    const float* column = b + static_cast<ptrdiff_t>(j0 + j) * bcs + static_cast<ptrdiff_t>(p);
                    r[j] = j < count ? _mm512_loadu_ps(column) : _mm512_setzero_ps();
                }
                transpose16(r);
#pragma GCC unroll 16
                for (size_t q = 0; q < 16; ++q) _mm512_storeu_ps(out + (p + q) * kCols + j0, r[q]);
            }
        }
    }
#endif
    if (bcs == 1) {
        const int full = static_cast<int>(cols) / kW;
        const int rest = static_cast<int>(cols) % kW;
        for (; p < depth; ++p) {
            const float* row = b + static_cast<ptrdiff_t>(p) * brs;
            for (int v = 0; v < full; ++v) vstore(out + p * kCols + v * kW, vload(row + v * kW));
            if (rest) vstore_part(out + p * kCols + full * kW, vload_part(row + full * kW, rest), rest);
        }
        return;
    }
    for (; p < depth; ++p) {
        const float* row = b + static_cast<ptrdiff_t>(p) * brs;
        for (size_t j = 0; j < cols; ++j) out[p * kCols + j] = row[static_cast<ptrdiff_t>(j) * bcs];
    }
}

// Column strips of B outermost, then passes of kDepth over k, then row blocks of A.
void small_gemm(size_t m, size_t k, size_t n, const float* a, ptrdiff_t ars, ptrdiff_t acs, const float* b,
                ptrdiff_t brs, ptrdiff_t bcs, float* c, ptrdiff_t ldc) {
    alignas(64) float strip[kDepth * kCols];
    for (size_t j = 0; j < n; j += kCols) {
        const size_t cols = n - j < kCols ? n - j : kCols;
        const int vectors = static_cast<int>((cols + kW - 1) / kW);
        const int last = static_cast<int>(cols) - (vectors - 1) * kW;
        const bool partial = last != kW;
        for (size_t p = 0; p < k; p += kDepth) {
            const size_t depth = k - p < kDepth ? k - p : kDepth;
            const float* bs = b + static_cast<ptrdiff_t>(p) * brs + static_cast<ptrdiff_t>(j) * bcs;
            ptrdiff_t bstride = brs;
            // Several row blocks reuse a sizeable strip: a packed copy keeps it in the
            // first-level cache whatever the row stride (power-of-two row strides map
            // the rows of B onto a few cache sets).
            if (bcs != 1 || (m > static_cast<size_t>(kRows) && depth * kCols > kPackFrom)) {
                pack_strip(bs, brs, bcs, depth, cols, strip);
                bs = strip;
                bstride = static_cast<ptrdiff_t>(kCols);
            }
            const float* ap = a + static_cast<ptrdiff_t>(p) * acs;
            float* cp = c + static_cast<ptrdiff_t>(j);
            for (size_t i = 0; i < m; i += kRows) {
                const size_t rows = m - i < static_cast<size_t>(kRows) ? m - i : static_cast<size_t>(kRows);
                const auto row = static_cast<ptrdiff_t>(i);
                kTiles.fns[rows - 1][vectors - 1][partial](depth, ap + row * ars, ars, acs, bs, bstride,
                                                           cp + row * ldc, ldc, last, p != 0);
            }
        }
    }
}

}  // namespace
}  // namespace zavra::cpu::gemm::ZAVRA_ISA
