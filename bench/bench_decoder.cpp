// The frame decoder over an in-memory device: how many stream bytes per second one acquisition thread turns
// into blocks when the device never makes it wait, and what it allocates per block meanwhile.
#include <chrono>
#include <cstddef>
#include <optional>
#include <thread>

#include <benchmark/benchmark.h>

#include "acquisition/simple_decoder.hpp"
#include "alloc_counter.h"
#include "memory_device.hpp"

namespace {

using decoder_type = simple_decoder<4, MemoryDevice>;

void BM_DecoderInMemory(benchmark::State &state) {
    const auto samples = static_cast<std::size_t>(state.range(0));
    // Four blocks' worth of frames: every read starts on a frame, as a healthy stream does.
    decoder_type decoder(MemoryDevice(4 * samples), samples);
    for (int i = 0; i < 64; ++i) {
        decoder.buffers.free_channel().add(decoder_type::block_type(samples, 5));
    }
    decoder.running.store(true);
    decoder.thread = std::thread(&decoder_type::run, &decoder);
    alloc_counter_mark_reader();
    for (int i = 0; i < 128; ++i) {
        auto warm = decoder.buffers.take_filled(std::nullopt);
    }
    const auto others_before = alloc_counter_others();
    for (auto _ : state) {
        auto block = decoder.buffers.take_filled(std::nullopt);
        benchmark::DoNotOptimize(block->data());
    }
    const auto others = alloc_counter_others() - others_before;
    decoder.running.store(false);
    decoder.thread.join();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * samples * 12));
    state.counters["acquisition_allocs_per_block"] =
        benchmark::Counter(static_cast<double>(others) / static_cast<double>(state.iterations()));
}

BENCHMARK(BM_DecoderInMemory)->Arg(4096)->Arg(256)->UseRealTime()->MinTime(1.0);

} // namespace
