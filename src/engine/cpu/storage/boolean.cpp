// Per-type dispatch of the logical operations.
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace zavra::cpu {

namespace {

Result<CpuStorage> logical(const CpuStorage& self, const CpuStorage& other, simd::LogicalOp op) {
    const auto* a = self.get_if<bool>();
    const auto* b = other.get_if<bool>();
    if (!a || !b) return Error::runtime("Logical operations are only supported for Bool data types.");
    return binary_kernel_as<bool, bool, CpuStorage>(*a, *b, simd::kernels().logical[static_cast<int>(op)]);
}

}  // namespace

Result<CpuStorage> CpuStorage::logical_and(const CpuStorage& o) const { return logical(*this, o, simd::LogicalOp::And); }
Result<CpuStorage> CpuStorage::logical_or(const CpuStorage& o) const { return logical(*this, o, simd::LogicalOp::Or); }
Result<CpuStorage> CpuStorage::logical_xor(const CpuStorage& o) const { return logical(*this, o, simd::LogicalOp::Xor); }

Result<CpuStorage> CpuStorage::logical_not() const {
    const auto* a = get_if<bool>();
    if (!a) return Error::runtime("Logical NOT is only supported for Bool data type.");
    return CpuStorage(unary_kernel<bool, bool>(*a, simd::kernels().logical_not));
}

}  // namespace zavra::cpu
