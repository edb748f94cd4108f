#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <utility>

#include <gtest/gtest.h>

#include "channels/channel.hpp"
#include "channels/dynamic_array_2d.hpp"
#include "channels/node_cache_allocator.hpp"

// Every heap request of this test program is counted, so a test can see whether a stretch of work allocated.
namespace {
std::atomic<long> heap_allocations{0};
} // namespace

namespace {
void *counted_allocation(std::size_t bytes) noexcept {
    heap_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(bytes == 0 ? 1 : bytes);
}
void *counted_allocation_or_throw(std::size_t bytes) {
    if (void *memory = counted_allocation(bytes)) {
        return memory;
    }
    throw std::bad_alloc();
}
} // namespace

// Every replaceable form, so no allocation of this program meets a deallocation of another family.
void *operator new(std::size_t bytes) { return counted_allocation_or_throw(bytes); }
void *operator new[](std::size_t bytes) { return counted_allocation_or_throw(bytes); }
void *operator new(std::size_t bytes, const std::nothrow_t &) noexcept { return counted_allocation(bytes); }
void *operator new[](std::size_t bytes, const std::nothrow_t &) noexcept { return counted_allocation(bytes); }
void operator delete(void *memory) noexcept { std::free(memory); }
void operator delete[](void *memory) noexcept { std::free(memory); }
void operator delete(void *memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void *memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void *memory, const std::nothrow_t &) noexcept { std::free(memory); }
void operator delete[](void *memory, const std::nothrow_t &) noexcept { std::free(memory); }

namespace {

using channels::details::node_cache;

TEST(NodeCacheTest, HandsBackTheLastNodeForARequestOfItsSize) {
    node_cache cache;
    void *node = cache.allocate(512);
    cache.deallocate(node, 512);
    EXPECT_EQ(cache.allocate(512), node);
    cache.deallocate(node, 512);
}

TEST(NodeCacheTest, KeepsTheBlockFreedLast) {
    node_cache cache;
    void *node = cache.allocate(512);
    void *map = cache.allocate(64);
    cache.deallocate(map, 64);
    cache.deallocate(node, 512);  // replaces the map, which goes back to the heap
    EXPECT_EQ(cache.allocate(512), node);
    cache.deallocate(node, 512);
}

TEST(NodeCacheTest, SteadyFifoTrafficThroughAChannelAllocatesNothing) {
    using block = DynamicArray2D<unsigned short>;
    channels::channel<block, 64, channels::full_policy::overwrite_last> channel;
    for (int i = 0; i < 64; ++i) {
        channel.add(block(4, 5));
    }
    const auto cycle = [&channel] {
        auto taken = channel.take(std::chrono::nanoseconds::zero());
        ASSERT_TRUE(taken.has_value());
        channel.add(std::move(*taken));
    };
    for (int i = 0; i < 1000; ++i) {
        cycle();  // lets the deque settle on its map and nodes
    }
    const long before = heap_allocations.load();
    for (int i = 0; i < 10000; ++i) {
        cycle();
    }
    EXPECT_EQ(heap_allocations.load() - before, 0);
    EXPECT_EQ(channel.size(), 64u);
}

} // namespace
