#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>

#include "channels/auto_recycled_channel.hpp"
#include "channels/channel.hpp"
#include "channels/dynamic_array_2d.hpp"
#include "acquisition/decoder_counters.hpp"

// The acquisition engine of a board: reads the chip's byte stream, keeps itself aligned on the 12-byte frames
// (sync pair 0xF0 0x0F, then five little-endian words) and copies every frame's payload into the next row of
// a block. Full blocks go to the data channel; empty ones come from the free channel.
//
// Device needs `int read(unsigned char*, int) const` (and `int flush_buffers() const` for the board's flush); one
// that knows where its stream may hold a gap counts those places in `std::uint64_t possible_gaps() const`.
// samples_count must be at least 2: the backward search of a realignment looks 23 bytes behind the end of a read.
template <std::size_t ChannelCount, typename Device>
class simple_decoder {
public:
    using block_type = DynamicArray2D<unsigned short>;
    using buffers_type = auto_recycled_channel<block_type, 64, channels::full_policy::overwrite_last>;
    using output_type = typename buffers_type::value_type;

    static constexpr std::size_t frame_bytes = 12;
    static constexpr std::size_t words_per_frame = 5;
    static constexpr unsigned char sync_first = 0xF0;
    static constexpr unsigned char sync_second = 0x0F;
    // Wait slice for an empty block: bounds how long a stop goes unnoticed while Python holds the whole pool.
    static constexpr std::chrono::nanoseconds wait_slice{1'000'000};
    // A device that is gone fails every read at once; this pause keeps the thread from spinning a core.
    static constexpr int failed_read_pause_ms = 5;

    // Called on the constructing thread. Leaves `running` set and no thread started.
    simple_decoder(Device device, std::size_t samples_count)
        : frame_size(frame_bytes),
          read_size(frame_bytes * samples_count),
          samples_count(samples_count),
          device(std::move(device)) {}

    simple_decoder(const simple_decoder &) = delete;
    simple_decoder &operator=(const simple_decoder &) = delete;

    std::size_t frame_size;
    std::size_t read_size;
    std::size_t samples_count;
    Device device;
    std::atomic<bool> running{true};
    std::thread thread;
    buffers_type buffers;
    decoder_counters counters;

    // Acquisition thread only. Returns once `running` is found clear at the end of a pass, delivering the block in
    // hand (full or partly filled; one with no row filled goes back to the free channel, as it holds only an
    // earlier block's rows). Catches nothing; an exception still delivers the block in hand as it unwinds.
    // A partly filled block is zero past its filled rows, however the run ends: the pool reuses blocks, and
    // those rows would otherwise still hold the frames of an older block.
    void run() {
        stream s{std::make_unique<unsigned char[]>(2 * read_size)};
        fetch(s);
        output_type current = _wait_for_output_bufer();
        std::size_t rows = 0;
        const unfilled_rows_cleared clear_on_exit{current, rows};
        const std::size_t payload = frame_size - 2;
        do {
            if (s.n > frame_size && in_step(s.buf.get()) && !spans_gap(s)) {
                if (!current) {
                    return;
                }
                const std::size_t k = std::min((s.n - s.offset) / frame_size, samples_count - rows);
                const unsigned char *frame = s.buf.get() + s.offset + 2;
                std::uint64_t without_sync = 0;
                for (std::size_t j = 0; j < k; ++j, frame += frame_size) {
                    std::memcpy(current->row(rows + j), frame, payload);
                    // Only counted: the first frame of a read is the one whose pair decides.
                    without_sync += static_cast<std::uint64_t>(frame[-2] != sync_first || frame[-1] != sync_second);
                }
                s.found |= k > 0;
                decoder_counters::add(counters.frames_decoded, k);
                decoder_counters::add(counters.frames_without_sync, without_sync);
                s.offset += k * frame_size;
                rows += k;
                if (rows >= samples_count) {
                    // The full block stays in hand until the next one is there, so the data channel only ever
                    // sees whole blocks while acquisition goes on.
                    output_type next = _wait_for_output_bufer();
                    current = std::move(next);
                    decoder_counters::add(counters.blocks_delivered, 1);
                    rows = 0;
                }
                if (s.n - s.offset < frame_size) {
                    decoder_counters::add(counters.partial_frame_bytes, s.n - s.offset);
                    fetch(s);
                }
            } else {
                resynchronise(s);
            }
        } while (running.load());
        if (current && rows == 0) {
            current.redirect(&buffers.free_channel());
            decoder_counters::add(counters.empty_blocks_returned, 1);
        } else if (current) {
            decoder_counters::add(counters.blocks_delivered, 1);
            if (rows < samples_count) {
                decoder_counters::add(counters.partial_blocks, 1);
                decoder_counters::add(counters.partial_block_rows, rows);
            }
        }
    }

