// Per-type dispatch of relu.
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace zavra::cpu {

Result<CpuStorage> CpuStorage::relu() const {
    if (dtype() == DType::Bool) return Error::type("Tensor Dtype not supported for this operation: relu");
    simd::Loop loop = simd::kernels().relu[static_cast<int>(dtype())];
    return std::visit([&](const auto& a) -> Result<CpuStorage> {
        using T = typename std::decay_t<decltype(a)>::value_type;
        // The result keeps the input's layout, so a transposed input gives a transposed result.
        return CpuStorage(unary_kernel<T, T>(a, loop));
    }, data_);
}

}  // namespace zavra::cpu
