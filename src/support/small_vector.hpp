// A vector with inline room for a few elements: shapes and strides without heap traffic.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <type_traits>

namespace zavra {

template <class T, std::size_t Inline>
class SmallVector {
    static_assert(std::is_trivially_copyable_v<T>, "SmallVector holds plain values only");

public:
    SmallVector() = default;
    explicit SmallVector(std::size_t n, T fill = T{}) { assign(n, fill); }
    SmallVector(std::initializer_list<T> init) { assign(init.begin(), init.end()); }
    template <class It>
    SmallVector(It first, It last) { assign(first, last); }
    SmallVector(const SmallVector& other) { assign(other.begin(), other.end()); }
    SmallVector(SmallVector&& other) noexcept { steal(other); }
    SmallVector& operator=(const SmallVector& other) {
        if (this != &other) assign(other.begin(), other.end());
        return *this;
    }
    SmallVector& operator=(SmallVector&& other) noexcept {
        if (this != &other) {
            heap_.reset();
            steal(other);
        }
        return *this;
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return heap_ ? heap_.get() : inline_; }
    const T* data() const noexcept { return heap_ ? heap_.get() : inline_; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    T& back() noexcept { return data()[size_ - 1]; }
    const T& back() const noexcept { return data()[size_ - 1]; }

    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        auto grown = std::make_unique_for_overwrite<T[]>(n);
        std::copy(begin(), end(), grown.get());
        heap_ = std::move(grown);
        capacity_ = n;
    }
    void resize(std::size_t n, T fill = T{}) {
        reserve(n);
        for (std::size_t i = size_; i < n; ++i) data()[i] = fill;
        size_ = n;
    }
    void push_back(T v) {
        if (size_ == capacity_) reserve(capacity_ * 2);
        data()[size_++] = v;
    }
    void clear() noexcept { size_ = 0; }
    void assign(std::size_t n, T fill) {
        size_ = 0;
        resize(n, fill);
    }
    template <class It>
    void assign(It first, It last) {
        size_ = 0;
        reserve(static_cast<std::size_t>(std::distance(first, last)));
        for (; first != last; ++first) data()[size_++] = static_cast<T>(*first);
    }

    friend bool operator==(const SmallVector& a, const SmallVector& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    void steal(SmallVector& other) noexcept {
        size_ = other.size_;
        capacity_ = other.capacity_;
        if (other.heap_) {
            heap_ = std::move(other.heap_);
        } else {
            // A fixed-size copy compiles to a few moves; shapes are moved often.
            __builtin_memcpy(static_cast<void*>(inline_), other.inline_, sizeof(inline_));
        }
        other.size_ = 0;
        other.capacity_ = Inline;
    }

    T inline_[Inline];
    std::unique_ptr<T[]> heap_;
    std::size_t size_ = 0;
    std::size_t capacity_ = Inline;
};

}  // namespace zavra
