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

Ft232hChip::Ft232hChip(Clock::time_point now) : since(now), settled(now) { power_up(now); }

void Ft232hChip::power_up(Clock::time_point now) {
    mode = 0;
    mask = 0;
    latency = power_up_latency_ms;
    restart_stream(now);
}

void Ft232hChip::restart_stream(Clock::time_point now) {
    advance(now);
    fifo.clear();
    fifo_bytes = 0;
    board_offset = 0;
    board_base = 0;
    since = settled;
}

void Ft232hChip::rebase(Clock::time_point now) {
    advance(now);
    board_base = board_offset;
    since = settled;
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

void Ft232hChip::set_latency_scale(double scale, Clock::time_point now) {
    advance(now);
    latency_scale = scale;
}

void Ft232hChip::set_delivery_limit(std::optional<std::uint64_t> bytes, Clock::time_point now) {
    advance(now);
    limit = bytes;
}

Ft232hChip::Clock::duration Ft232hChip::latency_wait() const {
    // The chip treats a latency of 0 like 1 ms; the floor keeps absurd scales from turning waits into spins.
    const double milliseconds = std::max<double>(1, latency) * latency_scale;
    const auto wait = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(milliseconds));
    return std::max<Clock::duration>(wait, std::chrono::microseconds(50));
}

std::uint64_t Ft232hChip::produced_by(Clock::time_point t) const {
    const std::uint64_t end = board.end();
    if (t <= since) {
        return std::min(board_base, end);
    }
    const double produced = std::floor(rate * std::chrono::duration<double>(t - since).count());
    if (produced >= static_cast<double>(end - board_base)) {
        return end;
    }
    return board_base + static_cast<std::uint64_t>(produced);
}

Ft232hChip::Clock::time_point Ft232hChip::time_of(std::uint64_t offset) const {
    if (offset <= board_base) {
        return since;
    }
    const double seconds = static_cast<double>(offset - board_base) / rate;
    auto t = since + std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(seconds));
    // Rounding may leave the last byte a tick short.
    while (produced_by(t) < offset) {
        t += Clock::duration(1);
    }
    return t;
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

void Ft232hChip::fill_fifo(Clock::time_point now) {
    if (!producing()) {
        return;
    }
    const std::uint64_t room = fifo_bytes < fifo_capacity ? fifo_capacity - fifo_bytes : 0;
    if (rate <= 0) {
        // Unlimited: the board keeps the FIFO full, waiting for room rather than losing bytes.
        const std::uint64_t n = std::min(room, board.end() - board_offset);
        accept(n);
        board_offset += n;
        return;
    }
    const std::uint64_t target = produced_by(now);
    if (target <= board_offset) {
        return;
    }
    // Between two looks the FIFO only fills, so the first bytes written take the room and the rest are lost.
    const std::uint64_t written = target - board_offset;
    const std::uint64_t kept = std::min(written, room);
    accept(kept);
    count.bytes_lost += static_cast<std::int64_t>(written - kept);
    if (streaming) {
        count.bytes_lost_streaming += static_cast<std::int64_t>(written - kept);
    }
    board_offset = target;
}

namespace {

// Stream bytes that `bytes` of a transfer can carry, two status bytes at the start of every packet.
std::size_t data_capacity(int bytes, int packet_size) {
    const int full = bytes / packet_size;
    const int rest = bytes % packet_size;
    return static_cast<std::size_t>(full * (packet_size - Ft232hChip::status_size) +
                                    (rest > Ft232hChip::status_size ? rest - Ft232hChip::status_size : 0));
}

} // namespace

void Ft232hChip::open_packet(PendingIn &transfer, Clock::time_point at) {
    transfer.data[transfer.transferred] = modem_status[0];
    transfer.data[transfer.transferred + 1] = modem_status[1];
    transfer.packet_data = 0;
    transfer.packet_start = at;
}

std::size_t Ft232hChip::packet_room(const PendingIn &transfer) const {
    const int capacity = std::min(packet - status_size, transfer.length - transfer.transferred - status_size);
    std::size_t room = static_cast<std::size_t>(capacity - transfer.packet_data);
    if (limit) {
        room = static_cast<std::size_t>(std::min<std::uint64_t>(room, *limit));
    }
    return room;
}

void Ft232hChip::close_packet(PendingIn &transfer) {
    const int sent = status_size + transfer.packet_data;
    transfer.transferred += sent;
    if (transfer.packet_data == 0) {
        ++count.status_only_packets;
    }
    transfer.packet_data = -1;
    if (sent < packet || transfer.length - transfer.transferred <= status_size) {
        complete_head(LIBUSB_SUCCESS);
    }
}

void Ft232hChip::complete_head(int result) {
    PendingIn &head = *transfers.front();
    transfers.pop_front();
    head.queued = false;
    head.done = true;
    head.result = result;
    if (result == LIBUSB_SUCCESS && head.short_not_ok && head.transferred < head.length) {
        head.ended_short = true;
        while (!transfers.empty() && transfers.front()->continuation) {
            PendingIn &rest = *transfers.front();
            transfers.pop_front();
            rest.queued = false;
            rest.done = true;
            rest.unlinked = true;
        }
    }
}

