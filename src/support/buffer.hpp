// Reference-counted element buffer shared by immutable arrays, sized by how it is used.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace zavra {

// One allocation holds the header and the bytes; the data are never written after
// the array that created them is published, so sharing needs only the atomic count.
//
// Three sources, chosen by size:
// - small buffers come from malloc directly (its per-thread cache makes the
//   allocation of a tiny result nearly free; data are 16-byte aligned);
// - medium buffers are 64-byte aligned, one cache line, for the vector loops;
// - large buffers are mapped on their own, with the data on a 2 MiB boundary and
//   transparent huge pages requested: a fresh result is written once, and taking
//   one fault per 2 MiB instead of one per 4 KiB halves the cost of that write.
//   A few freed mappings are kept for reuse (loops make results of one size over
//   and over), handed back to the kernel lazily (MADV_FREE) so that memory
//   pressure can still reclaim their pages; a reused mapping whose pages were
//   not reclaimed takes no page fault at all.
class SharedBuffer {
public:
    SharedBuffer() = default;

    // Uninitialised storage for `bytes` bytes. Throws std::bad_alloc.
    static SharedBuffer allocate(std::size_t bytes) {
        if (bytes > SIZE_MAX / 2) throw std::bad_alloc();
        SharedBuffer out;
        if (bytes <= kSmallLimit) {
            void* raw = std::malloc(kSmallHeader + bytes);
            if (!raw) throw std::bad_alloc();
            out.block_ = ::new (raw) Block{};
            out.data_ = static_cast<std::byte*>(raw) + kSmallHeader;
            return out;
        }
#if defined(__linux__)
        if (bytes >= kMappedLimit) return mapped(bytes);
#endif
        // malloc's own alignment is 16: over-allocate and start the data on the next
        // cache line (cheaper than aligned_alloc, which splits chunks).
        const std::size_t total = kSmallHeader + kAlign + bytes;
        const unsigned size_class = total >= kCachedMin ? class_of(total) : 0;
        void* raw = size_class ? take_cached(size_class) : nullptr;
        if (!raw) raw = std::malloc(size_class ? std::size_t{1} << size_class : total);
        if (!raw) throw std::bad_alloc();
        out.block_ = ::new (raw) Block{};
        if (size_class) out.block_->capacity = std::size_t{1} << size_class;
        const auto first = reinterpret_cast<std::uintptr_t>(raw) + kSmallHeader;
        out.data_ = reinterpret_cast<std::byte*>((first + kAlign - 1) / kAlign * kAlign);
        return out;
    }

    static SharedBuffer zeroed(std::size_t bytes) {
        SharedBuffer out = allocate(bytes);
        if (bytes) std::memset(out.data(), 0, bytes);
        return out;
    }

