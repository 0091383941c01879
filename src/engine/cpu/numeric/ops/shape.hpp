// Shape operations for every element type: reshape, axis exchange, constant fills.
#pragma once

#include "engine/cpu/array/nd_array.hpp"
#include "support/result.hpp"

namespace zavra::cpu {

// Same elements under new extents; the data must be in standard row-major layout.
// The result shares the immutable buffer: nothing is copied.
template <class T>
Result<NdArray<T>> reshape_array(const NdArray<T>& a, const Shape& shape) {
    auto requested = checked_element_count(shape);
    if (!requested || *requested != a.size()) {
        return Error::value("Error while reshape: ShapeError/IncompatibleShape: incompatible shapes");
    }
    if (!is_standard_layout(a.shape(), a.strides())) {
        return Error::value("Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout");
    }
    return a.relabel(shape, row_major_strides(shape));
}

// Exchange of two axes without moving data. An axis beyond the rank is an internal failure.
template <class T>
NdArray<T> exchange_axes(const NdArray<T>& a, std::size_t dim0, std::size_t dim1) {
    const std::size_t rank = a.ndim();
    if (dim0 >= rank) index_out_of_bounds(rank, dim0);
    if (dim1 >= rank) index_out_of_bounds(rank, dim1);
    Shape shape = a.shape();
    Strides strides = a.strides();
    std::swap(shape[dim0], shape[dim1]);
    std::swap(strides[dim0], strides[dim1]);
    return a.relabel(std::move(shape), std::move(strides));
}

}  // namespace zavra::cpu
