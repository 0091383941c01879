// Bit-exact conversions between float32 and the two 16-bit float formats.
// Included inside a namespace by each user, so that every instruction-set build
// gets its own copy and no inline definition is shared across compile flags.
// (No include guard on purpose.)

static inline float f32_from_bits(uint32_t bits) {
    float f;
    __builtin_memcpy(&f, &bits, sizeof f);
    return f;
}

static inline uint32_t bits_from_f32(float f) {
    uint32_t bits;
    __builtin_memcpy(&bits, &f, sizeof bits);
    return bits;
}

// binary16 -> float32, exact for every number (subnormals and infinities included).
// A NaN keeps its payload and comes out quiet, as the F16C instruction makes it.
static inline float f16_bits_to_f32(uint16_t h) {
    uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    uint32_t exp = (h >> 10) & 0x1fu;
    uint32_t mant = h & 0x3ffu;
    uint32_t bits;
    if (exp == 0x1f) {
        bits = sign | 0x7f800000u | (mant << 13) | (mant ? 0x00400000u : 0u);
    } else if (exp != 0) {
        bits = sign | ((exp + 112u) << 23) | (mant << 13);
    } else if (mant == 0) {
        bits = sign;
    } else {
        // Subnormal: value is mant * 2^-24, exactly representable in float32.
        float magnitude = static_cast<float>(mant) * 5.9604644775390625e-08f;
        bits = sign | bits_from_f32(magnitude);
    }
    return f32_from_bits(bits);
}

// float32 -> binary16, round to nearest even; overflow to infinity, NaN kept quiet
// with the upper payload bits (what the F16C instruction produces).
static inline uint16_t f32_to_f16_bits(float f) {
    uint32_t x = bits_from_f32(f);
    uint32_t sign = (x >> 16) & 0x8000u;
    uint32_t abs = x & 0x7fffffffu;
    if (abs >= 0x7f800000u) {
        if (abs == 0x7f800000u) return static_cast<uint16_t>(sign | 0x7c00u);
        return static_cast<uint16_t>(sign | 0x7e00u | ((abs >> 13) & 0x3ffu));
    }
    if (abs >= 0x477ff000u) {  // rounds to 65520 or beyond
        return static_cast<uint16_t>(sign | 0x7c00u);
    }
    if (abs >= 0x38800000u) {  // normal binary16 range (>= 2^-14)
        uint32_t rounded = abs + 0xfffu + ((abs >> 13) & 1u);
        return static_cast<uint16_t>(sign | ((rounded - 0x38000000u) >> 13));
    }
    // Subnormal or zero: scale so the binary16 subnormal unit (2^-24) becomes the
    // float32 ulp at 0.5, then let the float adder round to nearest even.
    float scaled = f32_from_bits(abs) + 0.5f;
    uint32_t result = bits_from_f32(scaled) - 0x3f000000u;
    return static_cast<uint16_t>(sign | result);
}

static inline float bf16_bits_to_f32(uint16_t h) {
    return f32_from_bits(static_cast<uint32_t>(h) << 16);
}

// float32 -> bfloat16, round to nearest even on the low half; NaN keeps its upper
// bits with the quiet bit set.
static inline uint16_t f32_to_bf16_bits(float f) {
    uint32_t x = bits_from_f32(f);
    if ((x & 0x7fffffffu) > 0x7f800000u) return static_cast<uint16_t>((x >> 16) | 0x0040u);
    uint32_t rounded = x + 0x7fffu + ((x >> 16) & 1u);
    return static_cast<uint16_t>(rounded >> 16);
}