std::size_t Ft232hChip::take_from_fifo(unsigned char *out, std::size_t capacity) {
    std::size_t written = 0;
    while (!fifo.empty() && written < capacity) {
        Segment &front = fifo.front();
        const BoardStream::Fill part = board.fill(front.begin, front.end - front.begin, out + written, capacity - written);
        front.begin += part.consumed;
        fifo_bytes -= part.consumed;
        written += part.written;
        count.bytes_dropped += static_cast<std::int64_t>(part.dropped);
        if (front.begin == front.end) {
            fifo.pop_front();
        } else if (part.consumed == 0) {
            break;
        }
    }
    return written;
}

void Ft232hChip::advance(Clock::time_point now) {
    now = std::max(now, settled);
    while (!transfers.empty()) {
        PendingIn &head = *transfers.front();
        if (delivery_limit_reached()) {
            // The last byte the device will ever send is on the wire: the transfer carrying it ends there.
            if (head.packet_data > 0) {
                close_packet(head);
            }
            if (head.queued && head.transferred > 0) {
                complete_head(LIBUSB_SUCCESS);
            }
            break;
        }
        if (head.packet_data < 0) {
            open_packet(head, settled);
        }
        std::size_t room = packet_room(head);
        auto packet_end = [&] { return head.data + head.transferred + status_size + head.packet_data; };
        auto took = [&](std::size_t written) {
            head.packet_data += static_cast<int>(written);
            count.bytes_delivered += static_cast<std::int64_t>(written);
            room -= written;
            if (limit) {
                *limit -= written;
            }
        };
        // What the FIFO holds crosses the bus at once.
        if (room > 0 && fifo_bytes > 0) {
            took(take_from_fifo(packet_end(), room));
        }
        if (room == 0) {
            close_packet(head);
            continue;
        }
        // Then the board's bytes go straight into the packet until it is full or the latency timer runs out.
        const Clock::time_point deadline = head.packet_start + latency_wait();
        const Clock::time_point until = std::min(now, deadline);
        if (producing()) {
            const std::uint64_t target = rate <= 0 ? board.end() : produced_by(until);
            if (target > board_offset) {
                const BoardStream::Fill part = board.fill(board_offset, target - board_offset, packet_end(), room);
                board_offset += part.consumed;
                count.bytes_dropped += static_cast<std::int64_t>(part.dropped);
                took(part.written);
                if (room == 0) {
                    if (rate > 0) {
                        settled = std::max(settled, time_of(board_offset));
                    }
                    close_packet(head);
                    continue;
                }
            }
        }
        if (deadline > now) {
            settled = now;
            return;
        }
        settled = std::max(settled, deadline);
        close_packet(head); // short: the latency timer ran out
    }
    fill_fifo(now);
    settled = now;
}

void Ft232hChip::queue(PendingIn &transfer, Clock::time_point now) {
    advance(now);
    transfer.transferred = 0;
    transfer.packet_data = -1;
    transfer.result = LIBUSB_SUCCESS;
    if (transfer.length <= status_size) {
        transfer.queued = false;
        transfer.done = true;
        return;
    }
    transfer.done = false;
    transfer.queued = true;
    transfers.push_back(&transfer);
    streaming = true;
    advance(now);
}

void Ft232hChip::withdraw(PendingIn &transfer, Clock::time_point now) {
    if (!transfer.queued) {
        return;
    }
    advance(now);
    if (!transfer.queued) {
        return;
    }
    if (transfer.packet_data > 0) {
        transfer.transferred += status_size + transfer.packet_data;
    }
    transfer.packet_data = -1;
    transfer.queued = false;
    transfer.done = true;
    std::erase(transfers, &transfer);
    streaming = !transfers.empty();
}

void Ft232hChip::abort_all(int result, Clock::time_point now) {
    advance(now);
    while (!transfers.empty()) {
        PendingIn &head = *transfers.front();
        if (head.packet_data > 0) {
            head.transferred += status_size + head.packet_data;
        }
        head.packet_data = -1;
        complete_head(result);
    }
    streaming = false;
}

Ft232hChip::Clock::time_point Ft232hChip::next_completion(Clock::time_point now) {
    advance(now);
    if (transfers.empty()) {
        return Clock::time_point::max();
    }
    const PendingIn &head = *transfers.front();
    const Clock::time_point deadline = head.packet_start + latency_wait();
    if (!producing() || rate <= 0) {
        return deadline;
    }
    std::uint64_t remaining =
        data_capacity(head.length - head.transferred, packet) - static_cast<std::size_t>(std::max(0, head.packet_data));
    if (limit) {
        remaining = std::min(remaining, *limit);
    }
    if (board.end() - board_offset < remaining) {
        return deadline;
    }
    return std::min(deadline, time_of(board_offset + remaining));
}

std::uint64_t Ft232hChip::held(Clock::time_point now) {
    advance(now);
    return fifo_bytes;
}

std::uint64_t Ft232hChip::stream_offset(Clock::time_point now) {
    advance(now);
    return fifo.empty() ? board_offset : fifo.front().begin;
}

void Ft232hChip::purge_rx(Clock::time_point now) {
    advance(now);
    count.bytes_lost += static_cast<std::int64_t>(fifo_bytes);
    streaming &= !transfers.empty();
    fifo.clear();
    fifo_bytes = 0;
}

int Ft232hChip::vendor_request(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                               unsigned char *data, std::uint16_t length, Clock::time_point now) {
    advance(now);
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
