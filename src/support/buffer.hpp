// Reference-counted, 64-byte aligned element buffer shared by immutable arrays.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace zavra {

// One allocation holds the count and the bytes; the data are never written after
// the array that created them is published, so sharing needs only the atomic count.
class SharedBuffer {
public:
    SharedBuffer() = default;
    // Uninitialised storage for `bytes` bytes. Throws std::bad_alloc.
    static SharedBuffer allocate(std::size_t bytes) {
        constexpr std::size_t header = kAlign;
        if (bytes > SIZE_MAX - 2 * kAlign) throw std::bad_alloc();
        std::size_t total = (header + bytes + kAlign - 1) / kAlign * kAlign;
        void* raw = std::aligned_alloc(kAlign, total);
        if (!raw) throw std::bad_alloc();
        auto* block = static_cast<Block*>(raw);
        ::new (block) Block{};
        SharedBuffer out;
        out.block_ = block;
        return out;
    }
    static SharedBuffer zeroed(std::size_t bytes) {
        SharedBuffer out = allocate(bytes);
        if (bytes) std::memset(out.data(), 0, bytes);
        return out;
    }

    SharedBuffer(const SharedBuffer& o) noexcept : block_(o.block_) {
        if (block_) block_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    SharedBuffer(SharedBuffer&& o) noexcept : block_(std::exchange(o.block_, nullptr)) {}
    SharedBuffer& operator=(SharedBuffer o) noexcept {
        std::swap(block_, o.block_);
        return *this;
    }
    ~SharedBuffer() {
        if (block_ && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            block_->~Block();
            std::free(block_);
        }
    }

    std::byte* data() const noexcept {
        return block_ ? reinterpret_cast<std::byte*>(block_) + kAlign : nullptr;
    }

private:
    static constexpr std::size_t kAlign = 64;
    struct Block {
        std::atomic<std::size_t> refs{1};
    };
    static_assert(sizeof(Block) <= kAlign);
    Block* block_ = nullptr;
};

}  // namespace zavra
