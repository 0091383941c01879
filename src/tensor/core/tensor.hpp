// The tensor record and the tensor operations, where computation and recording meet.
#pragma once

#include <optional>

#include "autograd/graph.hpp"
#include "support/result.hpp"
#include "tensor/storage/storage.hpp"

namespace zavra {

class Tensor {
public:
    Tensor(StoragePtr storage, bool requires_grad, std::optional<autograd::NodeRef> node)
        : node_(node), storage_(std::move(storage)), requires_grad_(requires_grad) {}

    // A new tensor from data; registers a leaf on this thread's tape when it requires grad.
    static Tensor leaf(cpu::CpuStorage data, bool requires_grad);

    const std::optional<autograd::NodeRef>& node() const noexcept { return node_; }
    const StoragePtr& storage() const noexcept { return storage_; }
    bool requires_grad() const noexcept { return requires_grad_; }
    const cpu::CpuStorage& data() const noexcept { return storage_->cpu; }

    // Recorded operations.
    Result<Tensor> add(const Tensor& other) const;
    Result<Tensor> sub(const Tensor& other) const;
    Result<Tensor> mul(const Tensor& other) const;
    Result<Tensor> div(const Tensor& other) const;
    Result<Tensor> matmul(const Tensor& other) const;
    Result<Tensor> scalar_add(float s) const;
    Result<Tensor> scalar_sub(float s) const;
    Result<Tensor> scalar_mul(float s) const;
    Result<Tensor> scalar_div(float s) const;
    Result<Tensor> reshape(const Shape& shape) const;
    Result<Tensor> transpose(std::size_t dim0, std::size_t dim1) const;
    Result<Tensor> relu() const;

    // Never recorded.
    Result<Tensor> eq(const Tensor& other) const;
    Result<Tensor> ge(const Tensor& other) const;
    Result<Tensor> gt(const Tensor& other) const;
    Result<Tensor> le(const Tensor& other) const;
    Result<Tensor> lt(const Tensor& other) const;
    Result<Tensor> scalar_eq(float s) const;
    Result<Tensor> scalar_ge(float s) const;
    Result<Tensor> scalar_gt(float s) const;
    Result<Tensor> scalar_le(float s) const;
    Result<Tensor> scalar_lt(float s) const;
    Result<Tensor> logical_and(const Tensor& other) const;
    Result<Tensor> logical_or(const Tensor& other) const;
    Result<Tensor> logical_xor(const Tensor& other) const;
    Result<Tensor> logical_not() const;
    Tensor zeros_like() const;
    Tensor ones_like() const;

    // Gradient access on the calling thread's tape.
    StoragePtr grad() const;
    Result<void> backward() const;
    static void clear_graph();

private:
    std::optional<autograd::NodeRef> node_;
    StoragePtr storage_;
    bool requires_grad_;
};

}  // namespace zavra
