// Typed element-wise kernels of two operands: broadcast, lay out the result, run the loop.
#pragma once

#include "engine/cpu/iter/elementwise.hpp"
#include "engine/cpu/iter/layout.hpp"
#include "engine/cpu/numeric/half.hpp"
#include "engine/cpu/numeric/ops/mod.hpp"
#include "engine/cpu/simd/kernel_table.hpp"

namespace zavra::cpu {

// R is the result element type: T for arithmetic, bool for comparisons.
template <class T, class R>
Result<NdArray<R>> binary_kernel(const NdArray<T>& a, const NdArray<T>& b, simd::Loop loop) {
    ZAVRA_TRY(views, broadcast_tensors(a, b));
    const auto& [va, vb] = views;
    Strides strides = iter::strides_for(va.shape, iter::preferred_order(va.shape, va.strides, vb.strides));
    NdArray<R> out = NdArray<R>::uninitialized(va.shape, std::move(strides));
    iter::Operand ops[3] = {
        {reinterpret_cast<char*>(out.mutable_origin()), out.strides().data(), sizeof(R)},
        {reinterpret_cast<char*>(const_cast<T*>(va.origin)), va.strides.data(), sizeof(T)},
        {reinterpret_cast<char*>(const_cast<T*>(vb.origin)), vb.strides.data(), sizeof(T)},
    };
    iter::for_each(va.shape, ops, 3, loop);
    return out;
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
