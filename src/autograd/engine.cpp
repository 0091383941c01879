// The descending sweep and the transfer of gradients onto the tape.
#include "autograd/engine.hpp"

#include "autograd/context.hpp"
#include "autograd/graph.hpp"

namespace zavra::autograd {

Result<void> run_backward(std::size_t root_id, StoragePtr seed) {
    Tape::Access tape(Tape::current());
    const std::size_t count = tape->node_count();
    if (root_id >= count) index_out_of_bounds(count, root_id);

    AutogradContext ctx(count, tape->anonymous_leaves());
    ctx.set_grad(root_id, std::move(seed));
    for (std::size_t i = root_id + 1; i-- > 0;) {
        StoragePtr grad = ctx.take(i);
        if (!grad) continue;
        if (const BackwardOp* node = tape->node(i)) {
            ZAVRA_CHECK(node->backward(ctx, *grad));
        }
        ctx.set_grad(i, std::move(grad));
    }

    auto& slots = ctx.slots();
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] && ctx.wants(i)) tape->set_grad(i, std::move(slots[i]));
    }
    return {};
}

}  // namespace zavra::autograd
