// Shape checks, batch broadcasting and the per-matrix kernel calls of the matrix product.
#include "engine/cpu/numeric/ops/matmul.hpp"

#include <cstring>

#include "engine/cpu/gemm/gemm.hpp"
#include "engine/cpu/numeric/ops/mod.hpp"
#include "engine/cpu/simd/kernel_table.hpp"

namespace zavra::cpu {

namespace {

// Walks the batch axes in lockstep, without building sub-views: each step only moves
// the three origins. At rank 2, one kernel call fills one result matrix.
void batched_matmul_recursive(std::size_t rank, float* out, const std::size_t* out_shape,
                              const std::ptrdiff_t* out_strides, const float* a, const std::ptrdiff_t* a_strides,
                              const float* b, const std::ptrdiff_t* b_strides, std::size_t k) {
    if (rank == 2) {
        gemm::sgemm(out_shape[0], k, out_shape[1], a, a_strides[0], a_strides[1], b, b_strides[0], b_strides[1], out,
                    out_strides[0]);
        return;
    }
    for (std::size_t i = 0; i < out_shape[0]; ++i) {
        const auto step = static_cast<std::ptrdiff_t>(i);
        batched_matmul_recursive(rank - 1, out + step * out_strides[0], out_shape + 1, out_strides + 1,
                                 a + step * a_strides[0], a_strides + 1, b + step * b_strides[0], b_strides + 1, k);
    }
}

}  // namespace

Result<MatmulPlan> plan_matmul(const Shape& a, const Shape& b) {
    const std::size_t ra = a.size(), rb = b.size();
    if (ra < 2 || rb < 2) {
        return Error::runtime("Matmul requires at least 2D tensors. A: " + std::to_string(ra) +
                              "D, B: " + std::to_string(rb) + "D");
    }
    MatmulPlan plan;
    plan.m = a[ra - 2];
    plan.k = a[ra - 1];
    plan.n = b[rb - 1];
    if (plan.k != b[rb - 2]) {
        return Error::runtime("Matrix inner dimensions mismatch for matmul: " + std::to_string(plan.k) + " vs " +
                              std::to_string(b[rb - 2]));
    }
    ZAVRA_TRY(batch, broadcast_shapes(Shape(a.begin(), a.end() - 2), Shape(b.begin(), b.end() - 2)));
    plan.target_a = plan.target_b = plan.result = batch;
    plan.target_a.push_back(plan.m), plan.target_a.push_back(plan.k);
    plan.target_b.push_back(plan.k), plan.target_b.push_back(plan.n);
    plan.result.push_back(plan.m), plan.result.push_back(plan.n);
    // A broadcast view is impossible only when its element count cannot be addressed.
    if (!checked_element_count(plan.target_a)) {
        return Error::runtime("Broadcast failed for A to " + shape_text(plan.target_a));
    }
    if (!checked_element_count(plan.target_b)) {
        return Error::runtime("Broadcast failed for B to " + shape_text(plan.target_b));
    }
    return plan;
}

Result<NdArray<float>> internal_linalg_matmul(const ArrayView<float>& a, const ArrayView<float>& b) {
    ZAVRA_TRY(plan, plan_matmul(a.shape, b.shape));
    const std::size_t k = plan.k;
    const Shape& result = plan.result;
    // The plan has checked that both targets are addressable.
    const Strides sa = broadcast_strides(a.shape, a.strides, plan.target_a);
    const Strides sb = broadcast_strides(b.shape, b.strides, plan.target_b);
    NdArray<float> out = NdArray<float>::row_major(result);
    const std::size_t total = out.size();
    if (total == 0) return out;
    // With k > 0 the kernel writes every element of every result matrix, so only an
    // empty sum needs the zero fill.
    if (k == 0) {
        std::memset(out.mutable_origin(), 0, total * sizeof(float));
        return out;
    }
    batched_matmul_recursive(result.size(), out.mutable_origin(), out.shape().data(), out.strides().data(),
                             a.origin, sa.data(), b.origin, sb.data(), k);
    return out;
}

namespace {

// Widen into a dense float array with the same strides as the source.
template <class T>
NdArray<float> widen_array(const NdArray<T>& a) {
    NdArray<float> out = NdArray<float>::uninitialized(a.shape(), a.strides());
    const std::size_t n = a.size();
    const auto* src = reinterpret_cast<const std::uint16_t*>(a.origin());
    const auto& table = simd::kernels();
    if constexpr (std::is_same_v<T, f16>) table.widen_f16(src, out.mutable_origin(), n);
    else table.widen_bf16(src, out.mutable_origin(), n);
    return out;
}

template <class T>
NdArray<T> narrow_array(const NdArray<float>& a) {
    NdArray<T> out = NdArray<T>::uninitialized(a.shape(), a.strides());
    auto* dst = reinterpret_cast<std::uint16_t*>(out.mutable_origin());
    const auto& table = simd::kernels();
    if constexpr (std::is_same_v<T, f16>) table.narrow_f16(a.origin(), dst, a.size());
    else table.narrow_bf16(a.origin(), dst, a.size());
    return out;
}

}  // namespace

template <class T>
Result<NdArray<T>> MatmulOps<T>::do_matmul(const NdArray<T>& a, const NdArray<T>& b) {
    if constexpr (std::is_same_v<T, float>) {
        return internal_linalg_matmul(a.view(), b.view());
    } else {
        NdArray<float> wa = widen_array(a);
        NdArray<float> wb = widen_array(b);
        ZAVRA_TRY(product, internal_linalg_matmul(wa.view(), wb.view()));
        return narrow_array<T>(product);
    }
}

template struct MatmulOps<float>;
template struct MatmulOps<f16>;
template struct MatmulOps<bf16>;

}  // namespace zavra::cpu
