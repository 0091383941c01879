// The element types, their names and widths.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace zavra {

// Order matters: it is the order of the CpuStorage alternatives.
enum class DType : unsigned char { F16 = 0, BF16 = 1, F32 = 2, Bool = 3 };
inline constexpr std::size_t kDTypeCount = 4;

constexpr std::string_view debug_name(DType t) {
    switch (t) {
        case DType::F16: return "F16";
        case DType::BF16: return "BF16";
        case DType::F32: return "F32";
        case DType::Bool: return "Bool";
    }
    return "?";
}

constexpr std::string_view python_name(DType t) {
    switch (t) {
        case DType::F16: return "f16";
        case DType::BF16: return "bf16";
        case DType::F32: return "f32";
        case DType::Bool: return "bool";
    }
    return "?";
}

constexpr std::string_view numpy_name(DType t) {
    switch (t) {
        case DType::F16: return "float16";
        case DType::BF16: return "bfloat16";
        case DType::F32: return "float32";
        case DType::Bool: return "bool";
    }
    return "?";
}

constexpr std::size_t element_width(DType t) {
    switch (t) {
        case DType::F16:
        case DType::BF16: return 2;
        case DType::F32: return 4;
        case DType::Bool: return 1;
    }
    return 0;
}

// The accepted spellings of an element type: exact and case-sensitive.
constexpr std::optional<DType> dtype_from_name(std::string_view name) {
    if (name == "f32" || name == "float32") return DType::F32;
    if (name == "f16" || name == "float16") return DType::F16;
    if (name == "bf16" || name == "bfloat16") return DType::BF16;
    if (name == "bool") return DType::Bool;
    return std::nullopt;
}

}  // namespace zavra
