// Gradient accumulation during a backward pass.
#include "autograd/context.hpp"

namespace zavra::autograd {

Result<void> AutogradContext::accumulate(std::size_t id, StoragePtr grad) {
    if (id >= grads_.size()) grads_.resize(id + 1);
    StoragePtr& slot = grads_[id];
    if (!slot) {
        slot = std::move(grad);
        return {};
    }
    ZAVRA_TRY(sum, slot->cpu.add(grad->cpu));
    slot = make_storage(std::move(sum));
    return {};
}

void AutogradContext::set_grad(std::size_t id, StoragePtr grad) {
    if (id >= grads_.size()) grads_.resize(id + 1);
    grads_[id] = std::move(grad);
}

StoragePtr AutogradContext::take(std::size_t id) {
    return id < grads_.size() ? std::move(grads_[id]) : nullptr;
}

}  // namespace zavra::autograd