    // Acquisition thread only; an exception leaves both channels as they were. The next empty block, or nothing once
    // the free channel stayed empty and `running` was found clear (a second attempt always comes first).
    output_type _wait_for_output_bufer() {
        output_type w = buffers.take_empty(wait_slice);
        if (w) {
            return w;
        }
        const auto began = std::chrono::steady_clock::now();
        for (;;) {
            w = buffers.take_empty(wait_slice);
            if (w || !running.load()) {
                const auto waited = std::chrono::steady_clock::now() - began + wait_slice;
                decoder_counters::add(counters.wait_for_block_ns,
                                      static_cast<std::uint64_t>(std::chrono::nanoseconds(waited).count()));
                return w;
            }
        }
    }

private:
    // Destroyed before the block in hand is handed over: zeroes the rows past the filled ones.
    struct unfilled_rows_cleared {
        output_type &block;
        const std::size_t &filled;

        ~unfilled_rows_cleared() {
            if (!block || filled >= block->rows()) {
                return;
            }
            std::memset(block->row(filled), 0, (block->rows() - filled) * block->cols() * sizeof(unsigned short));
        }
    };

    // What one execution of run() knows about the stream: the receive buffer (twice a full read), the usable
    // bytes of the latest full read and how many of them are consumed.
    struct stream {
        std::unique_ptr<unsigned char[]> buf;
        std::size_t n = 0;
        std::size_t offset = 0;
        int result = 0; // what the latest full read returned
        // A frame was decoded in this run. Until then a run is finding where the stream is, which skips bytes
        // without losing any: it starts wherever the board happens to be.
        bool found = false;
        // Bytes of reads found in step at their last frame as well as their first, since the run began or the
        // device last reported a place where its stream may hold a gap.
        std::size_t checked = 0;
        std::uint64_t possible_gaps = 0;
    };

    static bool in_step(const unsigned char *buf) noexcept { return buf[0] == sync_first && buf[1] == sync_second; }

    // Until reads in step at both ends have brought a full read's worth, the last frame is tested too. A run's
    // first bytes can be what the FIFO held when the first transfer was queued after the purge, followed by a gap
    // that leaves every later frame out of step; decoding such a read would fill a block with them. The same holds
    // after a place the device reports as a possible gap.
    bool spans_gap(stream &s) const noexcept {
        if (s.checked >= read_size) {
            return false;
        }
        if (!in_step(s.buf.get() + (s.n / frame_size - 1) * frame_size)) {
            return true;
        }
        if (s.offset == 0) {
            s.checked += s.n;
        }
        return false;
    }

    int read_device(unsigned char *buf, std::size_t size) {
        const int result = device.read(buf, static_cast<int>(size));
        if (result >= 0) {
            decoder_counters::add(counters.stream_bytes, static_cast<std::uint64_t>(result));
            decoder_counters::add(static_cast<std::size_t>(result) == size ? counters.full_reads : counters.short_reads, 1);
        } else {
            decoder_counters::add(counters.failed_reads, 1);
        }
        if (result < 0) {
            for (int i = 0; i < failed_read_pause_ms && running.load(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return result;
    }

    // The stream is out of step: find the last sync pair near the end of the buffer and read up to the end of the
    // frame after it, so that the next full read begins on a frame. The chip is deliberately not flushed first: a
    // flush discards the bytes that follow the ones searched, so the realigning read would land inside a frame
    // again; with a board that keeps the chip's FIFO full (1024 bytes, 4 past a frame boundary) every later
    // attempt lands the same way, and the stream can stay lost for millions of frames.
    void realign(const stream &s) {
        unsigned char *buf = s.buf.get();
        const std::size_t last_back = 2 * frame_size - 1;
        for (std::size_t back = 2; back <= last_back && back <= read_size; ++back) {
            const std::size_t p = read_size - back;
            if (buf[p] == sync_first && buf[p + 1] == sync_second) {
                const int skipped = read_device(buf, p + 2 * frame_size - read_size);
                count_skipped(s, skipped);
                return;
            }
        }
    }

    void accept(stream &s, int result) const noexcept {
        s.n = result >= 0 && static_cast<std::size_t>(result) >= frame_size ? static_cast<std::size_t>(result) : 0;
        s.offset = 0;
        s.result = result;
        if constexpr (requires(const Device &d) { { d.possible_gaps() } -> std::convertible_to<std::uint64_t>; }) {
            const std::uint64_t gaps = device.possible_gaps();
            if (gaps != s.possible_gaps) {
                s.possible_gaps = gaps;
                s.checked = 0;
            }
        }
    }

    void count_skipped(const stream &s, int result) noexcept {
        const auto bytes = static_cast<std::uint64_t>(std::max(0, result));
        decoder_counters::add(s.found ? counters.bytes_skipped : counters.bytes_skipped_at_start, bytes);
    }

    // The latest read goes undecoded: the stream is out of step (or the read too short to tell).
    void count_resynchronisation(const stream &s, int result) noexcept {
        if (s.found) {
            decoder_counters::add(counters.resynchronisations, 1);
        }
        count_skipped(s, result);
    }

    void fetch(stream &s) {
        int result = read_device(s.buf.get(), read_size);
        if (!in_step(s.buf.get())) {
            count_resynchronisation(s, result);
            realign(s);
            result = read_device(s.buf.get(), read_size);
        }
        accept(s, result);
    }

    void resynchronise(stream &s) {
        count_resynchronisation(s, s.result);
        realign(s);
        accept(s, read_device(s.buf.get(), read_size));
    }
};
