// The batched matrix product with broadcast batch axes, computed in float32.
#pragma once

#include "engine/cpu/array/nd_array.hpp"
#include "engine/cpu/numeric/half.hpp"
#include "support/shape.hpp"
#include "support/result.hpp"

namespace zavra::cpu {

// Which operand's gradient a matrix-product rule computes.
enum class MatmulSide { Lhs, Rhs };

// The checks of a product of shapes a and b, in order, and the shapes they give.
struct MatmulPlan {
    std::size_t m = 0, k = 0, n = 0;
    Shape target_a, target_b, result;  // batch + [m, k], batch + [k, n], batch + [m, n]
};
Result<MatmulPlan> plan_matmul(const Shape& a, const Shape& b);

// a: [..., m, k], b: [..., k, n] in any layout; the result is row-major [batch..., m, n].
Result<NdArray<float>> internal_linalg_matmul(const ArrayView<float>& a, const ArrayView<float>& b);

// Per element type: float32 directly, 16-bit types widened once, multiplied in
// float32 and rounded once per result element.
template <class T>
struct MatmulOps {
    static Result<NdArray<T>> do_matmul(const NdArray<T>& a, const NdArray<T>& b);
};

extern template struct MatmulOps<float>;
extern template struct MatmulOps<f16>;
extern template struct MatmulOps<bf16>;

}  // namespace zavra::cpu