    SharedBuffer(const SharedBuffer& o) noexcept : block_(o.block_), data_(o.data_) {
        if (block_) block_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    SharedBuffer(SharedBuffer&& o) noexcept
        : block_(std::exchange(o.block_, nullptr)), data_(std::exchange(o.data_, nullptr)) {}
    SharedBuffer& operator=(SharedBuffer o) noexcept {
        std::swap(block_, o.block_);
        std::swap(data_, o.data_);
        return *this;
    }
    ~SharedBuffer() {
        if (block_ && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) release(block_);
    }

    std::byte* data() const noexcept { return data_; }

private:
    static constexpr std::size_t kAlign = 64;
    static constexpr std::size_t kSmallHeader = 32;
    static constexpr std::size_t kSmallLimit = 1024 - kSmallHeader;
    static constexpr std::size_t kMappedLimit = std::size_t{4} << 20;
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;

    struct Block {
        std::atomic<std::size_t> refs{1};
        void* map_base = nullptr;  // set for a buffer mapped on its own
        std::size_t map_length = 0;
        std::size_t capacity = 0;  // usable bytes of a mapping; block size of a cacheable medium block
    };
    static_assert(sizeof(Block) <= kSmallHeader && alignof(Block) <= 16);

    static void release(Block* block) noexcept {
#if defined(__linux__)
        if (block->map_base) {
            if (!keep_mapping(block)) unmap(block);
            return;
        }
#endif
        const unsigned size_class = block->capacity ? class_of(block->capacity) : 0;
        block->~Block();
        if (!size_class || !keep_cached(block, size_class)) std::free(block);
    }

    // Medium buffers of a training loop come and go in the same few sizes. Handing
    // them back to malloc lets it shrink the heap and fault the pages in again on
    // the next step; a small per-thread cache by power-of-two class keeps them.
    static constexpr std::size_t kCachedMin = std::size_t{16} << 10;
    static constexpr unsigned kFirstClass = 14, kLastClass = 23;  // 16 KiB .. 8 MiB blocks
    static constexpr int kPerClass = 4;
    static constexpr std::size_t kThreadCacheBytes = std::size_t{24} << 20;

    static unsigned class_of(std::size_t total) noexcept {
        return static_cast<unsigned>(64 - __builtin_clzll(static_cast<unsigned long long>(total - 1)));
    }

    struct ThreadCache {
        void* blocks[kLastClass - kFirstClass + 1][kPerClass] = {};
        int counts[kLastClass - kFirstClass + 1] = {};
        std::size_t bytes = 0;
        ~ThreadCache() {
            dead() = true;
            for (int c = 0; c <= static_cast<int>(kLastClass - kFirstClass); ++c) {
                for (int i = 0; i < counts[c]; ++i) std::free(blocks[c][i]);
            }
        }
        // Trivially destructible, so still readable while other thread-locals are
        // torn down after the cache.
        static bool& dead() noexcept {
            static thread_local bool flag = false;
            return flag;
        }
    };

    static ThreadCache* thread_cache() noexcept {
#if defined(__SANITIZE_ADDRESS__)
        return nullptr;  // every buffer goes back to the allocator, where the sanitizer watches it
#endif
        if (ThreadCache::dead()) return nullptr;
        static thread_local ThreadCache cache;
        return &cache;
    }

    static void* take_cached(unsigned size_class) noexcept {
        ThreadCache* cache = thread_cache();
        if (!cache || size_class > kLastClass) return nullptr;
        int& count = cache->counts[size_class - kFirstClass];
        if (count == 0) return nullptr;
        cache->bytes -= std::size_t{1} << size_class;
        return cache->blocks[size_class - kFirstClass][--count];
    }

    static bool keep_cached(void* raw, unsigned size_class) noexcept {
        ThreadCache* cache = thread_cache();
        if (!cache || size_class > kLastClass) return false;
        const std::size_t size = std::size_t{1} << size_class;
        int& count = cache->counts[size_class - kFirstClass];
        if (count == kPerClass || cache->bytes + size > kThreadCacheBytes) return false;
        cache->blocks[size_class - kFirstClass][count++] = raw;
        cache->bytes += size;
        return true;
    }

#if defined(__linux__)
    static constexpr int kCachedMappings = 4;
    static constexpr std::size_t kCachedBytes = std::size_t{512} << 20;
    static inline std::atomic<Block*> cached_[kCachedMappings] = {};
    static inline std::atomic<std::size_t> cached_bytes_{0};

    static void unmap(Block* block) noexcept {
        void* base = block->map_base;
        std::size_t length = block->map_length;
        block->~Block();
        ::munmap(base, length);
    }

    static std::byte* data_of(Block* block) noexcept { return reinterpret_cast<std::byte*>(block) + kAlign; }

    // Parks a freed mapping in an empty slot while the total stays bounded.
    static bool keep_mapping(Block* block) noexcept {
        const std::size_t bytes = block->capacity;
        if (cached_bytes_.fetch_add(bytes, std::memory_order_relaxed) + bytes > kCachedBytes) {
            cached_bytes_.fetch_sub(bytes, std::memory_order_relaxed);
            return false;
        }
#if defined(MADV_FREE)
        ::madvise(data_of(block), bytes, MADV_FREE);
#endif
        for (auto& slot : cached_) {
            Block* empty = nullptr;
            if (slot.compare_exchange_strong(empty, block, std::memory_order_release, std::memory_order_relaxed)) {
                return true;
            }
        }
        cached_bytes_.fetch_sub(bytes, std::memory_order_relaxed);
        return false;
    }

    // A parked mapping that holds `bytes` without wasting more than as much again.
    static Block* reuse_mapping(std::size_t bytes) noexcept {
        for (auto& slot : cached_) {
            Block* block = slot.load(std::memory_order_acquire);
            if (!block || block->capacity < bytes || block->capacity / 2 > bytes) continue;
            if (slot.compare_exchange_strong(block, nullptr, std::memory_order_acquire, std::memory_order_relaxed)) {
                cached_bytes_.fetch_sub(block->capacity, std::memory_order_relaxed);
                block->refs.store(1, std::memory_order_relaxed);
                return block;
            }
        }
        return nullptr;
    }

    // The header sits at the end of the page before the data; the unused head and
    // tail of the over-sized mapping are returned at once.
    static SharedBuffer mapped(std::size_t bytes) {
        SharedBuffer out;
        if (Block* block = reuse_mapping(bytes)) {
            out.block_ = block;
            out.data_ = data_of(block);
            return out;
        }
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t span = bytes + page + kHugePage;
        void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        const auto start = reinterpret_cast<std::uintptr_t>(raw);
        const std::uintptr_t data = (start + page + kHugePage - 1) / kHugePage * kHugePage;
        const std::uintptr_t base = data - page;
        const std::uintptr_t end = (data + bytes + page - 1) / page * page;
        if (base > start) ::munmap(raw, base - start);
        if (start + span > end) ::munmap(reinterpret_cast<void*>(end), start + span - end);
#if defined(MADV_HUGEPAGE)
        // Advice only: without huge pages the mapping still works with small ones.
        ::madvise(reinterpret_cast<void*>(data), end - data, MADV_HUGEPAGE);
#endif
        auto* block = ::new (reinterpret_cast<void*>(data - kAlign)) Block{};
        block->map_base = reinterpret_cast<void*>(base);
        block->map_length = end - base;
        block->capacity = end - data;
        out.block_ = block;
        out.data_ = reinterpret_cast<std::byte*>(data);
        return out;
    }
#endif

    Block* block_ = nullptr;
    std::byte* data_ = nullptr;
};

}  // namespace zavra
