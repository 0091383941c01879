// 16 x 16 single-precision transpose in AVX-512 registers.
// Included inside an anonymous namespace by files compiled with AVX-512 flags, so each
// gets its own internal copy.

// 16 x 16 transpose in registers: r[i] holds row i on entry and column i on exit.
inline void transpose16(__m512 r[16]) {
    __m512 t[16];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        t[2 * i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
        t[2 * i + 1] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
    }
    // Per 128-bit lane L: r[4g + c] = rows 4g..4g+3 at column 4L + c.
#pragma GCC unroll 4
    for (int g = 0; g < 4; ++g) {
        r[4 * g + 0] = _mm512_shuffle_ps(t[4 * g + 0], t[4 * g + 2], _MM_SHUFFLE(1, 0, 1, 0));
        r[4 * g + 1] = _mm512_shuffle_ps(t[4 * g + 0], t[4 * g + 2], _MM_SHUFFLE(3, 2, 3, 2));
        r[4 * g + 2] = _mm512_shuffle_ps(t[4 * g + 1], t[4 * g + 3], _MM_SHUFFLE(1, 0, 1, 0));
        r[4 * g + 3] = _mm512_shuffle_ps(t[4 * g + 1], t[4 * g + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) {
        const __m512 u0 = _mm512_shuffle_f32x4(r[c], r[4 + c], _MM_SHUFFLE(2, 0, 2, 0));
        const __m512 u1 = _mm512_shuffle_f32x4(r[c], r[4 + c], _MM_SHUFFLE(3, 1, 3, 1));
        const __m512 u2 = _mm512_shuffle_f32x4(r[8 + c], r[12 + c], _MM_SHUFFLE(2, 0, 2, 0));
        const __m512 u3 = _mm512_shuffle_f32x4(r[8 + c], r[12 + c], _MM_SHUFFLE(3, 1, 3, 1));
        t[c] = _mm512_shuffle_f32x4(u0, u2, _MM_SHUFFLE(2, 0, 2, 0));
        t[8 + c] = _mm512_shuffle_f32x4(u0, u2, _MM_SHUFFLE(3, 1, 3, 1));
        t[4 + c] = _mm512_shuffle_f32x4(u1, u3, _MM_SHUFFLE(2, 0, 2, 0));
        t[12 + c] = _mm512_shuffle_f32x4(u1, u3, _MM_SHUFFLE(3, 1, 3, 1));
    }
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) r[i] = t[i];
}
