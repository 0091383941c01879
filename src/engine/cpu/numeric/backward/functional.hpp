// Gradient kernel of relu: the incoming gradient where the saved input was positive.
#pragma once

#include "engine/cpu/numeric/ops/binary.hpp"

namespace zavra::cpu {

template <class T>
Result<NdArray<T>> relu_backward(const NdArray<T>& grad, const NdArray<T>& input) {
    if (!(grad.shape() == input.shape())) {
        return Error::runtime("Shape mismatch in relu_backward: grad " + shape_text(grad.shape()) + " vs input " +
                              shape_text(input.shape()));
    }
    const Shape& shape = grad.shape();
    NdArray<T> out = NdArray<T>::uninitialized(
        shape, iter::strides_for(shape, iter::preferred_order(shape, grad.strides(), input.strides())));
    iter::Operand ops[3] = {
        {reinterpret_cast<char*>(out.mutable_origin()), out.strides().data(), sizeof(T)},
        {reinterpret_cast<char*>(const_cast<T*>(grad.origin())), grad.strides().data(), sizeof(T)},
        {reinterpret_cast<char*>(const_cast<T*>(input.origin())), input.strides().data(), sizeof(T)},
    };
    iter::for_each(shape, ops, 3, simd::kernels().relu_backward[dtype_index<T>()]);
    return out;
}

}  // namespace zavra::cpu
