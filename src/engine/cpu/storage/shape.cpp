// Per-type dispatch of the shape operations.
#include <cstring>

#include "engine/cpu/numeric/ops/shape.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace zavra::cpu {

namespace {

template <class T>
T one_of() {
    if constexpr (std::is_same_v<T, f16>) return f16{0x3C00};
    else if constexpr (std::is_same_v<T, bf16>) return bf16{0x3F80};
    else if constexpr (std::is_same_v<T, float>) return 1.0f;
    else return true;
}

}  // namespace

Result<CpuStorage> CpuStorage::reshape(const Shape& shape) const {
    return std::visit([&](const auto& a) -> Result<CpuStorage> {
        ZAVRA_TRY(out, reshape_array(a, shape));
        return CpuStorage(std::move(out));
    }, data_);
}

CpuStorage CpuStorage::transpose(std::size_t dim0, std::size_t dim1) const {
    return std::visit([&](const auto& a) { return CpuStorage(exchange_axes(a, dim0, dim1)); }, data_);
}

CpuStorage CpuStorage::zeros_like() const {
    return std::visit([](const auto& a) {
        using T = typename std::decay_t<decltype(a)>::value_type;
        NdArray<T> out = NdArray<T>::row_major(a.shape());
        std::memset(static_cast<void*>(out.mutable_origin()), 0, out.size() * sizeof(T));
        return CpuStorage(std::move(out));
    }, data_);
}

CpuStorage CpuStorage::ones_like() const {
    return std::visit([](const auto& a) {
        using T = typename std::decay_t<decltype(a)>::value_type;
        return CpuStorage(NdArray<T>::filled(a.shape(), one_of<T>()));
    }, data_);
}

}  // namespace zavra::cpu
