// Broadcasting: the common shape of two shapes and zero-copy views onto it.
#pragma once

#include <string>
#include <utility>

#include "engine/cpu/array/nd_array.hpp"
#include "support/result.hpp"
#include "support/shape.hpp"

namespace zavra::cpu {

Result<Shape> broadcast_shapes(const Shape& a, const Shape& b);

// Strides of an array (shape, strides) stretched onto `target`: the source's own
// stride where the extents agree, 0 where an extent of 1 is stretched or an axis
// is missing. The caller guarantees that the shapes are compatible.
inline Strides broadcast_strides(const Shape& shape, const Strides& strides, const Shape& target) {
    Strides out(target.size(), 0);
    const std::size_t lead = target.size() - shape.size();
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == target[lead + i]) out[lead + i] = strides[i];
    }
    return out;
}

// One routine for every element type, Bool included. The size test depends only
// on the common shape, so it is made once and a failure is always reported for A:
// the same test for B could never fail after A's passed.
template <class T>
Result<std::pair<ArrayView<T>, ArrayView<T>>> broadcast_tensors(const NdArray<T>& a, const NdArray<T>& b) {
    ZAVRA_TRY(common, broadcast_shapes(a.shape(), b.shape()));
    const bool addressable = checked_element_count(common).has_value();
    if (!addressable) {
        return Error::runtime("Broadcast failed for A: " + shape_text(a.shape()) + " -> " + shape_text(common));
    }
    std::pair<ArrayView<T>, ArrayView<T>> views{
        ArrayView<T>{a.origin(), common, broadcast_strides(a.shape(), a.strides(), common)},
        ArrayView<T>{b.origin(), std::move(common), {}},
    };
    views.second.strides = broadcast_strides(b.shape(), b.strides(), views.second.shape);
    return views;
}

}  // namespace zavra::cpu
