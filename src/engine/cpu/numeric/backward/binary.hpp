// Gradient kernels of multiplication and division; gradients keep the broadcast shape.
#pragma once

#include <utility>

#include "engine/cpu/numeric/ops/binary.hpp"

namespace zavra::cpu {

template <class T>
Result<std::pair<NdArray<T>, NdArray<T>>> mul_backward(const NdArray<T>& grad, const NdArray<T>& lhs,
                                                      const NdArray<T>& rhs) {
    simd::Loop mul = simd::kernels().binary[static_cast<int>(simd::BinaryOp::Mul)][dtype_index<T>()];
    ZAVRA_TRY(gl, (binary_kernel<T, T>(grad, rhs, mul)));
    ZAVRA_TRY(gr, (binary_kernel<T, T>(grad, lhs, mul)));
    return std::pair{std::move(gl), std::move(gr)};
}

// One pass over the common shape of (grad, lhs, rhs) writing both gradients:
// g / b and ((-g) * a) / (b * b), every step rounded to T.
template <class T>
Result<std::pair<NdArray<T>, NdArray<T>>> div_backward(const NdArray<T>& grad, const NdArray<T>& lhs,
                                                      const NdArray<T>& rhs) {
    ZAVRA_TRY(ga, broadcast_tensors(grad, lhs));
    ZAVRA_TRY(common, broadcast_shapes(ga.first.shape, rhs.shape()));
    // The size test depends only on the common shape, so one test serves all three views.
    if (!checked_element_count(common)) {
        return Error::runtime("Broadcast failed for RHS: " + shape_text(rhs.shape()) + " -> " + shape_text(common));
    }
    const Strides sg = broadcast_strides(ga.first.shape, ga.first.strides, common);
    const Strides sa = broadcast_strides(ga.second.shape, ga.second.strides, common);
    const Strides sb = broadcast_strides(rhs.shape(), rhs.strides(), common);
    NdArray<T> gl = NdArray<T>::row_major(common);
    NdArray<T> gr = NdArray<T>::row_major(common);
    iter::Operand ops[5] = {
        {reinterpret_cast<char*>(gl.mutable_origin()), gl.strides().data(), sizeof(T)},
        {reinterpret_cast<char*>(gr.mutable_origin()), gr.strides().data(), sizeof(T)},
        {reinterpret_cast<char*>(const_cast<T*>(ga.first.origin)), sg.data(), sizeof(T)},
        {reinterpret_cast<char*>(const_cast<T*>(ga.second.origin)), sa.data(), sizeof(T)},
        {reinterpret_cast<char*>(const_cast<T*>(rhs.origin())), sb.data(), sizeof(T)},
    };
    iter::for_each(common, ops, 5, simd::kernels().div_backward[dtype_index<T>()]);
    return std::pair{std::move(gl), std::move(gr)};
}

}  // namespace zavra::cpu
