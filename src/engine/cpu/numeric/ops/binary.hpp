// Typed element-wise kernels of two operands: broadcast, lay out the result, run the loop.
#pragma once

#include "engine/cpu/iter/elementwise.hpp"
#include "engine/cpu/iter/layout.hpp"
#include "engine/cpu/numeric/half.hpp"
#include "engine/cpu/numeric/ops/mod.hpp"
#include "engine/cpu/simd/kernel_table.hpp"

namespace zavra::cpu {

namespace detail {

template <class T, class R>
NdArray<R> run_binary(const Shape& shape, const T* a, const Strides& sa, const T* b, const Strides& sb,
                      simd::Loop loop) {
    NdArray<R> out = NdArray<R>::uninitialized(shape, iter::strides_for(shape, iter::preferred_order(shape, sa, sb)));
    iter::Operand ops[3] = {
        {reinterpret_cast<char*>(out.mutable_origin()), out.strides().data(), sizeof(R)},
        {reinterpret_cast<char*>(const_cast<T*>(a)), sa.data(), sizeof(T)},
        {reinterpret_cast<char*>(const_cast<T*>(b)), sb.data(), sizeof(T)},
    };
    iter::for_each(shape, ops, 3, loop);
    return out;
}

}  // namespace detail

// R is the result element type: T for arithmetic, bool for comparisons. The new
// array is built straight into `Out` (NdArray<R> or a storage holding one), since
// results travel by value a long way out to Python.
template <class T, class R, class Out>
Result<Out> binary_kernel_as(const NdArray<T>& a, const NdArray<T>& b, simd::Loop loop) {
    // Operands of one shape need no stretched view: their own strides serve, and the
    // common shape is that of an existing array, so its size is addressable.
    if (a.shape() == b.shape()) {
        return Out(detail::run_binary<T, R>(a.shape(), a.origin(), a.strides(), b.origin(), b.strides(), loop));
    }
    ZAVRA_TRY(views, broadcast_tensors(a, b));
    const auto& [va, vb] = views;
    return Out(detail::run_binary<T, R>(va.shape, va.origin, va.strides, vb.origin, vb.strides, loop));
}

template <class T, class R>
Result<NdArray<R>> binary_kernel(const NdArray<T>& a, const NdArray<T>& b, simd::Loop loop) {
    return binary_kernel_as<T, R, NdArray<R>>(a, b, loop);
}

// One operand with one value (the converted scalar) on the right; the result
// reuses the operand's dense layout.
template <class T, class R>
NdArray<R> scalar_kernel(const NdArray<T>& a, T scalar, simd::Loop loop) {
    NdArray<R> out = NdArray<R>::uninitialized(a.shape(), iter::unary_result_strides(a.shape(), a.strides()));
    Strides zero(a.ndim(), 0);
    iter::Operand ops[3] = {
        {reinterpret_cast<char*>(out.mutable_origin()), out.strides().data(), sizeof(R)},
        {reinterpret_cast<char*>(const_cast<T*>(a.origin())), a.strides().data(), sizeof(T)},
        {reinterpret_cast<char*>(&scalar), zero.data(), sizeof(T)},
    };
    iter::for_each(a.shape(), ops, 3, loop);
    return out;
}

// A one-operand map into a new array of the same dense layout.
template <class T, class R>
NdArray<R> unary_kernel(const NdArray<T>& a, simd::Loop loop) {
    NdArray<R> out = NdArray<R>::uninitialized(a.shape(), iter::unary_result_strides(a.shape(), a.strides()));
    iter::Operand ops[2] = {
        {reinterpret_cast<char*>(out.mutable_origin()), out.strides().data(), sizeof(R)},
        {reinterpret_cast<char*>(const_cast<T*>(a.origin())), a.strides().data(), sizeof(T)},
    };
    iter::for_each(a.shape(), ops, 2, loop);
    return out;
}

}  // namespace zavra::cpu
