#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <set>
#include <vector>

namespace pcb_roq_sim {

// The bytes the board writes into the chip, by stream offset: the frame pattern or given raw bytes, with
// the stream faults (dropped bytes, corrupted sync pairs) applied. Not thread-safe: the simulator's lock
// guards it.
class BoardStream {
public:
    static constexpr std::uint64_t endless = std::numeric_limits<std::uint64_t>::max();

    struct Fill {
        std::uint64_t consumed = 0; // stream bytes used up, dropped ones included
        std::size_t written = 0;    // bytes stored in the output
        std::uint64_t dropped = 0;
    };

    void use_pattern(std::uint32_t first_frame);
    void use_raw(std::vector<unsigned char> bytes, bool repeat);
    void drop_bytes(const std::vector<std::uint64_t> &offsets) { drops.insert(offsets.begin(), offsets.end()); }
    void corrupt_frames(const std::vector<std::uint64_t> &frames) { corrupt.insert(frames.begin(), frames.end()); }
    void clear_faults();

    // Offset one past the last byte the board will ever write.
    [[nodiscard]] std::uint64_t end() const noexcept;

    // Stores the bytes of offsets [offset, offset + available) into `out`, skipping dropped ones, until
    // `capacity` bytes are stored.
    Fill fill(std::uint64_t offset, std::uint64_t available, unsigned char *out, std::size_t capacity) const;

private:
    void copy_source(std::uint64_t offset, unsigned char *out, std::size_t count) const;

    bool raw = false;
    bool repeat = false;
    std::uint32_t first_frame = 0;
    std::vector<unsigned char> raw_bytes;
    std::set<std::uint64_t> drops;
    std::set<std::uint64_t> corrupt; // frame numbers as the frames carry them
};

} // namespace pcb_roq_sim
