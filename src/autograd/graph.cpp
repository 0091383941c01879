// The per-thread tape.
#include "autograd/graph.hpp"

#include <atomic>

namespace zavra::autograd {

namespace {

std::uint64_t next_stamp() {
    static std::atomic<std::uint64_t> counter{1};
    return counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

const char* stale_graph_message() {
    return "This tensor's graph is gone: it was recorded before Tensor.clear_graph() or on another thread. "
           "Build the tensor again (for example from its to_numpy() data) on this thread.";
}

Tape::Tape() : stamp_(next_stamp()) {}

Tape& Tape::current() {
    thread_local Tape tape;
    return tape;
}

Tape::Access::Access(Tape& tape) : tape_(tape) {
    if (tape_.busy_) throw InternalFailure("already borrowed: the tape of this thread is in use");
    tape_.busy_ = true;
}

std::size_t Tape::add_leaf() { return push_node(nullptr); }

std::size_t Tape::add_anonymous_leaf() {
    const std::size_t id = push_node(nullptr);
    anonymous_.back() = true;
    return id;
}

std::size_t Tape::push_node(std::unique_ptr<BackwardOp> node) {
    const std::size_t id = nodes_.size();
    // Reserve first so that both lists grow or neither does; slot id always
    // belongs to node id and starts empty.
    if (grads_.size() <= id) grads_.reserve(id + 1);
    anonymous_.reserve(id + 1);
    nodes_.push_back(std::move(node));
    anonymous_.push_back(false);
    if (grads_.size() <= id) grads_.resize(id + 1);
    else grads_[id].reset();
    return id;
}

void Tape::set_grad(std::size_t id, StoragePtr grad) {
    if (id >= grads_.size()) grads_.resize(id + 1);
    grads_[id] = std::move(grad);
}

StoragePtr Tape::get_grad(std::size_t id) const {
    // Storages are immutable, so sharing the stored one is as good as a copy.
    return id < grads_.size() ? grads_[id] : nullptr;
}

void Tape::clear() {
    // Drop nodes in id order, then the gradients; release the memory too.
    for (auto& node : nodes_) node.reset();
    std::vector<std::unique_ptr<BackwardOp>>().swap(nodes_);
    std::vector<StoragePtr>().swap(grads_);
    std::vector<bool>().swap(anonymous_);
    stamp_ = next_stamp();
}

}  // namespace zavra::autograd
