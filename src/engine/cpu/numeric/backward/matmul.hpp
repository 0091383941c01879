// Gradient kernel of the matrix product: products with the operands' last two axes exchanged.
#pragma once

#include <utility>

#include "engine/cpu/numeric/ops/matmul.hpp"
#include "engine/cpu/numeric/ops/shape.hpp"

namespace zavra::cpu {

template <class T>
Result<std::pair<NdArray<T>, NdArray<T>>> matmul_backward(const NdArray<T>& grad, const NdArray<T>& lhs,
                                                         const NdArray<T>& rhs) {
    // The exchanged operands are read through their strides; no data moves.
    NdArray<T> rhs_t = exchange_axes(rhs, rhs.ndim() - 2, rhs.ndim() - 1);
    ZAVRA_TRY(gl, MatmulOps<T>::do_matmul(grad, rhs_t));
    NdArray<T> lhs_t = exchange_axes(lhs, lhs.ndim() - 2, lhs.ndim() - 1);
    ZAVRA_TRY(gr, MatmulOps<T>::do_matmul(lhs_t, grad));
    return std::pair{std::move(gl), std::move(gr)};
}

// One of the two gradients, in the same order of work and checks as matmul_backward:
// the product that is not wanted is only planned, so it fails exactly when it would.
template <class T>
Result<NdArray<T>> matmul_backward_one(const NdArray<T>& grad, const NdArray<T>& lhs, const NdArray<T>& rhs,
                                       MatmulSide side) {
    NdArray<T> rhs_t = exchange_axes(rhs, rhs.ndim() - 2, rhs.ndim() - 1);
    NdArray<T> lhs_t = exchange_axes(lhs, lhs.ndim() - 2, lhs.ndim() - 1);
    if (side == MatmulSide::Lhs) {
        ZAVRA_TRY(gl, MatmulOps<T>::do_matmul(grad, rhs_t));
        ZAVRA_CHECK(plan_matmul(lhs_t.shape(), grad.shape()));
        return gl;
    }
    ZAVRA_CHECK(plan_matmul(grad.shape(), rhs_t.shape()));
    return MatmulOps<T>::do_matmul(lhs_t, grad);
}

}  // namespace zavra::cpu
