// Per-type dispatch of the gradient kernels.
#include "engine/cpu/numeric/backward/binary.hpp"
#include "engine/cpu/numeric/backward/functional.hpp"
#include "engine/cpu/numeric/backward/matmul.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace zavra::cpu {

namespace {

constexpr const char* kOperandMismatch = "DType mismatch between gradient and operands during backward pass.";

// Checks the element types and runs `kernel` for the common float type; `wrap`
// turns the kernel's arrays into the result.
template <class Out, class Kernel, class Wrap>
Result<Out> typed_backward(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs, Kernel kernel, Wrap wrap) {
    if (grad.dtype() == DType::Bool || lhs.dtype() != grad.dtype() || rhs.dtype() != grad.dtype()) {
        return Error::type(kOperandMismatch);
    }
    return std::visit([&](const auto& g) -> Result<Out> {
        using T = typename std::decay_t<decltype(g)>::value_type;
        if constexpr (std::is_same_v<T, bool>) {
            throw InternalFailure("Bool reached a gradient kernel");
        } else {
            ZAVRA_TRY(arrays, kernel(g, *lhs.get_if<T>(), *rhs.get_if<T>()));
            return wrap(std::move(arrays));
        }
    }, grad.variant());
}

template <class Kernel>
Result<StoragePair> pair_backward(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs, Kernel kernel) {
    return typed_backward<StoragePair>(lhs, grad, rhs, kernel, [](auto pair) {
        return StoragePair{CpuStorage(std::move(pair.first)), CpuStorage(std::move(pair.second))};
    });
}

}  // namespace

Result<CpuStorage> CpuStorage::backward_relu(const CpuStorage& input, const CpuStorage& grad) {
    if (grad.dtype() == DType::Bool || input.dtype() != grad.dtype()) {
        return Error::type("DType mismatch between gradient and input during unary backward pass.");
    }
    return std::visit([&](const auto& g) -> Result<CpuStorage> {
        using T = typename std::decay_t<decltype(g)>::value_type;
        if constexpr (std::is_same_v<T, bool>) {
            throw InternalFailure("Bool reached the relu gradient");
        } else {
            ZAVRA_TRY(out, relu_backward(g, *input.get_if<T>()));
            return CpuStorage(std::move(out));
        }
    }, grad.variant());
}

Result<StoragePair> CpuStorage::backward_mul(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs) {
    return pair_backward(lhs, grad, rhs, [](const auto& g, const auto& l, const auto& r) { return mul_backward(g, l, r); });
}

Result<StoragePair> CpuStorage::backward_div(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs) {
    return pair_backward(lhs, grad, rhs, [](const auto& g, const auto& l, const auto& r) { return div_backward(g, l, r); });
}

Result<StoragePair> CpuStorage::backward_matmul(const CpuStorage& lhs, const CpuStorage& grad,
                                                const CpuStorage& rhs) {
    return pair_backward(lhs, grad, rhs,
                         [](const auto& g, const auto& l, const auto& r) { return matmul_backward(g, l, r); });
}

Result<CpuStorage> CpuStorage::backward_matmul_one(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs,
                                                   MatmulSide side) {
    return typed_backward<CpuStorage>(
        lhs, grad, rhs, [side](const auto& g, const auto& l, const auto& r) { return matmul_backward_one(g, l, r, side); },
        [](auto array) { return CpuStorage(std::move(array)); });
}

}  // namespace zavra::cpu
