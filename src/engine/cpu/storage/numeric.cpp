// Per-type dispatch of arithmetic, comparison, scalar operations and the matrix product.
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/matmul.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace zavra::cpu {

namespace {

using simd::BinaryOp;

constexpr const char* kBoolArithmetic =
    "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.";

std::string mismatch_message(DType a, DType b) {
    return "Tensor DType mismatch during binary execution. Cannot operate between " + std::string(debug_name(a)) +
           " and " + std::string(debug_name(b)) + ".";
}

const char* symbol(BinaryOp op) {
    switch (op) {
        case BinaryOp::Eq: return "==";
        case BinaryOp::Ge: return ">=";
        case BinaryOp::Gt: return ">";
        case BinaryOp::Le: return "<=";
        case BinaryOp::Lt: return "<";
        default: return "?";
    }
}

simd::Loop loop_for(BinaryOp op, DType t) { return simd::kernels().binary[static_cast<int>(op)][static_cast<int>(t)]; }

Result<CpuStorage> arithmetic(const CpuStorage& self, const CpuStorage& other, BinaryOp op) {
    if (self.dtype() != other.dtype()) return Error::value(mismatch_message(self.dtype(), other.dtype()));
    if (self.dtype() == DType::Bool) return Error::type(kBoolArithmetic);
    simd::Loop loop = loop_for(op, self.dtype());
    return std::visit([&](const auto& a) -> Result<CpuStorage> {
        using T = typename std::decay_t<decltype(a)>::value_type;
        return binary_kernel_as<T, T, CpuStorage>(a, *other.get_if<T>(), loop);
    }, self.variant());
}

Result<CpuStorage> comparison(const CpuStorage& self, const CpuStorage& other, BinaryOp op) {
    if (self.dtype() != other.dtype()) {
        return Error::runtime(std::string("Tensor device or dtype mismatch for element-wise ") + symbol(op) +
                              " operation.");
    }
    simd::Loop loop = loop_for(op, self.dtype());
    return std::visit([&](const auto& a) -> Result<CpuStorage> {
        using T = typename std::decay_t<decltype(a)>::value_type;
        return binary_kernel_as<T, bool, CpuStorage>(a, *other.get_if<T>(), loop);
    }, self.variant());
}

Result<CpuStorage> scalar_arithmetic(const CpuStorage& self, float s, BinaryOp op, const char* verb) {
    if (self.dtype() == DType::Bool) {
        return Error::value(std::string("Tensor DType invalid during scalar ") + verb +
                            ". Cannot operate between Bool and scalar.");
    }
    simd::Loop loop = loop_for(op, self.dtype());
    return std::visit([&](const auto& a) -> CpuStorage {
        using T = typename std::decay_t<decltype(a)>::value_type;
        if constexpr (std::is_same_v<T, bool>) {
            throw InternalFailure("Bool reached a scalar arithmetic kernel");
        } else {
            // The scalar is rounded to the element type once, before any element.
            return CpuStorage(scalar_kernel<T, T>(a, narrow<T>(s), loop));
        }
    }, self.variant());
}

Result<CpuStorage> scalar_comparison(const CpuStorage& self, float s, BinaryOp op) {
    if (self.dtype() == DType::Bool) {
        return Error::runtime(std::string("Tensor device or dtype mismatch for scalar ") + symbol(op) +
                              " operation.");
    }
    simd::Loop loop = loop_for(op, self.dtype());
    return std::visit([&](const auto& a) -> CpuStorage {
        using T = typename std::decay_t<decltype(a)>::value_type;
        if constexpr (std::is_same_v<T, bool>) {
            throw InternalFailure("Bool reached a scalar comparison kernel");
        } else {
            return CpuStorage(scalar_kernel<T, bool>(a, narrow<T>(s), loop));
        }
    }, self.variant());
}

}  // namespace

Result<CpuStorage> CpuStorage::add(const CpuStorage& o) const { return arithmetic(*this, o, BinaryOp::Add); }
Result<CpuStorage> CpuStorage::sub(const CpuStorage& o) const { return arithmetic(*this, o, BinaryOp::Sub); }
Result<CpuStorage> CpuStorage::mul(const CpuStorage& o) const { return arithmetic(*this, o, BinaryOp::Mul); }
Result<CpuStorage> CpuStorage::div(const CpuStorage& o) const { return arithmetic(*this, o, BinaryOp::Div); }
Result<CpuStorage> CpuStorage::eq(const CpuStorage& o) const { return comparison(*this, o, BinaryOp::Eq); }
Result<CpuStorage> CpuStorage::ge(const CpuStorage& o) const { return comparison(*this, o, BinaryOp::Ge); }
Result<CpuStorage> CpuStorage::gt(const CpuStorage& o) const { return comparison(*this, o, BinaryOp::Gt); }
Result<CpuStorage> CpuStorage::le(const CpuStorage& o) const { return comparison(*this, o, BinaryOp::Le); }
Result<CpuStorage> CpuStorage::lt(const CpuStorage& o) const { return comparison(*this, o, BinaryOp::Lt); }

Result<CpuStorage> CpuStorage::scalar_add(float s) const { return scalar_arithmetic(*this, s, BinaryOp::Add, "add"); }
Result<CpuStorage> CpuStorage::scalar_sub(float s) const { return scalar_arithmetic(*this, s, BinaryOp::Sub, "sub"); }
Result<CpuStorage> CpuStorage::scalar_mul(float s) const {
    return scalar_arithmetic(*this, s, BinaryOp::Mul, "product");
}
Result<CpuStorage> CpuStorage::scalar_eq(float s) const { return scalar_comparison(*this, s, BinaryOp::Eq); }
Result<CpuStorage> CpuStorage::scalar_ge(float s) const { return scalar_comparison(*this, s, BinaryOp::Ge); }
Result<CpuStorage> CpuStorage::scalar_gt(float s) const { return scalar_comparison(*this, s, BinaryOp::Gt); }
Result<CpuStorage> CpuStorage::scalar_le(float s) const { return scalar_comparison(*this, s, BinaryOp::Le); }
Result<CpuStorage> CpuStorage::scalar_lt(float s) const { return scalar_comparison(*this, s, BinaryOp::Lt); }

Result<CpuStorage> CpuStorage::matmul(const CpuStorage& other) const {
    if (dtype() != other.dtype()) return Error::value(mismatch_message(dtype(), other.dtype()));
    if (dtype() == DType::Bool) return Error::type(kBoolArithmetic);
    return std::visit([&](const auto& a) -> Result<CpuStorage> {
        using T = typename std::decay_t<decltype(a)>::value_type;
        if constexpr (std::is_same_v<T, bool>) {
            throw InternalFailure("Bool reached the matrix product");
        } else {
            ZAVRA_TRY(out, MatmulOps<T>::do_matmul(a, *other.get_if<T>()));
            return CpuStorage(std::move(out));
        }
    }, data_);
}

}  // namespace zavra::cpu
