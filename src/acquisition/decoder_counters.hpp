#pragma once

#include <atomic>
#include <cstdint>

// What the acquisition thread saw of the stream, for the user to check after a run. The thread alone writes
// them, with relaxed stores once per read or per block; any thread may read them, each counter on its own.
struct decoder_counters {
    struct snapshot {
        std::uint64_t stream_bytes = 0;       // bytes the device reads returned
        std::uint64_t full_reads = 0;         // reads that returned every byte asked for
        std::uint64_t short_reads = 0;        // reads that returned fewer (the chip had no more, or a stop)
        std::uint64_t failed_reads = 0;       // reads that returned an error code
        std::uint64_t resynchronisations = 0; // times the stream was found out of step after a run's first frame
        std::uint64_t bytes_skipped = 0;      // bytes read but not decoded while realigning
        std::uint64_t bytes_skipped_at_start = 0; // bytes read before a run's first frame, finding the frames
        std::uint64_t frames_decoded = 0;     // rows copied into blocks
        std::uint64_t frames_without_sync = 0; // of those, frames whose own sync pair was wrong
        std::uint64_t partial_frame_bytes = 0; // bytes of incomplete frames at the end of reads, dropped
        std::uint64_t blocks_delivered = 0;   // blocks handed to the data channel
        std::uint64_t partial_blocks = 0;     // of those, handed over partly filled when a run ended
        std::uint64_t partial_block_rows = 0; // the filled rows of those
        std::uint64_t empty_blocks_returned = 0; // blocks a run ended with before filling a row: back to the pool
        std::uint64_t wait_for_block_ns = 0;  // time spent waiting for a free block (the reader fell behind)
    };

    // Acquisition thread only.
    static void add(std::atomic<std::uint64_t> &counter, std::uint64_t n) noexcept {
        counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }

    // Any thread.
    [[nodiscard]] snapshot read() const noexcept {
        auto r = [](const std::atomic<std::uint64_t> &c) { return c.load(std::memory_order_relaxed); };
        // Designated, so that a member out of order or misnamed here does not compile.
        return {.stream_bytes = r(stream_bytes),
                .full_reads = r(full_reads),
                .short_reads = r(short_reads),
                .failed_reads = r(failed_reads),
                .resynchronisations = r(resynchronisations),
                .bytes_skipped = r(bytes_skipped),
                .bytes_skipped_at_start = r(bytes_skipped_at_start),
                .frames_decoded = r(frames_decoded),
                .frames_without_sync = r(frames_without_sync),
                .partial_frame_bytes = r(partial_frame_bytes),
                .blocks_delivered = r(blocks_delivered),
                .partial_blocks = r(partial_blocks),
                .partial_block_rows = r(partial_block_rows),
                .empty_blocks_returned = r(empty_blocks_returned),
                .wait_for_block_ns = r(wait_for_block_ns)};
    }

    std::atomic<std::uint64_t> stream_bytes{0};
    std::atomic<std::uint64_t> full_reads{0};
    std::atomic<std::uint64_t> short_reads{0};
    std::atomic<std::uint64_t> failed_reads{0};
    std::atomic<std::uint64_t> resynchronisations{0};
    std::atomic<std::uint64_t> bytes_skipped{0};
    std::atomic<std::uint64_t> bytes_skipped_at_start{0};
    std::atomic<std::uint64_t> frames_decoded{0};
    std::atomic<std::uint64_t> frames_without_sync{0};
    std::atomic<std::uint64_t> partial_frame_bytes{0};
    std::atomic<std::uint64_t> blocks_delivered{0};
    std::atomic<std::uint64_t> partial_blocks{0};
    std::atomic<std::uint64_t> partial_block_rows{0};
    std::atomic<std::uint64_t> empty_blocks_returned{0};
    std::atomic<std::uint64_t> wait_for_block_ns{0};
};

// Every atomic has its field in the snapshot.
static_assert(sizeof(decoder_counters::snapshot) == sizeof(decoder_counters));
