#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

#include "board_stream.hpp"

namespace pcb_roq_sim {

// The FT232H as the host sees it in synchronous FIFO mode: its registers (bit mode, latency timer), its
// bounded receive FIFO fed by the board, and the vendor control requests libftdi sends. Production is
// computed lazily from the monotonic clock whenever the host looks, so no thread runs behind it.
// Not thread-safe: the simulator's lock guards it.
class Ft232hChip {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int packet_size = 512;
    static constexpr unsigned char modem_status[2] = {0x01, 0x60};
    static constexpr unsigned char power_up_latency_ms = 16;
    static constexpr std::uint64_t default_fifo_size = 1024;
    static constexpr unsigned char sync_fifo_mode = 0x40;

    struct Counters {
        std::int64_t resets = 0;
        std::int64_t purges_rx = 0;
        std::int64_t purges_tx = 0;
        std::int64_t baud_rate_requests = 0;
        std::int64_t control_requests = 0;
        std::int64_t bytes_lost = 0;
        std::int64_t bytes_dropped = 0;
    };

    explicit Ft232hChip(Clock::time_point now) { power_up(now); }

    BoardStream &stream() noexcept { return board; }

    // Registers back to their power-up values, FIFO empty, the board's stream restarting at offset 0.
    void power_up(Clock::time_point now);
    // The stream source changed: start it over at offset 0 with an empty FIFO.
    void restart_stream(Clock::time_point now);

    void set_rate(double bytes_per_second, Clock::time_point now);
    void set_fifo_size(std::uint64_t bytes, Clock::time_point now);
    void set_paused(bool paused, Clock::time_point now);

    // A vendor control transfer; returns the bytes transferred or a LIBUSB_ERROR code.
    int vendor_request(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, unsigned char *data,
                       std::uint16_t length, Clock::time_point now);

    // Stream bytes the FIFO holds now.
    std::uint64_t held(Clock::time_point now);
    // When the FIFO will hold `count` bytes if nobody reads; Clock::time_point::max() if never.
    Clock::time_point when_held(std::uint64_t count, Clock::time_point now);
    // Moves up to `capacity` stream bytes from the FIFO into `out`.
    BoardStream::Fill deliver(Clock::time_point now, unsigned char *out, std::size_t capacity);

    // Offset of the next stream byte the host will receive (if nothing is lost before).
    std::uint64_t stream_offset(Clock::time_point now);

    [[nodiscard]] unsigned char latency_ms() const noexcept { return latency; }
    [[nodiscard]] unsigned char bit_mode() const noexcept { return mode; }
    [[nodiscard]] unsigned char bit_mask() const noexcept { return mask; }
    [[nodiscard]] std::uint64_t fifo_size() const noexcept { return fifo_capacity; }
    [[nodiscard]] const Counters &counters() const noexcept { return count; }
    void clear_counters() noexcept { count = {}; }

private:
    struct Segment {
        std::uint64_t begin;
        std::uint64_t end;
    };

    [[nodiscard]] bool producing() const noexcept { return mode == sync_fifo_mode && !paused; }
    // Lets the board write what it produced since the last look; what finds the FIFO full is lost.
    void settle(Clock::time_point now);
    // Settles, then restarts the production clock, before anything that changes the production rate.
    void rebase(Clock::time_point now);
    void accept(std::uint64_t bytes);
    void purge_rx(Clock::time_point now);

    BoardStream board;
    double rate = 0; // bytes per second, 0 = as fast as the FIFO drains
    std::uint64_t fifo_capacity = default_fifo_size;
    bool paused = false;
    unsigned char mode = 0;
    unsigned char mask = 0;
    unsigned char latency = power_up_latency_ms;

    std::deque<Segment> fifo; // stream offsets the FIFO holds, oldest first; gaps are bytes lost to overflow
    std::uint64_t fifo_bytes = 0;
    std::uint64_t board_offset = 0; // next stream offset the board writes
    std::uint64_t board_base = 0;   // board_offset when the production clock last restarted
    Clock::time_point since;
    Counters count;
};

} // namespace pcb_roq_sim
