// Moving blocks through the channels: the cost of one add/take pair, on one thread and across two.
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include <benchmark/benchmark.h>

#include "alloc_counter.h"
#include "channels/auto_recycled_channel.hpp"
#include "channels/channel.hpp"
#include "channels/dynamic_array_2d.hpp"

namespace {

using block_type = DynamicArray2D<unsigned short>;
using policy = channels::full_policy::overwrite_last;
using channel_type = channels::channel<block_type, 64, policy>;
using recycled_type = auto_recycled_channel<block_type, 64, policy>;

void BM_ChannelAddTake(benchmark::State &state) {
    channel_type channel;
    block_type block(4096, 5);
    alloc_counter_mark_reader();
    const auto before = alloc_counter_reader();
    for (auto _ : state) {
        channel.add(std::move(block));
        block = std::move(*channel.take(std::chrono::nanoseconds::zero()));
        benchmark::DoNotOptimize(block.data());
    }
    state.counters["allocs_per_round_trip"] = benchmark::Counter(
        static_cast<double>(alloc_counter_reader() - before) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_ChannelAddTake);

// A take that finds nothing and may not wait: what `samples` with a zero timeout costs on an empty queue.
void BM_ChannelTakeEmptyNoWait(benchmark::State &state) {
    channel_type channel;
    for (auto _ : state) {
        benchmark::DoNotOptimize(channel.take(std::chrono::nanoseconds::zero()));
    }
}
BENCHMARK(BM_ChannelTakeEmptyNoWait)->UseRealTime();

// A pool of 64 blocks circulating as in acquisition: empty block taken, released into the data channel,
// taken back filled and released into the free channel.
void BM_RecycledRoundTrip(benchmark::State &state) {
    recycled_type buffers;
    for (int i = 0; i < 64; ++i) {
        buffers.free_channel().add(block_type(4096, 5));
    }
    alloc_counter_mark_reader();
    const auto before = alloc_counter_reader();
    for (auto _ : state) {
        { auto empty = buffers.take_empty(std::chrono::nanoseconds::zero()); }
        auto filled = buffers.take_filled(std::chrono::nanoseconds::zero());
        benchmark::DoNotOptimize(filled->data());
    }
    state.counters["allocs_per_round_trip"] = benchmark::Counter(
        static_cast<double>(alloc_counter_reader() - before) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_RecycledRoundTrip);

// The same pool with a second thread on the other side: it fills (releases into the data channel) while
// the measured thread drains and recycles, so every block crosses threads twice.
void BM_RecycledAcrossThreads(benchmark::State &state) {
    recycled_type buffers;
    for (int i = 0; i < 64; ++i) {
        buffers.free_channel().add(block_type(4096, 5));
    }
    std::atomic<bool> running{true};
    std::thread producer([&] {
        while (running.load()) {
            auto empty = buffers.take_empty(std::chrono::milliseconds(1));
        }
    });
    for (auto _ : state) {
        auto filled = buffers.take_filled(std::nullopt);
        benchmark::DoNotOptimize(filled->data());
    }
    running.store(false);
    producer.join();
}
BENCHMARK(BM_RecycledAcrossThreads)->UseRealTime();

} // namespace
