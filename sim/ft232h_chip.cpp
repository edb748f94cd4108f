#include "ft232h_chip.hpp"

#include <algorithm>
#include <cmath>

#include <libusb.h>

namespace pcb_roq_sim {

namespace {

// Vendor requests addressed to the device: 0x40 carries data to the chip, 0xC0 fetches data from it.
constexpr std::uint8_t vendor_out = 0x40;
constexpr std::uint8_t vendor_in = 0xC0;

enum Request : std::uint8_t {
    reset_request = 0x00,
    modem_status_request = 0x05,
    baud_rate_request = 0x03,
    set_latency_request = 0x09,
    get_latency_request = 0x0A,
    bit_mode_request = 0x0B,
    read_pins_request = 0x0C,
    read_eeprom_request = 0x90,
};

enum ResetValue : std::uint16_t { value_reset_sio = 0, value_purge_tx = 1, value_purge_rx = 2 };

int answer(unsigned char *data, std::uint16_t length, std::initializer_list<unsigned char> bytes) {
    const std::size_t n = std::min<std::size_t>(length, bytes.size());
    std::copy_n(bytes.begin(), n, data);
    return static_cast<int>(n);
}

} // namespace

void Ft232hChip::power_up(Clock::time_point now) {
    mode = 0;
    mask = 0;
    latency = power_up_latency_ms;
    restart_stream(now);
}

void Ft232hChip::restart_stream(Clock::time_point now) {
    fifo.clear();
    fifo_bytes = 0;
    board_offset = 0;
    board_base = 0;
    since = now;
}

void Ft232hChip::rebase(Clock::time_point now) {
    settle(now);
    board_base = board_offset;
    since = now;
}

void Ft232hChip::set_rate(double bytes_per_second, Clock::time_point now) {
    rebase(now);
    rate = bytes_per_second;
}

void Ft232hChip::set_fifo_size(std::uint64_t bytes, Clock::time_point now) {
    rebase(now);
    fifo_capacity = bytes;
    // A FIFO that shrinks below its content loses the newest bytes, as if they had never fitted.
    while (fifo_bytes > fifo_capacity) {
        Segment &last = fifo.back();
        const std::uint64_t cut = std::min(fifo_bytes - fifo_capacity, last.end - last.begin);
        last.end -= cut;
        fifo_bytes -= cut;
        count.bytes_lost += static_cast<std::int64_t>(cut);
        if (last.begin == last.end) {
            fifo.pop_back();
        }
    }
}

void Ft232hChip::set_paused(bool pause, Clock::time_point now) {
    rebase(now);
    paused = pause;
}

void Ft232hChip::accept(std::uint64_t bytes) {
    if (bytes == 0) {
        return;
    }
    if (!fifo.empty() && fifo.back().end == board_offset) {
        fifo.back().end += bytes;
    } else {
        fifo.push_back({board_offset, board_offset + bytes});
    }
    fifo_bytes += bytes;
}

void Ft232hChip::settle(Clock::time_point now) {
    if (!producing()) {
        return;
    }
    const std::uint64_t end = board.end();
    const std::uint64_t room = fifo_capacity - fifo_bytes;
    if (rate <= 0) {
        // Unlimited: the board keeps the FIFO full, waiting for room rather than losing bytes.
        const std::uint64_t n = std::min(room, end - board_offset);
        accept(n);
        board_offset += n;
        return;
    }
    const double elapsed = std::chrono::duration<double>(now - since).count();
    const double produced = std::floor(rate * std::max(0.0, elapsed));
    std::uint64_t target = end;
    if (produced < static_cast<double>(end - board_base)) {
        target = board_base + static_cast<std::uint64_t>(produced);
    }
    if (target <= board_offset) {
        return;
    }
    // Between two looks the FIFO only fills, so the first bytes written take the room and the rest are lost.
    const std::uint64_t written = target - board_offset;
    const std::uint64_t kept = std::min(written, room);
    accept(kept);
    count.bytes_lost += static_cast<std::int64_t>(written - kept);
    board_offset = target;
}

std::uint64_t Ft232hChip::held(Clock::time_point now) {
    settle(now);
    return fifo_bytes;
}

Ft232hChip::Clock::time_point Ft232hChip::when_held(std::uint64_t wanted, Clock::time_point now) {
    settle(now);
    if (fifo_bytes >= wanted) {
        return now;
    }
    if (!producing() || rate <= 0 || wanted > fifo_capacity) {
        // Unlimited production already filled what it could; what is missing will never come by waiting.
        return Clock::time_point::max();
    }
    const std::uint64_t target = board_offset + (wanted - fifo_bytes);
    if (target > board.end()) {
        return Clock::time_point::max();
    }
    // Rounded up, plus a microsecond, so that waking at this time finds the bytes there.
    const double seconds = static_cast<double>(target - board_base) / rate;
    const auto offset = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)) +
                        std::chrono::microseconds(1);
    return since + offset;
}

BoardStream::Fill Ft232hChip::deliver(Clock::time_point now, unsigned char *out, std::size_t capacity) {
    settle(now);
    BoardStream::Fill total;
    while (!fifo.empty() && total.written < capacity) {
        Segment &front = fifo.front();
        const BoardStream::Fill part =
            board.fill(front.begin, front.end - front.begin, out + total.written, capacity - total.written);
        front.begin += part.consumed;
        fifo_bytes -= part.consumed;
        total.consumed += part.consumed;
        total.written += part.written;
        total.dropped += part.dropped;
        if (front.begin == front.end) {
            fifo.pop_front();
        } else if (part.consumed == 0) {
            break;
        }
    }
    count.bytes_dropped += static_cast<std::int64_t>(total.dropped);
    return total;
}

std::uint64_t Ft232hChip::stream_offset(Clock::time_point now) {
    settle(now);
    return fifo.empty() ? board_offset : fifo.front().begin;
}

void Ft232hChip::purge_rx(Clock::time_point now) {
    settle(now);
    count.bytes_lost += static_cast<std::int64_t>(fifo_bytes);
    fifo.clear();
    fifo_bytes = 0;
}

int Ft232hChip::vendor_request(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                               unsigned char *data, std::uint16_t length, Clock::time_point now) {
    ++count.control_requests;
    if (request_type == vendor_out) {
        switch (request) {
        case reset_request:
            if (value == value_reset_sio) {
                ++count.resets;
                purge_rx(now);
            } else if (value == value_purge_rx) {
                ++count.purges_rx;
                purge_rx(now);
            } else if (value == value_purge_tx) {
                ++count.purges_tx; // nothing is ever sent to the board, so its transmit FIFO is always empty
            }
            break;
        case baud_rate_request:
            ++count.baud_rate_requests;
            break;
        case set_latency_request:
            latency = static_cast<unsigned char>(value & 0xFF);
            break;
        case bit_mode_request:
            rebase(now);
            mode = static_cast<unsigned char>(value >> 8);
            mask = static_cast<unsigned char>(value & 0xFF);
            break;
        default:
            break; // line properties, flow control, modem lines: accepted, nothing to simulate
        }
        return length;
    }
    if (request_type == vendor_in && data != nullptr) {
        switch (request) {
        case get_latency_request:
            return answer(data, length, {latency});
        case modem_status_request:
            return answer(data, length, {modem_status[0], modem_status[1]});
        case read_pins_request:
            return answer(data, length, {0xFF});
        case read_eeprom_request:
            return answer(data, length, {0xFF, 0xFF}); // a blank EEPROM
        default:
            break;
        }
    }
    // The chip stalls requests it does not know.
    return LIBUSB_ERROR_PIPE;
}

} // namespace pcb_roq_sim
