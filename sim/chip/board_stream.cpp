#include "board_stream.hpp"

#include <algorithm>
#include <cstring>

#include "frame_pattern.hpp"

namespace pcb_roq_sim {

void BoardStream::use_pattern(std::uint32_t first) {
    raw = false;
    repeat = false;
    first_frame = first;
    raw_bytes.clear();
}

void BoardStream::use_raw(std::vector<unsigned char> bytes, bool repeat_bytes) {
    raw = true;
    // An empty stream cannot repeat: it simply never has data.
    repeat = repeat_bytes && !bytes.empty();
    raw_bytes = std::move(bytes);
}

void BoardStream::clear_faults() {
    drops.clear();
    corrupt.clear();
}

std::uint64_t BoardStream::end() const noexcept {
    if (raw && !repeat) {
        return raw_bytes.size();
    }
    return endless;
}

void BoardStream::copy_source(std::uint64_t offset, unsigned char *out, std::size_t count) const {
    if (raw) {
        const std::size_t size = raw_bytes.size();
        while (count > 0) {
            const std::size_t at = static_cast<std::size_t>(offset % size);
            const std::size_t n = std::min(count, size - at);
            std::memcpy(out, raw_bytes.data() + at, n);
            out += n;
            offset += n;
            count -= n;
        }
        return;
    }
    while (count > 0) {
        const std::uint64_t frame = offset / frame_size;
        const std::size_t at = static_cast<std::size_t>(offset % frame_size);
        const auto number = static_cast<std::uint32_t>(first_frame + frame);
        unsigned char bytes[frame_size];
        pattern_frame(number, bytes);
        if (!corrupt.empty() && corrupt.contains(number)) {
            bytes[0] = 0xA5;
            bytes[1] = 0x5A;
        }
        const std::size_t n = std::min(count, frame_size - at);
        std::memcpy(out, bytes + at, n);
        out += n;
        offset += n;
        count -= n;
    }
}

BoardStream::Fill BoardStream::fill(std::uint64_t offset, std::uint64_t available, unsigned char *out,
                                    std::size_t capacity) const {
    Fill result;
    const std::uint64_t last = end();
    const std::uint64_t stop = offset >= last ? offset : offset + std::min(available, last - offset);
    std::uint64_t at = offset;
    while (at < stop && result.written < capacity) {
        auto next_drop = drops.lower_bound(at);
        const std::uint64_t run_end = next_drop == drops.end() ? stop : std::min(stop, *next_drop);
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(run_end - at, capacity - result.written));
        copy_source(at, out + result.written, n);
        result.written += n;
        at += n;
        // A dropped byte leaves the FIFO without ever reaching the host.
        if (at < stop && drops.contains(at)) {
            ++at;
            ++result.dropped;
        }
    }
    result.consumed = at - offset;
    return result;
}

} // namespace pcb_roq_sim
