// The broadcast rule.
#include "engine/cpu/numeric/ops/mod.hpp"

namespace zavra::cpu {

Result<Shape> broadcast_shapes(const Shape& a, const Shape& b) {
    const std::size_t rank = a.size() > b.size() ? a.size() : b.size();
    Shape out(rank);
    for (std::size_t k = 0; k < rank; ++k) {
        std::size_t la = k < a.size() ? a[a.size() - 1 - k] : 1;
        std::size_t lb = k < b.size() ? b[b.size() - 1 - k] : 1;
        std::size_t combined;
        if (la == lb || lb == 1) {
            combined = la;
        } else if (la == 1) {
            combined = lb;
        } else {
            return Error::runtime("Shape mismatch: cannot broadcast " + shape_text(a) + " and " + shape_text(b));
        }
        out[rank - 1 - k] = combined;
    }
    return out;
}

}  // namespace zavra::cpu
