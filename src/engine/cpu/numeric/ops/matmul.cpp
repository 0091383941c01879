// Shape checks, batch broadcasting and the per-matrix kernel calls of the matrix product.
#include "engine/cpu/numeric/ops/matmul.hpp"

#include <cstring>

#include "engine/cpu/numeric/ops/mod.hpp"
#include "engine/cpu/simd/kernel_table.hpp"

namespace zavra::cpu {

namespace {

// C := A * B for one matrix; placeholder reference loop honouring every stride.
void gemm(std::size_t m, std::size_t k, std::size_t n, const float* a, std::ptrdiff_t ars, std::ptrdiff_t acs,
          const float* b, std::ptrdiff_t brs, std::ptrdiff_t bcs, float* c, std::ptrdiff_t crs, std::ptrdiff_t ccs) {
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            float sum = 0.0f;
            for (std::size_t p = 0; p < k; ++p) {
                sum += a[static_cast<std::ptrdiff_t>(i) * ars + static_cast<std::ptrdiff_t>(p) * acs] *
                       b[static_cast<std::ptrdiff_t>(p) * brs + static_cast<std::ptrdiff_t>(j) * bcs];
            }
            c[static_cast<std::ptrdiff_t>(i) * crs + static_cast<std::ptrdiff_t>(j) * ccs] = sum;
        }
    }
}

struct MutView {
    float* origin;
    Shape shape;
    Strides strides;
};

Result<void> batched_matmul_recursive(const MutView& out, const ArrayView<float>& a, const ArrayView<float>& b) {
    const std::size_t rank = out.shape.size();
    if (rank == 2) {
        gemm(out.shape[0], a.shape[1], out.shape[1], a.origin, a.strides[0], a.strides[1], b.origin, b.strides[0],
             b.strides[1], out.origin, out.strides[0], out.strides[1]);
        return {};
    }
    for (std::size_t i = 0; i < out.shape[0]; ++i) {
        MutView sub{out.origin + static_cast<std::ptrdiff_t>(i) * out.strides[0],
                    Shape(out.shape.begin() + 1, out.shape.end()), Strides(out.strides.begin() + 1, out.strides.end())};
        ZAVRA_CHECK(batched_matmul_recursive(sub, a.subview(i), b.subview(i)));
    }
    return {};
}

}  // namespace

Result<NdArray<float>> internal_linalg_matmul(const ArrayView<float>& a, const ArrayView<float>& b) {
    const std::size_t ra = a.ndim(), rb = b.ndim();
    if (ra < 2 || rb < 2) {
        return Error::runtime("Matmul requires at least 2D tensors. A: " + std::to_string(ra) +
                              "D, B: " + std::to_string(rb) + "D");
    }
    const std::size_t m = a.shape[ra - 2], k = a.shape[ra - 1];
    const std::size_t k2 = b.shape[rb - 2], n = b.shape[rb - 1];
    if (k != k2) {
        return Error::runtime("Matrix inner dimensions mismatch for matmul: " + std::to_string(k) + " vs " +
                              std::to_string(k2));
    }
    ZAVRA_TRY(batch, broadcast_shapes(Shape(a.shape.begin(), a.shape.end() - 2), Shape(b.shape.begin(), b.shape.end() - 2)));
    Shape target_a = batch, target_b = batch, result = batch;
    target_a.push_back(m), target_a.push_back(k);
    target_b.push_back(k), target_b.push_back(n);
    result.push_back(m), result.push_back(n);
    auto va = broadcast_view(a, target_a);
    if (!va) return Error::runtime("Broadcast failed for A to " + shape_text(target_a));
    auto vb = broadcast_view(b, target_b);
    if (!vb) return Error::runtime("Broadcast failed for B to " + shape_text(target_b));
    NdArray<float> out = NdArray<float>::row_major(result);
    const std::size_t total = out.size();
    if (total) std::memset(out.mutable_origin(), 0, total * sizeof(float));
    if (total == 0 || k == 0) return out;
    MutView ov{out.mutable_origin(), out.shape(), out.strides()};
    ZAVRA_CHECK(batched_matmul_recursive(ov, *va, *vb));
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
