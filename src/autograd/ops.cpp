// Every gradient rule, one per node kind. Gradients keep the shape of the node's
// result (or the broadcast shape of the kernels); nothing is reduced to an operand's shape.
#include "autograd/context.hpp"
#include "autograd/graph.hpp"

namespace zavra::autograd {

namespace {

// Delivers one engine result to a slot.
Result<void> deliver(AutogradContext& ctx, std::size_t id, Result<cpu::CpuStorage> grad) {
    if (!grad) return std::move(grad).error();
    return ctx.accumulate(id, make_storage(std::move(*grad)));
}

// Both gradients come from one engine call, then go left first.
Result<void> deliver_pair(AutogradContext& ctx, std::size_t lhs_id, std::size_t rhs_id,
                          Result<cpu::StoragePair> pair) {
    if (!pair) return std::move(pair).error();
    ZAVRA_CHECK(ctx.accumulate(lhs_id, make_storage(std::move(pair->first))));
    return ctx.accumulate(rhs_id, make_storage(std::move(pair->second)));
}

}  // namespace

Result<void> AddNode::backward(AutogradContext& ctx, const Storage& grad) const {
    ZAVRA_CHECK(deliver(ctx, lhs_id, grad.cpu.scalar_mul(1.0f)));
    return deliver(ctx, rhs_id, grad.cpu.scalar_mul(1.0f));
}

Result<void> SubNode::backward(AutogradContext& ctx, const Storage& grad) const {
    ZAVRA_CHECK(deliver(ctx, lhs_id, grad.cpu.scalar_mul(1.0f)));
    return deliver(ctx, rhs_id, grad.cpu.scalar_mul(-1.0f));
}

Result<void> MulNode::backward(AutogradContext& ctx, const Storage& grad) const {
    return deliver_pair(ctx, lhs_id, rhs_id, cpu::CpuStorage::backward_mul(lhs->cpu, grad.cpu, rhs->cpu));
}

Result<void> DivNode::backward(AutogradContext& ctx, const Storage& grad) const {
    return deliver_pair(ctx, lhs_id, rhs_id, cpu::CpuStorage::backward_div(lhs->cpu, grad.cpu, rhs->cpu));
}

Result<void> MatmulNode::backward(AutogradContext& ctx, const Storage& grad) const {
    // A product with a constant (say, a batch of inputs) skips the constant's product,
    // which nothing can read; its shapes are still checked, so errors are the same.
    const bool want_lhs = ctx.wants(lhs_id), want_rhs = ctx.wants(rhs_id);
    if (want_lhs && want_rhs) {
        return deliver_pair(ctx, lhs_id, rhs_id, cpu::CpuStorage::backward_matmul(lhs->cpu, grad.cpu, rhs->cpu));
    }
    const auto side = want_lhs ? cpu::MatmulSide::Lhs : cpu::MatmulSide::Rhs;
    return deliver(ctx, want_lhs ? lhs_id : rhs_id,
                   cpu::CpuStorage::backward_matmul_one(lhs->cpu, grad.cpu, rhs->cpu, side));
}

Result<void> ReluNode::backward(AutogradContext& ctx, const Storage& grad) const {
    return deliver(ctx, input_id, cpu::CpuStorage::backward_relu(input->cpu, grad.cpu));
}

Result<void> ReshapeNode::backward(AutogradContext& ctx, const Storage& grad) const {
    return deliver(ctx, input_id, grad.cpu.reshape(input_shape));
}

Result<void> TransposeNode::backward(AutogradContext& ctx, const Storage& grad) const {
    const std::size_t rank = grad.cpu.ndim();
    const std::size_t extra = rank > input_rank ? rank - input_rank : 0;
    return deliver(ctx, input_id, grad.cpu.transpose(dim0 + extra, dim1 + extra));
}

Result<void> ScalarAddNode::backward(AutogradContext& ctx, const Storage& grad) const {
    return deliver(ctx, input_id, grad.cpu.scalar_mul(1.0f));
}

Result<void> ScalarSubNode::backward(AutogradContext& ctx, const Storage& grad) const {
    return deliver(ctx, input_id, grad.cpu.scalar_mul(1.0f));
}

Result<void> ScalarMulNode::backward(AutogradContext& ctx, const Storage& grad) const {
    return deliver(ctx, input_id, grad.cpu.scalar_mul(scalar));
}

Result<void> ScalarDivNode::backward(AutogradContext& ctx, const Storage& grad) const {
    const float reciprocal = 1.0f / scalar;
    return deliver(ctx, input_id, grad.cpu.scalar_mul(reciprocal));
}

}  // namespace zavra::autograd
