// The per-thread tape: node records in recording order and the gradients last stored for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "support/result.hpp"
#include "support/shape.hpp"
#include "tensor/storage/storage.hpp"

namespace zavra::autograd {

class AutogradContext;

// The gradient rule of one recorded operation (rules: autograd/ops.cpp).
class BackwardOp {
public:
    virtual ~BackwardOp() = default;
    virtual Result<void> backward(AutogradContext& ctx, const Storage& grad) const = 0;
};

// Node records. A leaf is stored as an empty slot and needs no allocation.
// The kinds share a few field layouts; each kind adds only its gradient rule.

// Two operands known by id.
struct OperandIds : BackwardOp {
    std::size_t lhs_id, rhs_id;
    OperandIds(std::size_t l, std::size_t r) : lhs_id(l), rhs_id(r) {}
};
// Two operands whose data the rule needs: shared references, never copies.
struct SavedOperands : BackwardOp {
    StoragePtr lhs, rhs;
    std::size_t lhs_id, rhs_id;
    SavedOperands(StoragePtr a, StoragePtr b, std::size_t l, std::size_t r)
        : lhs(std::move(a)), rhs(std::move(b)), lhs_id(l), rhs_id(r) {}
};
// One operand and a float32 scalar.
struct ScalarOperand : BackwardOp {
    std::size_t input_id;
    float scalar;
    ScalarOperand(std::size_t id, float s) : input_id(id), scalar(s) {}
};

#define ZAVRA_NODE_KIND(Name, Base)                                                   \
    struct Name final : Base {                                                        \
        using Base::Base;                                                             \
        Result<void> backward(AutogradContext& ctx, const Storage& grad) const override; \
    }

ZAVRA_NODE_KIND(AddNode, OperandIds);
ZAVRA_NODE_KIND(SubNode, OperandIds);
ZAVRA_NODE_KIND(MulNode, SavedOperands);
ZAVRA_NODE_KIND(DivNode, SavedOperands);
ZAVRA_NODE_KIND(MatmulNode, SavedOperands);
ZAVRA_NODE_KIND(ScalarAddNode, ScalarOperand);
ZAVRA_NODE_KIND(ScalarSubNode, ScalarOperand);
ZAVRA_NODE_KIND(ScalarMulNode, ScalarOperand);
ZAVRA_NODE_KIND(ScalarDivNode, ScalarOperand);  // scalar: the divisor
#undef ZAVRA_NODE_KIND

struct ReluNode final : BackwardOp {
    StoragePtr input;
    std::size_t input_id;
    ReluNode(StoragePtr in, std::size_t id) : input(std::move(in)), input_id(id) {}
    Result<void> backward(AutogradContext& ctx, const Storage& grad) const override;
};
struct ReshapeNode final : BackwardOp {
    Shape input_shape;
    std::size_t input_id;
    ReshapeNode(Shape shape, std::size_t id) : input_shape(std::move(shape)), input_id(id) {}
    Result<void> backward(AutogradContext& ctx, const Storage& grad) const override;
};
struct TransposeNode final : BackwardOp {
    std::size_t input_id, dim0, dim1;
    // Rank of the operand: a gradient with more axes (the result was broadcast
    // against a higher-rank tensor) has its axes exchanged counting from the end.
    std::size_t input_rank;
    TransposeNode(std::size_t id, std::size_t d0, std::size_t d1, std::size_t rank)
        : input_id(id), dim0(d0), dim1(d1), input_rank(rank) {}
    Result<void> backward(AutogradContext& ctx, const Storage& grad) const override;
};

// Where a tensor's node lives: its index and the stamp of the tape that issued it.
struct NodeRef {
    std::size_t id;
    std::uint64_t stamp;
};

class Tape {
public:
    // The calling thread's tape, created on first use, destroyed with the thread.
    static Tape& current();

    // Every tape, and every clear() of it, gets a stamp unique in the process, so a
    // node id from a cleared graph or another thread is recognised as stale.
    std::uint64_t stamp() const noexcept { return stamp_; }
    bool issued(const NodeRef& ref) const noexcept { return ref.stamp == stamp_; }

    std::size_t add_leaf();
    // A leaf for an operand that has no node id. No tensor carries its id, so no
    // one can read its gradient: the backward pass need not compute it.
    std::size_t add_anonymous_leaf();
    std::size_t push_node(std::unique_ptr<BackwardOp> node);
    void set_grad(std::size_t id, StoragePtr grad);
    StoragePtr get_grad(std::size_t id) const;
    void clear();

    std::size_t node_count() const noexcept { return nodes_.size(); }
    // Null for a leaf.
    const BackwardOp* node(std::size_t id) const { return nodes_.at(id).get(); }
    const std::vector<bool>& anonymous_leaves() const noexcept { return anonymous_; }

    // Exclusive use of the tape for the lifetime of the guard; nested use on one
    // thread is an internal failure.
    class Access {
    public:
        explicit Access(Tape& tape);
        ~Access() { tape_.busy_ = false; }
        Access(const Access&) = delete;
        Access& operator=(const Access&) = delete;
        Tape* operator->() const noexcept { return &tape_; }
        Tape& operator*() const noexcept { return tape_; }

    private:
        Tape& tape_;
    };

    Tape();

private:
    std::vector<std::unique_ptr<BackwardOp>> nodes_;
    std::vector<StoragePtr> grads_;
    std::vector<bool> anonymous_;  // entry i: node i is an anonymous leaf
    std::uint64_t stamp_;
    bool busy_ = false;
};

// The message for a tensor whose node is not on the calling thread's current tape.
const char* stale_graph_message();

}  // namespace zavra::autograd
