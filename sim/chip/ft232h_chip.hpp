#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

#include "board_stream.hpp"
#include "pending_in.hpp"

namespace pcb_roq_sim {

// The FT232H as the host sees it in synchronous FIFO mode: its registers (bit mode, latency timer), its
// bounded receive FIFO fed by the board, the bulk IN transfers the host has pending, and the vendor control
// requests libftdi sends.
//
// Time is an argument of every call, and the chip works out lazily what happened up to it, so no thread runs
// behind it and tests can drive it with synthetic times. While a pending transfer has room, the chip drains
// into it at bus speed: what the FIFO holds goes at once, and what the board writes afterwards goes into the
// transfer's packets as fast as it comes, however late the host looks. The next pending transfer takes over
// the instant one is complete. Only while no pending transfer has room does the FIFO fill, and what finds it
// full is lost. Times never go backwards: an earlier time than one already seen counts as that one.
// Not thread-safe: the simulator's lock guards it.
class Ft232hChip {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int high_speed_packet_size = 512;
    static constexpr int full_speed_packet_size = 64;
    static constexpr unsigned char modem_status[2] = {0x01, 0x60};
    static constexpr int status_size = sizeof modem_status;
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
        // Of those, lost to overflow while the host streamed (see `streaming`).
        std::int64_t bytes_lost_streaming = 0;
        std::int64_t bytes_dropped = 0;
        std::int64_t bytes_delivered = 0;
        std::int64_t status_only_packets = 0;
    };

    explicit Ft232hChip(Clock::time_point now);
    Ft232hChip(const Ft232hChip &) = delete;
    Ft232hChip &operator=(const Ft232hChip &) = delete;

    BoardStream &stream() noexcept { return board; }

    // Registers back to their power-up values, FIFO empty, the board's stream restarting at offset 0. Pending
    // transfers are left queued: the simulator ends them when it unplugs the device first.
    void power_up(Clock::time_point now);
    // The stream source changed: start it over at offset 0 with an empty FIFO.
    void restart_stream(Clock::time_point now);

    void set_rate(double bytes_per_second, Clock::time_point now);
    void set_fifo_size(std::uint64_t bytes, Clock::time_point now);
    void set_paused(bool paused, Clock::time_point now);
    // The bulk IN endpoint's packet size: 512 at high speed, 64 at full speed.
    void set_packet_size(int bytes) noexcept { packet = bytes; }
    [[nodiscard]] int packet_size() const noexcept { return packet; }
    // Multiplies every latency-timer wait (the simulator's PCB_ROQ_SIM_LATENCY_SCALE).
    void set_latency_scale(double scale, Clock::time_point now);
    // After `bytes` more stream bytes reach the host, the chip sends nothing more (the device is about to be
    // unplugged); empty: no limit.
    void set_delivery_limit(std::optional<std::uint64_t> bytes, Clock::time_point now);
    [[nodiscard]] bool delivery_limit_reached() const noexcept { return limit.has_value() && *limit == 0; }

    // A vendor control transfer; returns the bytes transferred or a LIBUSB_ERROR code.
    int vendor_request(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, unsigned char *data,
                       std::uint16_t length, Clock::time_point now);

    // Works out everything up to `now`: production, packets written, transfers completed.
    void advance(Clock::time_point now);
    // Queues a bulk IN transfer behind those already pending. A transfer with no room for a packet completes
    // at once, empty.
    void queue(PendingIn &transfer, Clock::time_point now);
    // Takes a pending transfer back (cancelled, timed out, freed): a packet being filled is sent short, so no
    // stream byte that reached the transfer is lost. No effect on a transfer that is not queued.
    void withdraw(PendingIn &transfer, Clock::time_point now);
    // Ends every pending transfer with `result` (the device went away), keeping what they received.
    void abort_all(int result, Clock::time_point now);
    // The earliest time at which a pending transfer may complete, if nothing else changes; never earlier than
    // it will. Clock::time_point::max() when none is pending.
    Clock::time_point next_completion(Clock::time_point now);

    // Stream bytes the FIFO holds now.
    std::uint64_t held(Clock::time_point now);
    // Offset of the next stream byte the host will receive (if nothing is lost before).
    std::uint64_t stream_offset(Clock::time_point now);

    [[nodiscard]] unsigned char latency_ms() const noexcept { return latency; }
    [[nodiscard]] unsigned char bit_mode() const noexcept { return mode; }
    [[nodiscard]] unsigned char bit_mask() const noexcept { return mask; }
    [[nodiscard]] std::uint64_t fifo_size() const noexcept { return fifo_capacity; }
    [[nodiscard]] std::size_t pending() const noexcept { return transfers.size(); }
    [[nodiscard]] const Counters &counters() const noexcept { return count; }
    void clear_counters() noexcept { count = {}; }

private:
    struct Segment {
        std::uint64_t begin;
        std::uint64_t end;
    };

    [[nodiscard]] bool producing() const noexcept { return mode == sync_fifo_mode && !paused; }
    [[nodiscard]] Clock::duration latency_wait() const;
    // Stream offset the board has reached by time t (rate-limited boards only).
    [[nodiscard]] std::uint64_t produced_by(Clock::time_point t) const;
    // The time at which the board writes the byte before `offset` (rate-limited boards only).
    [[nodiscard]] Clock::time_point time_of(std::uint64_t offset) const;
    // Lets the board write into the FIFO what it produced up to `now`; what finds the FIFO full is lost.
    void fill_fifo(Clock::time_point now);
    // Settles, then restarts the production clock, before anything that changes the production rate.
    void rebase(Clock::time_point now);
    void accept(std::uint64_t bytes);
    void purge_rx(Clock::time_point now);

    // Packet bookkeeping of the transfer at the head of the queue.
    void open_packet(PendingIn &transfer, Clock::time_point at);
    [[nodiscard]] std::size_t packet_room(const PendingIn &transfer) const;
    // Sends the open packet; a short one (or a transfer with no room left) completes the transfer.
    void close_packet(PendingIn &transfer);
    void complete_head(int result);
    std::size_t take_from_fifo(unsigned char *out, std::size_t capacity);

    BoardStream board;
    double rate = 0; // bytes per second, 0 = as fast as the chip drains
    double latency_scale = 1.0;
    std::uint64_t fifo_capacity = default_fifo_size;
    std::optional<std::uint64_t> limit;
    bool paused = false;
    int packet = high_speed_packet_size;
    unsigned char mode = 0;
    unsigned char mask = 0;
    unsigned char latency = power_up_latency_ms;

    std::deque<Segment> fifo; // stream offsets the FIFO holds, oldest first; gaps are bytes lost to overflow
    std::uint64_t fifo_bytes = 0;
    std::uint64_t board_offset = 0; // next stream offset the board writes
    std::uint64_t board_base = 0;   // board_offset when the production clock last restarted
    Clock::time_point since;        // when the production clock last restarted
    Clock::time_point settled;      // everything before this time has been worked out
    std::deque<PendingIn *> transfers;
    // The host streams from queueing a transfer until it takes back the last one it had queued (cancels it)
    // or purges with none queued: what overflows meanwhile is what a host that falls behind loses.
    bool streaming = false;
    Counters count;
};

} // namespace pcb_roq_sim
