// The backward pass over the calling thread's tape.
#pragma once

#include "support/result.hpp"
#include "tensor/storage/storage.hpp"

namespace zavra::autograd {

// Runs every reached node's rule from `root_id` down to 0 and stores the gradients
// on the tape. A failed pass leaves the tape exactly as it was.
Result<void> run_backward(std::size_t root_id, StoragePtr seed);

}  // namespace zavra::autograd
