// The 16-bit float element types and their scalar conversions to and from float32.
#pragma once

#include <cstdint>

namespace zavra {

// Element types are plain bit holders; arithmetic always goes through float32.
struct f16 {
    uint16_t bits;
};
struct bf16 {
    uint16_t bits;
};

// Position of an element type in DType order (the kernel tables' index).
template <class T>
constexpr int dtype_index();
template <>
constexpr int dtype_index<f16>() { return 0; }
template <>
constexpr int dtype_index<bf16>() { return 1; }
template <>
constexpr int dtype_index<float>() { return 2; }
template <>
constexpr int dtype_index<bool>() { return 3; }

namespace half {
#include "engine/cpu/numeric/half_convert.inl"
}  // namespace half

template <class T>
inline float widen(T v);
template <>
inline float widen<float>(float v) { return v; }
template <>
inline float widen<f16>(f16 v) { return half::f16_bits_to_f32(v.bits); }
template <>
inline float widen<bf16>(bf16 v) { return half::bf16_bits_to_f32(v.bits); }

template <class T>
inline T narrow(float v);
template <>
inline float narrow<float>(float v) { return v; }
template <>
inline f16 narrow<f16>(float v) { return f16{half::f32_to_f16_bits(v)}; }
template <>
inline bf16 narrow<bf16>(float v) { return bf16{half::f32_to_bf16_bits(v)}; }

}  // namespace zavra
