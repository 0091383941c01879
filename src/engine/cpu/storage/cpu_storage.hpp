// CpuStorage: tensor data as one strided array per element type, and its per-type
// dispatching operations.
#pragma once

#include <utility>
#include <variant>

#include "engine/cpu/array/nd_array.hpp"
#include "engine/cpu/numeric/half.hpp"
#include "engine/cpu/numeric/ops/matmul.hpp"
#include "support/result.hpp"
#include "support/shape.hpp"
#include "tensor/storage/dtype.hpp"

typedef struct _object PyObject;

namespace zavra::cpu {

class CpuStorage;
using StoragePair = std::pair<CpuStorage, CpuStorage>;

class CpuStorage {
public:
    // Alternatives in DType order.
    using Variant = std::variant<NdArray<f16>, NdArray<bf16>, NdArray<float>, NdArray<bool>>;

    template <class T>
    CpuStorage(NdArray<T> array) : data_(std::move(array)) {}

    DType dtype() const noexcept { return static_cast<DType>(data_.index()); }
    const Variant& variant() const noexcept { return data_; }
    template <class T>
    const NdArray<T>* get_if() const noexcept { return std::get_if<NdArray<T>>(&data_); }

    Shape shape() const;
    Strides strides() const;
    std::size_t ndim() const;

    // NumPy exchange (storage/api).
    static CpuStorage from_numpy(PyObject* array, DType dtype);
    Result<PyObject*> to_numpy() const;  // new reference

    // Shape operations (storage/shape).
    Result<CpuStorage> reshape(const Shape& shape) const;
    CpuStorage transpose(std::size_t dim0, std::size_t dim1) const;  // throws InternalFailure
    CpuStorage zeros_like() const;
    CpuStorage ones_like() const;

    // Element-wise arithmetic and comparison (storage/numeric).
    Result<CpuStorage> add(const CpuStorage& other) const;
    Result<CpuStorage> sub(const CpuStorage& other) const;
    Result<CpuStorage> mul(const CpuStorage& other) const;
    Result<CpuStorage> div(const CpuStorage& other) const;
    Result<CpuStorage> eq(const CpuStorage& other) const;
    Result<CpuStorage> ge(const CpuStorage& other) const;
    Result<CpuStorage> gt(const CpuStorage& other) const;
    Result<CpuStorage> le(const CpuStorage& other) const;
    Result<CpuStorage> lt(const CpuStorage& other) const;

    Result<CpuStorage> scalar_add(float s) const;
    Result<CpuStorage> scalar_sub(float s) const;
    Result<CpuStorage> scalar_mul(float s) const;
    Result<CpuStorage> scalar_eq(float s) const;
    Result<CpuStorage> scalar_ge(float s) const;
    Result<CpuStorage> scalar_gt(float s) const;
    Result<CpuStorage> scalar_le(float s) const;
    Result<CpuStorage> scalar_lt(float s) const;

    Result<CpuStorage> matmul(const CpuStorage& other) const;

    // Logical operations (storage/boolean).
    Result<CpuStorage> logical_and(const CpuStorage& other) const;
    Result<CpuStorage> logical_or(const CpuStorage& other) const;
    Result<CpuStorage> logical_xor(const CpuStorage& other) const;
    Result<CpuStorage> logical_not() const;

    // Functional (storage/functional) and gradient kernels (storage/backward).
    Result<CpuStorage> relu() const;
    static Result<CpuStorage> backward_relu(const CpuStorage& input, const CpuStorage& grad);
    static Result<StoragePair> backward_mul(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs);
    static Result<StoragePair> backward_div(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs);
    static Result<StoragePair> backward_matmul(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs);
    // One side of backward_matmul; the other side's product is only checked.
    static Result<CpuStorage> backward_matmul_one(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs,
                                                  MatmulSide side);

private:
    Variant data_;
};

}  // namespace zavra::cpu
