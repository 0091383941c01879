// Broadcasting: the common shape of two shapes and zero-copy views onto it.
#pragma once

#include <string>
#include <utility>

#include "engine/cpu/array/nd_array.hpp"
#include "support/result.hpp"
#include "support/shape.hpp"

namespace zavra::cpu {

Result<Shape> broadcast_shapes(const Shape& a, const Shape& b);

// View of an array (shape, strides) stretched onto `target`, or nothing when the
// target holds more elements than can be addressed. The caller guarantees that
// the shapes are compatible.
template <class T>
std::optional<ArrayView<T>> broadcast_view(const ArrayView<T>& source, const Shape& target) {
    if (!checked_element_count(target)) return std::nullopt;
    ArrayView<T> view;
    view.origin = source.origin;
    view.shape = target;
    view.strides.assign(target.size(), 0);
    const std::size_t lead = target.size() - source.shape.size();
    for (std::size_t i = 0; i < source.shape.size(); ++i) {
        if (source.shape[i] == target[lead + i]) view.strides[lead + i] = source.strides[i];
    }
    return view;
}

// One routine for every element type, Bool included.
template <class T>
Result<std::pair<ArrayView<T>, ArrayView<T>>> broadcast_tensors(const NdArray<T>& a, const NdArray<T>& b) {
    ZAVRA_TRY(common, broadcast_shapes(a.shape(), b.shape()));
    auto va = broadcast_view(a.view(), common);
    if (!va) return Error::runtime("Broadcast failed for A: " + shape_text(a.shape()) + " -> " + shape_text(common));
    auto vb = broadcast_view(b.view(), common);
    if (!vb) return Error::runtime("Broadcast failed for B: " + shape_text(b.shape()) + " -> " + shape_text(common));
    return std::pair{std::move(*va), std::move(*vb)};
}

}  // namespace zavra::cpu
