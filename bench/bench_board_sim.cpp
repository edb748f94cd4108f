// The board itself through the simulated board (preloaded) at unlimited rate, with a C++ consumer that
// only takes and returns blocks: the acquisition thread's throughput without Python on the other side.
#include <dlfcn.h>

#include <chrono>
#include <optional>

#include <benchmark/benchmark.h>

#include "acquisition/pcb_roq.hpp"
#include "alloc_counter.h"

namespace {

bool unlimited_rate(const char *serial) {
    using find_fn = int (*)(const char *);
    using rate_fn = int (*)(int, double);
    auto find = reinterpret_cast<find_fn>(dlsym(RTLD_DEFAULT, "pcb_roq_sim_find"));
    auto rate = reinterpret_cast<rate_fn>(dlsym(RTLD_DEFAULT, "pcb_roq_sim_set_rate"));
    if (find == nullptr || rate == nullptr) {
        return false;
    }
    const int index = find(serial);
    return index >= 0 && rate(index, 0.0) == 0;
}

void BM_BoardThroughSim(benchmark::State &state) {
    const auto samples = static_cast<unsigned long>(state.range(0));
    if (!unlimited_rate("SIM0001")) {
        state.SkipWithError("the simulated board is not preloaded");
        return;
    }
    PCB_ROQ board("SIM0001", samples, 255);
    if (!board.opened()) {
        state.SkipWithError("SIM0001 did not open");
        return;
    }
    board.start();
    alloc_counter_mark_reader();
    for (int i = 0; i < 64; ++i) {
        auto warm = board.decoder.buffers.take_filled(std::chrono::seconds(2));
    }
    const auto others_before = alloc_counter_others();
    for (auto _ : state) {
        auto block = board.decoder.buffers.take_filled(std::chrono::seconds(2));
        if (!block) {
            state.SkipWithError("no block within 2 s");
            break;
        }
        benchmark::DoNotOptimize(block->data());
    }
    const auto others = alloc_counter_others() - others_before;
    board.stop();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * samples * 12));
    state.counters["acquisition_allocs_per_block"] =
        benchmark::Counter(static_cast<double>(others) / static_cast<double>(state.iterations()));
}

BENCHMARK(BM_BoardThroughSim)->Arg(4096)->UseRealTime()->MinTime(2.0);

} // namespace
