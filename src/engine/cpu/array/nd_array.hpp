// Strided n-dimensional arrays: an owned immutable array and a light read-only view.
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>

#include "support/buffer.hpp"
#include "support/result.hpp"
#include "support/shape.hpp"

namespace zavra::cpu {

// Read-only window onto elements: any signed strides, zero included (broadcasts).
template <class T>
struct ArrayView {
    const T* origin = nullptr;  // element at index (0, ..., 0)
    Shape shape;
    Strides strides;

    std::size_t ndim() const noexcept { return shape.size(); }

    // Sub-view at index i along the first axis.
    ArrayView subview(std::size_t i) const {
        ArrayView out;
        out.origin = origin + static_cast<std::ptrdiff_t>(i) * strides[0];
        out.shape.assign(shape.begin() + 1, shape.end());
        out.strides.assign(strides.begin() + 1, strides.end());
        return out;
    }
};

// An owned array. Its buffer is shared copy-on-never: arrays are immutable once
// published, so shape operations may hand the same buffer to a new array.
template <class T>
class NdArray {
public:
    using value_type = T;
    NdArray() = default;
    NdArray(SharedBuffer buffer, std::size_t offset, Shape shape, Strides strides)
        : buffer_(std::move(buffer)), offset_(offset), shape_(std::move(shape)), strides_(std::move(strides)) {}

    // New uninitialised array with the given strides, which must describe a dense
    // block (a permutation of a row-major layout): the buffer holds exactly
    // element_count(shape) elements.
    static NdArray uninitialized(const Shape& shape, Strides&& strides) {
        std::size_t n = element_count(shape);
        std::ptrdiff_t offset = 0;
        for (std::size_t i = 0; i < shape.size(); ++i) {
            if (strides[i] < 0 && shape[i] > 0) offset -= strides[i] * static_cast<std::ptrdiff_t>(shape[i] - 1);
        }
        NdArray out;
        out.buffer_ = SharedBuffer::allocate(n * sizeof(T));
        out.offset_ = static_cast<std::size_t>(offset);
        out.shape_ = shape;
        out.strides_ = std::move(strides);
        return out;
    }
    static NdArray uninitialized(const Shape& shape, const Strides& strides) {
        return uninitialized(shape, Strides(strides));
    }
    static NdArray row_major(const Shape& shape) { return uninitialized(shape, row_major_strides(shape)); }
    static NdArray filled(const Shape& shape, T value) {
        NdArray out = row_major(shape);
        T* p = out.mutable_origin();
        std::size_t n = out.size();
        for (std::size_t i = 0; i < n; ++i) p[i] = value;
        return out;
    }

    const Shape& shape() const noexcept { return shape_; }
    const Strides& strides() const noexcept { return strides_; }
    std::size_t ndim() const noexcept { return shape_.size(); }
    std::size_t size() const noexcept { return element_count(shape_); }
    const T* origin() const noexcept { return reinterpret_cast<const T*>(buffer_.data()) + offset_; }
    // Only for the builder of a new array, before it is shared.
    T* mutable_origin() const noexcept { return reinterpret_cast<T*>(buffer_.data()) + offset_; }
    const SharedBuffer& buffer() const noexcept { return buffer_; }
    std::size_t offset() const noexcept { return offset_; }

    ArrayView<T> view() const { return ArrayView<T>{origin(), shape_, strides_}; }

    // The same elements under new extents and strides (no element moves).
    NdArray relabel(Shape shape, Strides strides) const { return NdArray(buffer_, offset_, std::move(shape), std::move(strides)); }

private:
    SharedBuffer buffer_;
    std::size_t offset_ = 0;
    Shape shape_;
    Strides strides_;
};

}  // namespace zavra::cpu
