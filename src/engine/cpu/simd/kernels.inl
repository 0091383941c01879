// Generic inner loops, compiled once per instruction set.
// The including file defines ZAVRA_ISA (a namespace name) and ZAVRA_TABLE_NAME and
// is compiled with that instruction set's flags. Everything here lives in that
// namespace and uses no inline library templates, so no definition compiled with
// wider instructions can leak into another build.

#include <cstddef>
#include <cstdint>

#if defined(__F16C__) || defined(__AVX512F__)
// GCC 12's AVX-512 conversion intrinsics trip a false -Wmaybe-uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#endif

#include "engine/cpu/simd/kernel_table.hpp"

namespace zavra::cpu::simd::ZAVRA_ISA {
namespace {

#include "engine/cpu/numeric/half_convert.inl"

using std::ptrdiff_t;
using std::size_t;

struct F16 {
    uint16_t bits;
};
struct BF16 {
    uint16_t bits;
};

constexpr size_t kChunk = 256;

inline size_t min_size(size_t a, size_t b) { return a < b ? a : b; }

// ---- bulk conversions of contiguous runs ----------------------------------

void widen_f16_run(const uint16_t* __restrict in, float* __restrict out, size_t n) {
    size_t i = 0;
#if defined(__AVX512F__)
    for (; i + 16 <= n; i += 16) {
        __m256i h = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        _mm512_storeu_ps(out + i, _mm512_cvtph_ps(h));
    }
#elif defined(__F16C__)
    for (; i + 8 <= n; i += 8) {
        __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm256_storeu_ps(out + i, _mm256_cvtph_ps(h));
    }
#endif
    for (; i < n; ++i) out[i] = f16_bits_to_f32(in[i]);
}

void narrow_f16_run(const float* __restrict in, uint16_t* __restrict out, size_t n) {
    size_t i = 0;
#if defined(__AVX512F__)
    for (; i + 16 <= n; i += 16) {
        __m256i h = _mm512_cvtps_ph(_mm512_loadu_ps(in + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), h);
    }
#elif defined(__F16C__)
    for (; i + 8 <= n; i += 8) {
        __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(in + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), h);
    }
#endif
    for (; i < n; ++i) out[i] = f32_to_f16_bits(in[i]);
}

void widen_bf16_run(const uint16_t* __restrict in, float* __restrict out, size_t n) {
    uint32_t* o = reinterpret_cast<uint32_t*>(out);
    for (size_t i = 0; i < n; ++i) o[i] = static_cast<uint32_t>(in[i]) << 16;
}

void narrow_bf16_run(const float* __restrict in, uint16_t* __restrict out, size_t n) {
    const uint32_t* x = reinterpret_cast<const uint32_t*>(in);
    // Branch-free so that it vectorises; the same formula as f32_to_bf16_bits.
    for (size_t i = 0; i < n; ++i) {
        uint32_t v = x[i];
        uint32_t rounded = (v + 0x7fffu + ((v >> 16) & 1u)) >> 16;
        uint32_t quiet = (v >> 16) | 0x0040u;
        out[i] = static_cast<uint16_t>((v & 0x7fffffffu) > 0x7f800000u ? quiet : rounded);
    }
}

// ---- element traits ---------------------------------------------------------

template <class T>
struct Elem;

template <>
struct Elem<float> {
    static float load(const char* p) {
        float v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(char* p, float v) { __builtin_memcpy(p, &v, sizeof v); }
    static void widen_run(const char* in, float* out, size_t n) { __builtin_memcpy(out, in, n * sizeof(float)); }
    static void narrow_run(const float* in, char* out, size_t n) { __builtin_memcpy(out, in, n * sizeof(float)); }
    static float round(float v) { return v; }
    static bool positive_bits(const char* p) { return load(p) > 0.0f; }
};

template <>
struct Elem<F16> {
    static float load(const char* p) {
        uint16_t h;
        __builtin_memcpy(&h, p, 2);
        return f16_bits_to_f32(h);
    }
    static void store(char* p, float v) {
        uint16_t h = f32_to_f16_bits(v);
        __builtin_memcpy(p, &h, 2);
    }
    static void widen_run(const char* in, float* out, size_t n) {
        widen_f16_run(reinterpret_cast<const uint16_t*>(in), out, n);
    }
    static void narrow_run(const float* in, char* out, size_t n) {
        narrow_f16_run(in, reinterpret_cast<uint16_t*>(out), n);
    }
    static float round(float v) { return f16_bits_to_f32(f32_to_f16_bits(v)); }
};

template <>
struct Elem<BF16> {
    static float load(const char* p) {
        uint16_t h;
        __builtin_memcpy(&h, p, 2);
        return bf16_bits_to_f32(h);
    }
    static void store(char* p, float v) {
        uint16_t h = f32_to_bf16_bits(v);
        __builtin_memcpy(p, &h, 2);
    }
    static void widen_run(const char* in, float* out, size_t n) {
        widen_bf16_run(reinterpret_cast<const uint16_t*>(in), out, n);
    }
    static void narrow_run(const float* in, char* out, size_t n) {
        narrow_bf16_run(in, reinterpret_cast<uint16_t*>(out), n);
    }
    static float round(float v) { return bf16_bits_to_f32(f32_to_bf16_bits(v)); }
};

// Widen n elements read with a byte stride into a float buffer.
template <class T>
inline const float* gather(const char* p, ptrdiff_t stride, size_t n, float* buf) {
    if (stride == static_cast<ptrdiff_t>(sizeof(T))) {
        Elem<T>::widen_run(p, buf, n);
    } else if (stride == 0) {
        float v = Elem<T>::load(p);
        for (size_t i = 0; i < n; ++i) buf[i] = v;
    } else {
        for (size_t i = 0; i < n; ++i) buf[i] = Elem<T>::load(p + static_cast<ptrdiff_t>(i) * stride);
    }
    return buf;
}

template <>
inline const float* gather<float>(const char* p, ptrdiff_t stride, size_t n, float* buf) {
    if (stride == static_cast<ptrdiff_t>(sizeof(float))) return reinterpret_cast<const float*>(p);
    if (stride == 0) {
        float v = Elem<float>::load(p);
        for (size_t i = 0; i < n; ++i) buf[i] = v;
    } else {
        for (size_t i = 0; i < n; ++i) buf[i] = Elem<float>::load(p + static_cast<ptrdiff_t>(i) * stride);
    }
    return buf;
}

template <class T>
inline void scatter(const float* buf, char* p, ptrdiff_t stride, size_t n) {
    if (stride == static_cast<ptrdiff_t>(sizeof(T))) {
        Elem<T>::narrow_run(buf, p, n);
    } else {
        for (size_t i = 0; i < n; ++i) Elem<T>::store(p + static_cast<ptrdiff_t>(i) * stride, buf[i]);
    }
}

// ---- the element functions ----------------------------------------------------

struct AddF { static float f(float a, float b) { return a + b; } };
struct SubF { static float f(float a, float b) { return a - b; } };
struct MulF { static float f(float a, float b) { return a * b; } };
struct DivF { static float f(float a, float b) { return a / b; } };
#if defined(__AVX512F__)
// Ordered, quiet predicates: false whenever a NaN is involved, like the scalar forms.
#define ZAVRA_CMP_MASK(pred) \
    static __mmask64 mask(__m512 a, __m512 b) { return _mm512_cmp_ps_mask(a, b, pred); }
#else
#define ZAVRA_CMP_MASK(pred)
#endif
struct EqF { static bool f(float a, float b) { return a == b; } ZAVRA_CMP_MASK(_CMP_EQ_OQ) };
struct GeF { static bool f(float a, float b) { return a >= b; } ZAVRA_CMP_MASK(_CMP_GE_OQ) };
struct GtF { static bool f(float a, float b) { return a > b; } ZAVRA_CMP_MASK(_CMP_GT_OQ) };
struct LeF { static bool f(float a, float b) { return a <= b; } ZAVRA_CMP_MASK(_CMP_LE_OQ) };
struct LtF { static bool f(float a, float b) { return a < b; } ZAVRA_CMP_MASK(_CMP_LT_OQ) };
#undef ZAVRA_CMP_MASK

// Arithmetic: out[i] = Op(a[i], b[i]) in float32, rounded to T.
template <class T, class Op>
void arith_loop(char* const* p, const ptrdiff_t* s, size_t n) {
    char* out = p[0];
    const char* a = p[1];
    const char* b = p[2];
    constexpr ptrdiff_t w = sizeof(T);
    if constexpr (sizeof(T) == sizeof(float)) {
        if (s[0] == w) {
            float* __restrict o = reinterpret_cast<float*>(out);
            if (s[1] == w && s[2] == w) {
                const float* __restrict x = reinterpret_cast<const float*>(a);
                const float* __restrict y = reinterpret_cast<const float*>(b);
                for (size_t i = 0; i < n; ++i) o[i] = Op::f(x[i], y[i]);
                return;
            }
            if (s[1] == w && s[2] == 0) {
                const float* __restrict x = reinterpret_cast<const float*>(a);
                const float y = Elem<float>::load(b);
                for (size_t i = 0; i < n; ++i) o[i] = Op::f(x[i], y);
                return;
            }
            if (s[1] == 0 && s[2] == w) {
                const float x = Elem<float>::load(a);
                const float* __restrict y = reinterpret_cast<const float*>(b);
                for (size_t i = 0; i < n; ++i) o[i] = Op::f(x, y[i]);
                return;
            }
        }
        // Other strides: one pass, no staging buffers (short runs of exchanged axes).
        // The strides are copied first: stores through char* could alias them.
        const ptrdiff_t so = s[0], sa = s[1], sb = s[2];
        for (size_t i = 0; i < n; ++i, out += so, a += sa, b += sb) {
            Elem<float>::store(out, Op::f(Elem<float>::load(a), Elem<float>::load(b)));
        }
        return;
    }
    float xa[kChunk], xb[kChunk], xo[kChunk];
    for (size_t done = 0; done < n; done += kChunk) {
        size_t m = min_size(kChunk, n - done);
        const float* fa = gather<T>(a + static_cast<ptrdiff_t>(done) * s[1], s[1], m, xa);
        const float* fb = gather<T>(b + static_cast<ptrdiff_t>(done) * s[2], s[2], m, xb);
        for (size_t i = 0; i < m; ++i) xo[i] = Op::f(fa[i], fb[i]);
        scatter<T>(xo, out + static_cast<ptrdiff_t>(done) * s[0], s[0], m);
    }
}

// Comparison: out is bool.
template <class T, class Op>
void compare_loop(char* const* p, const ptrdiff_t* s, size_t n) {
    char* out = p[0];
    const char* a = p[1];
    const char* b = p[2];
    if constexpr (sizeof(T) == sizeof(float)) {
        constexpr ptrdiff_t w = sizeof(float);
        if (s[0] == 1 && s[1] == w && (s[2] == w || s[2] == 0)) {
            uint8_t* __restrict o = reinterpret_cast<uint8_t*>(out);
            const float* __restrict x = reinterpret_cast<const float*>(a);
            if (s[2] == w) {
                const float* __restrict y = reinterpret_cast<const float*>(b);
                size_t i = 0;
#if defined(__AVX512BW__)
                // 64 results per step: four compare masks joined into one byte mask.
                const __m512i one = _mm512_set1_epi8(1);
                for (; i + 64 <= n; i += 64) {
                    __mmask64 m0 = Op::mask(_mm512_loadu_ps(x + i), _mm512_loadu_ps(y + i));
                    __mmask64 m1 = Op::mask(_mm512_loadu_ps(x + i + 16), _mm512_loadu_ps(y + i + 16));
                    __mmask64 m2 = Op::mask(_mm512_loadu_ps(x + i + 32), _mm512_loadu_ps(y + i + 32));
                    __mmask64 m3 = Op::mask(_mm512_loadu_ps(x + i + 48), _mm512_loadu_ps(y + i + 48));
                    __mmask64 m = m0 | (m1 << 16) | (m2 << 32) | (m3 << 48);
                    _mm512_storeu_si512(o + i, _mm512_maskz_mov_epi8(m, one));
                }
#endif
                for (; i < n; ++i) o[i] = Op::f(x[i], y[i]);
            } else {
                const float y = Elem<float>::load(b);
                for (size_t i = 0; i < n; ++i) o[i] = Op::f(x[i], y);
            }
            return;
        }
        const ptrdiff_t so = s[0], sa = s[1], sb = s[2];
        for (size_t i = 0; i < n; ++i, out += so, a += sa, b += sb) {
            *out = Op::f(Elem<float>::load(a), Elem<float>::load(b));
        }
        return;
    }
    float xa[kChunk], xb[kChunk];
    bool xo[kChunk];
    for (size_t done = 0; done < n; done += kChunk) {
        size_t m = min_size(kChunk, n - done);
        const float* fa = gather<T>(a + static_cast<ptrdiff_t>(done) * s[1], s[1], m, xa);
        const float* fb = gather<T>(b + static_cast<ptrdiff_t>(done) * s[2], s[2], m, xb);
        char* o = out + static_cast<ptrdiff_t>(done) * s[0];
        if (s[0] == 1) {
            bool* __restrict ob = reinterpret_cast<bool*>(o);
            for (size_t i = 0; i < m; ++i) ob[i] = Op::f(fa[i], fb[i]);
        } else {
            for (size_t i = 0; i < m; ++i) xo[i] = Op::f(fa[i], fb[i]);
            const ptrdiff_t so = s[0];
            for (size_t i = 0; i < m; ++i, o += so) *o = xo[i];
        }
    }
}

// Boolean comparisons and logical operations work on bytes holding 0 or 1.
struct BEq { static uint8_t f(uint8_t a, uint8_t b) { return a == b; } };
struct BGe { static uint8_t f(uint8_t a, uint8_t b) { return a >= b; } };
struct BGt { static uint8_t f(uint8_t a, uint8_t b) { return a > b; } };
struct BLe { static uint8_t f(uint8_t a, uint8_t b) { return a <= b; } };
struct BLt { static uint8_t f(uint8_t a, uint8_t b) { return a < b; } };
struct BAnd { static uint8_t f(uint8_t a, uint8_t b) { return a & b; } };
struct BOr { static uint8_t f(uint8_t a, uint8_t b) { return a | b; } };
struct BXor { static uint8_t f(uint8_t a, uint8_t b) { return a ^ b; } };

template <class Op>
void byte_loop(char* const* p, const ptrdiff_t* s, size_t n) {
    uint8_t* out = reinterpret_cast<uint8_t*>(p[0]);
    const uint8_t* a = reinterpret_cast<const uint8_t*>(p[1]);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(p[2]);
    if (s[0] == 1 && s[1] == 1 && s[2] == 1) {
        uint8_t* __restrict o = out;
        for (size_t i = 0; i < n; ++i) o[i] = Op::f(a[i], b[i]);
        return;
    }
    if (s[0] == 1 && s[1] == 1 && s[2] == 0) {
        const uint8_t y = *b;
        for (size_t i = 0; i < n; ++i) out[i] = Op::f(a[i], y);
        return;
    }
    // Strides copied first: byte stores could alias them.
    const ptrdiff_t so = s[0], sa = s[1], sb = s[2];
    for (size_t i = 0; i < n; ++i, out += so, a += sa, b += sb) *out = Op::f(*a, *b);
}

void not_loop(char* const* p, const ptrdiff_t* s, size_t n) {
    uint8_t* out = reinterpret_cast<uint8_t*>(p[0]);
    const uint8_t* a = reinterpret_cast<const uint8_t*>(p[1]);
    if (s[0] == 1 && s[1] == 1) {
        for (size_t i = 0; i < n; ++i) out[i] = a[i] ^ 1u;
        return;
    }
    const ptrdiff_t so = s[0], sa = s[1];
    for (size_t i = 0; i < n; ++i, out += so, a += sa) *out = *a ^ 1u;
}

// x > 0 on the element's own type. For the 16-bit types a positive value (up to
// +infinity) is exactly a bit pattern in [1, +inf]; -0, negatives and NaN are not.
template <class T>
struct Positive;
template <>
struct Positive<float> {
    using Bits = float;
    static bool f(float x) { return x > 0.0f; }
    static constexpr float zero = 0.0f;
};
template <>
struct Positive<F16> {
    using Bits = uint16_t;
    static bool f(uint16_t h) { return static_cast<uint16_t>(h - 1u) < 0x7c00u; }
    static constexpr uint16_t zero = 0;
};
template <>
struct Positive<BF16> {
    using Bits = uint16_t;
    static bool f(uint16_t h) { return static_cast<uint16_t>(h - 1u) < 0x7f80u; }
    static constexpr uint16_t zero = 0;
};

template <class T>
void relu_loop(char* const* p, const ptrdiff_t* s, size_t n) {
    using B = typename Positive<T>::Bits;
    constexpr ptrdiff_t w = sizeof(B);
    if (s[0] == w && s[1] == w) {
        B* __restrict o = reinterpret_cast<B*>(p[0]);
        const B* __restrict x = reinterpret_cast<const B*>(p[1]);
        for (size_t i = 0; i < n; ++i) o[i] = Positive<T>::f(x[i]) ? x[i] : Positive<T>::zero;
        return;
    }
    const ptrdiff_t so = s[0], sx = s[1];
    char* out = p[0];
    const char* in = p[1];
    for (size_t i = 0; i < n; ++i, out += so, in += sx) {
        B x;
        __builtin_memcpy(&x, in, sizeof x);
        B r = Positive<T>::f(x) ? x : Positive<T>::zero;
        __builtin_memcpy(out, &r, sizeof r);
    }
}

// (out, grad, input): grad where input > 0, +0 elsewhere; bits copied unchanged.
template <class T>
void relu_backward_loop(char* const* p, const ptrdiff_t* s, size_t n) {
    using B = typename Positive<T>::Bits;
    constexpr ptrdiff_t w = sizeof(B);
    if (s[0] == w && s[1] == w && s[2] == w) {
        B* __restrict o = reinterpret_cast<B*>(p[0]);
        const B* __restrict g = reinterpret_cast<const B*>(p[1]);
        const B* __restrict x = reinterpret_cast<const B*>(p[2]);
        for (size_t i = 0; i < n; ++i) o[i] = Positive<T>::f(x[i]) ? g[i] : Positive<T>::zero;
        return;
    }
    const ptrdiff_t so = s[0], sg = s[1], sx = s[2];
    char* out = p[0];
    const char* pg = p[1];
    const char* px = p[2];
    for (size_t i = 0; i < n; ++i, out += so, pg += sg, px += sx) {
        B g, x;
        __builtin_memcpy(&g, pg, sizeof g);
        __builtin_memcpy(&x, px, sizeof x);
        B r = Positive<T>::f(x) ? g : Positive<T>::zero;
        __builtin_memcpy(out, &r, sizeof r);
    }
}

// (grad_lhs, grad_rhs, g, a, b): g / b and ((-g) * a) / (b * b), each step rounded
// to T; the negation only flips the sign.
template <class T>
void div_backward_loop(char* const* p, const ptrdiff_t* s, size_t n) {
    float xg[kChunk], xa[kChunk], xb[kChunk], gl[kChunk], gr[kChunk];
    for (size_t done = 0; done < n; done += kChunk) {
        size_t m = min_size(kChunk, n - done);
        ptrdiff_t d = static_cast<ptrdiff_t>(done);
        const float* g = gather<T>(p[2] + d * s[2], s[2], m, xg);
        const float* a = gather<T>(p[3] + d * s[3], s[3], m, xa);
        const float* b = gather<T>(p[4] + d * s[4], s[4], m, xb);
        for (size_t i = 0; i < m; ++i) {
            gl[i] = g[i] / b[i];
            float num = Elem<T>::round(-g[i] * a[i]);
            float den = Elem<T>::round(b[i] * b[i]);
            gr[i] = num / den;
        }
        scatter<T>(gl, p[0] + d * s[0], s[0], m);
        scatter<T>(gr, p[1] + d * s[1], s[1], m);
    }
}

const KernelTable table = {
    ZAVRA_TABLE_NAME,
    {
        {arith_loop<F16, AddF>, arith_loop<BF16, AddF>, arith_loop<float, AddF>, nullptr},
        {arith_loop<F16, SubF>, arith_loop<BF16, SubF>, arith_loop<float, SubF>, nullptr},
        {arith_loop<F16, MulF>, arith_loop<BF16, MulF>, arith_loop<float, MulF>, nullptr},
        {arith_loop<F16, DivF>, arith_loop<BF16, DivF>, arith_loop<float, DivF>, nullptr},
        {compare_loop<F16, EqF>, compare_loop<BF16, EqF>, compare_loop<float, EqF>, byte_loop<BEq>},
        {compare_loop<F16, GeF>, compare_loop<BF16, GeF>, compare_loop<float, GeF>, byte_loop<BGe>},
        {compare_loop<F16, GtF>, compare_loop<BF16, GtF>, compare_loop<float, GtF>, byte_loop<BGt>},
        {compare_loop<F16, LeF>, compare_loop<BF16, LeF>, compare_loop<float, LeF>, byte_loop<BLe>},
        {compare_loop<F16, LtF>, compare_loop<BF16, LtF>, compare_loop<float, LtF>, byte_loop<BLt>},
    },
    {byte_loop<BAnd>, byte_loop<BOr>, byte_loop<BXor>},
    not_loop,
    {relu_loop<F16>, relu_loop<BF16>, relu_loop<float>},
    {relu_backward_loop<F16>, relu_backward_loop<BF16>, relu_backward_loop<float>},
    {div_backward_loop<F16>, div_backward_loop<BF16>, div_backward_loop<float>},
    widen_f16_run,
    widen_bf16_run,
    narrow_f16_run,
    narrow_bf16_run,
};

}  // namespace
}  // namespace zavra::cpu::simd::ZAVRA_ISA

#if defined(__F16C__) || defined(__AVX512F__)
#pragma GCC diagnostic pop
#endif
