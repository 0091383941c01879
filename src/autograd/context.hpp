// AutogradContext: the gradients gathered during one backward pass.
#pragma once

#include <vector>

#include "support/result.hpp"
#include "tensor/storage/storage.hpp"

namespace zavra::autograd {

class AutogradContext {
public:
    AutogradContext(std::size_t slots, const std::vector<bool>& anonymous) : grads_(slots), anonymous_(anonymous) {}

    // Whether anyone can read the gradient of `id`: not for an anonymous leaf.
    bool wants(std::size_t id) const { return id >= anonymous_.size() || !anonymous_[id]; }

    // Adds `grad` into slot `id` with the broadcasting addition; on failure the
    // slot keeps what it had.
    Result<void> accumulate(std::size_t id, StoragePtr grad);
    void set_grad(std::size_t id, StoragePtr grad);
    StoragePtr take(std::size_t id);

    std::vector<StoragePtr>& slots() noexcept { return grads_; }

private:
    std::vector<StoragePtr> grads_;
    const std::vector<bool>& anonymous_;
};

}  // namespace zavra::autograd
