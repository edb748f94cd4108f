// The copy behind every read of `samples`: one block of (rows, 5) words into fresh int16 storage, with the
// allocation of that storage (NumPy's part) measured apart from the copy itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <benchmark/benchmark.h>

#include "channels/dynamic_array_2d.hpp"

namespace {

void BM_BlockCopy(benchmark::State &state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    DynamicArray2D<unsigned short> block(rows, 5);
    const std::size_t bytes = rows * 5 * sizeof(std::int16_t);
    auto *out = static_cast<std::int16_t *>(std::malloc(bytes));
    for (auto _ : state) {
        std::memcpy(out, block.data(), bytes);
        benchmark::ClobberMemory();
    }
    std::free(out);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_BlockCopy)->Arg(4096)->Arg(65536);

void BM_BlockAllocAndCopy(benchmark::State &state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    DynamicArray2D<unsigned short> block(rows, 5);
    const std::size_t bytes = rows * 5 * sizeof(std::int16_t);
    for (auto _ : state) {
        auto *out = static_cast<std::int16_t *>(std::malloc(bytes));
        std::memcpy(out, block.data(), bytes);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_BlockAllocAndCopy)->Arg(4096)->Arg(65536);

} // namespace
