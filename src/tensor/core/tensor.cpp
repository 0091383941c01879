// Tensor operations: decide requires_grad, record before computing, build the result.
#include "tensor/core/tensor.hpp"

#include "autograd/engine.hpp"

namespace zavra {

namespace {

using autograd::NodeRef;
using autograd::Tape;

Error stale_error() { return Error::runtime(autograd::stale_graph_message()); }

// The operand's node id, or a new leaf for an operand without one.
std::size_t operand_id(Tape& tape, const Tensor& t) { return t.node() ? t.node()->id : tape.add_anonymous_leaf(); }

// Records one operation in one exclusive access: operand ids (left first), then the
// node that `make(ids...)` builds. A stale operand stops it before anything is pushed.
template <class Make>
Result<NodeRef> record_unary(const Tensor& a, Make make) {
    Tape::Access tape(Tape::current());
    if (a.node() && !tape->issued(*a.node())) return stale_error();
    std::size_t ia = operand_id(*tape, a);
    return NodeRef{tape->push_node(make(ia)), tape->stamp()};
}

template <class Make>
Result<NodeRef> record_binary(const Tensor& a, const Tensor& b, Make make) {
    Tape::Access tape(Tape::current());
    if ((a.node() && !tape->issued(*a.node())) || (b.node() && !tape->issued(*b.node()))) return stale_error();
    std::size_t ia = operand_id(*tape, a);
    std::size_t ib = operand_id(*tape, b);
    return NodeRef{tape->push_node(make(ia, ib)), tape->stamp()};
}

Result<Tensor> finish(Result<cpu::CpuStorage> data, bool requires_grad, std::optional<NodeRef> node) {
    if (!data) return std::move(data).error();
    return Tensor(make_storage(std::move(*data)), requires_grad, node);
}

Result<Tensor> constant(Result<cpu::CpuStorage> data) { return finish(std::move(data), false, std::nullopt); }

// A two-operand operation that records a node of kind Node holding only ids.
template <class Node, class Compute>
Result<Tensor> ids_binary(const Tensor& a, const Tensor& b, Compute compute) {
    const bool requires_grad = a.requires_grad() || b.requires_grad();
    std::optional<NodeRef> node;
    if (requires_grad) {
        ZAVRA_TRY(ref, record_binary(a, b, [](std::size_t l, std::size_t r) { return std::make_unique<Node>(l, r); }));
        node = ref;
    }
    return finish(compute(), requires_grad, node);
}

// A two-operand operation whose node also keeps both operands' storages.
template <class Node, class Compute>
Result<Tensor> saving_binary(const Tensor& a, const Tensor& b, Compute compute) {
    const bool requires_grad = a.requires_grad() || b.requires_grad();
    std::optional<NodeRef> node;
    if (requires_grad) {
        ZAVRA_TRY(ref, record_binary(a, b, [&](std::size_t l, std::size_t r) {
            return std::make_unique<Node>(a.storage(), b.storage(), l, r);
        }));
        node = ref;
    }
    return finish(compute(), requires_grad, node);
}

template <class Make, class Compute>
Result<Tensor> unary(const Tensor& a, Make make, Compute compute) {
    std::optional<NodeRef> node;
    if (a.requires_grad()) {
        ZAVRA_TRY(ref, record_unary(a, make));
        node = ref;
    }
    return finish(compute(), a.requires_grad(), node);
}

}  // namespace

Tensor Tensor::leaf(cpu::CpuStorage data, bool requires_grad) {
    std::optional<NodeRef> node;
    if (requires_grad) {
        Tape::Access tape(Tape::current());
        node = NodeRef{tape->add_leaf(), tape->stamp()};
    }
    return Tensor(make_storage(std::move(data)), requires_grad, node);
}

Result<Tensor> Tensor::add(const Tensor& o) const {
    return ids_binary<autograd::AddNode>(*this, o, [&] { return data().add(o.data()); });
}
Result<Tensor> Tensor::sub(const Tensor& o) const {
    return ids_binary<autograd::SubNode>(*this, o, [&] { return data().sub(o.data()); });
}
Result<Tensor> Tensor::mul(const Tensor& o) const {
    return saving_binary<autograd::MulNode>(*this, o, [&] { return data().mul(o.data()); });
}
Result<Tensor> Tensor::div(const Tensor& o) const {
    return saving_binary<autograd::DivNode>(*this, o, [&] { return data().div(o.data()); });
}
Result<Tensor> Tensor::matmul(const Tensor& o) const {
    return saving_binary<autograd::MatmulNode>(*this, o, [&] { return data().matmul(o.data()); });
}

Result<Tensor> Tensor::scalar_add(float s) const {
    return unary(*this, [s](std::size_t id) { return std::make_unique<autograd::ScalarAddNode>(id, s); },
                 [&] { return data().scalar_add(s); });
}
Result<Tensor> Tensor::scalar_sub(float s) const {
    return unary(*this, [s](std::size_t id) { return std::make_unique<autograd::ScalarSubNode>(id, s); },
                 [&] { return data().scalar_sub(s); });
}
Result<Tensor> Tensor::scalar_mul(float s) const {
    return unary(*this, [s](std::size_t id) { return std::make_unique<autograd::ScalarMulNode>(id, s); },
                 [&] { return data().scalar_mul(s); });
}
Result<Tensor> Tensor::scalar_div(float s) const {
    // One reciprocal in float32, then a product: the quotient is rounded twice.
    const float reciprocal = 1.0f / s;
    return unary(*this, [s](std::size_t id) { return std::make_unique<autograd::ScalarDivNode>(id, s); },
                 [&] { return data().scalar_mul(reciprocal); });
}

Result<Tensor> Tensor::reshape(const Shape& shape) const {
    Shape input_shape = data().shape();
    return unary(*this,
                 [&](std::size_t id) { return std::make_unique<autograd::ReshapeNode>(std::move(input_shape), id); },
                 [&] { return data().reshape(shape); });
}

Result<Tensor> Tensor::transpose(std::size_t dim0, std::size_t dim1) const {
    const std::size_t rank = data().ndim();
    return unary(*this,
                 [&](std::size_t id) { return std::make_unique<autograd::TransposeNode>(id, dim0, dim1, rank); },
                 [&]() -> Result<cpu::CpuStorage> { return data().transpose(dim0, dim1); });
}

Result<Tensor> Tensor::relu() const {
    return unary(*this, [&](std::size_t id) { return std::make_unique<autograd::ReluNode>(storage(), id); },
                 [&] { return data().relu(); });
}

Result<Tensor> Tensor::eq(const Tensor& o) const { return constant(data().eq(o.data())); }
Result<Tensor> Tensor::ge(const Tensor& o) const { return constant(data().ge(o.data())); }
Result<Tensor> Tensor::gt(const Tensor& o) const { return constant(data().gt(o.data())); }
Result<Tensor> Tensor::le(const Tensor& o) const { return constant(data().le(o.data())); }
Result<Tensor> Tensor::lt(const Tensor& o) const { return constant(data().lt(o.data())); }
Result<Tensor> Tensor::scalar_eq(float s) const { return constant(data().scalar_eq(s)); }
Result<Tensor> Tensor::scalar_ge(float s) const { return constant(data().scalar_ge(s)); }
Result<Tensor> Tensor::scalar_gt(float s) const { return constant(data().scalar_gt(s)); }
Result<Tensor> Tensor::scalar_le(float s) const { return constant(data().scalar_le(s)); }
Result<Tensor> Tensor::scalar_lt(float s) const { return constant(data().scalar_lt(s)); }
Result<Tensor> Tensor::logical_and(const Tensor& o) const { return constant(data().logical_and(o.data())); }
Result<Tensor> Tensor::logical_or(const Tensor& o) const { return constant(data().logical_or(o.data())); }
Result<Tensor> Tensor::logical_xor(const Tensor& o) const { return constant(data().logical_xor(o.data())); }
Result<Tensor> Tensor::logical_not() const { return constant(data().logical_not()); }
Tensor Tensor::zeros_like() const { return Tensor(make_storage(data().zeros_like()), false, std::nullopt); }
Tensor Tensor::ones_like() const { return Tensor(make_storage(data().ones_like()), false, std::nullopt); }

StoragePtr Tensor::grad() const {
    if (!node_) return nullptr;
    Tape& tape = Tape::current();
    if (!tape.issued(*node_)) return nullptr;  // stale: its graph is gone
    return tape.get_grad(node_->id);
}

Result<void> Tensor::backward() const {
    if (!requires_grad_) return Error::value("backward() called on tensor that does not require grad");
    if (!node_ || !Tape::current().issued(*node_)) return stale_error();
    return autograd::run_backward(node_->id, make_storage(data().ones_like()));
}

void Tensor::clear_graph() {
    Tape::Access tape(Tape::current());
    tape->clear();
}

}  // namespace zavra
