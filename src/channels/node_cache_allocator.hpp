#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace channels::details {

// Holds on to the last block of memory a container gave back and hands it out again for a request of the same
// size. A deque used as a FIFO frees one node at its front about as often as it needs one at its back, so with
// this in between its steady state never reaches the heap. Not thread-safe: its owner's mutex guards it.
class node_cache {
public:
    node_cache() = default;
    node_cache(const node_cache &) = delete;
    node_cache &operator=(const node_cache &) = delete;
    ~node_cache() { ::operator delete(kept); }

    void *allocate(std::size_t bytes) {
        if (kept != nullptr && bytes == kept_bytes) {
            return std::exchange(kept, nullptr);
        }
        return ::operator new(bytes);
    }

    // The latest block wins: a map the deque outgrew must not hold the place of the nodes it keeps recycling.
    void deallocate(void *memory, std::size_t bytes) noexcept {
        ::operator delete(kept);
        kept = memory;
        kept_bytes = bytes;
    }

private:
    void *kept = nullptr;
    std::size_t kept_bytes = 0;
};

// An allocator over a node_cache that outlives every container using it.
template <typename T>
class node_cache_allocator {
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "over-aligned types need an aligned cache");

public:
    using value_type = T;

    explicit node_cache_allocator(node_cache *cache) noexcept : cache(cache) {}
    template <typename U>
    node_cache_allocator(const node_cache_allocator<U> &other) noexcept : cache(other.cache) {}

    T *allocate(std::size_t n) { return static_cast<T *>(cache->allocate(n * sizeof(T))); }
    void deallocate(T *memory, std::size_t n) noexcept { cache->deallocate(memory, n * sizeof(T)); }

    template <typename U>
    bool operator==(const node_cache_allocator<U> &other) const noexcept {
        return cache == other.cache;
    }

private:
    template <typename U>
    friend class node_cache_allocator;

    node_cache *cache;
};

} // namespace channels::details
