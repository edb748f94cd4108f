#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A fuzz input read as the life of one acquisition: the block size, then one step per device read.
//
//   byte 0            samples_count S = 2 + byte % 31, so a full read is 24 to 384 bytes
//   each step         header byte h, then what its kind needs:
//     h & 3 == 0      the read returns the bytes that follow, as many as it asked for (fewer at the end)
//     h & 3 == 1      one length byte L, then min(L, asked) bytes
//     h & 3 == 2      one byte e: the read fails with the libftdi code -1 - e
//     h & 3 == 3      one byte g: the read returns the board's own frame stream, from where the previous
//                     generated read ended, after skipping g & 15 bytes; g & 0x70 shortens it to
//                     (g >> 4 & 7) eighths of the size asked for (0 = the whole size)
//     h >> 2 & 3      the consumer, after the read: 0 takes nothing, 1 one block, 2 every block, 3 two blocks
//     h & 0x10        taken blocks are held instead of given back at once
//     h & 0x20        every held block is given back first
//     h & 0x40        `running` is cleared as the read returns (a stop from another thread)
//     h & 0x80        the consumer does not give blocks back to keep the decoder going; once fewer than two are
//                     free, another thread clears `running` a moment later, while the decoder waits for a block
//                     (Python holding the whole pool, then stopping)
//
// When the steps run out every further read returns 0 bytes and clears `running`, so run() must end.
namespace fuzz {

enum class read_kind { bytes, short_bytes, error, generated };

struct read_step {
    read_kind kind = read_kind::bytes;
    unsigned consume = 0; // 0 none, 1 one, 2 all, 3 two
    bool hold = false;
    bool release_held = false;
    bool stop = false;
    bool starve = false;
    std::uint8_t argument = 0;
};

class input_cursor {
public:
    input_cursor(const std::uint8_t *data, std::size_t size) : data(data), size(size) {}

    bool empty() const noexcept { return position >= size; }
    std::uint8_t byte() noexcept { return empty() ? 0 : data[position++]; }
    // Up to `count` bytes, fewer at the end of the input.
    std::size_t take(std::uint8_t *out, std::size_t count) noexcept {
        const std::size_t n = std::min(count, size - std::min(position, size));
        if (n > 0) {
            std::memcpy(out, data + position, n);
        }
        position += n;
        return n;
    }

private:
    const std::uint8_t *data;
    std::size_t size;
    std::size_t position = 0;
};

inline read_step next_step(input_cursor &input) {
    const std::uint8_t h = input.byte();
    read_step step;
    step.kind = static_cast<read_kind>(h & 3);
    step.consume = (h >> 2) & 3;
    step.hold = (h & 0x10) != 0;
    step.release_held = (h & 0x20) != 0;
    step.stop = (h & 0x40) != 0;
    step.starve = (h & 0x80) != 0;
    if (step.kind != read_kind::bytes) {
        step.argument = input.byte();
    }
    return step;
}

// Byte `offset` of the board's frame stream: frame i is 0xF0 0x0F and five words derived from i.
inline std::uint8_t stream_byte(std::uint64_t offset) noexcept {
    const std::uint64_t frame = offset / 12;
    const unsigned within = static_cast<unsigned>(offset % 12);
    if (within == 0) {
        return 0xF0;
    }
    if (within == 1) {
        return 0x0F;
    }
    const std::uint64_t word = frame * 5 + (within - 2) / 2;
    const std::uint16_t value = static_cast<std::uint16_t>(word * 0x9E37 + 0x1234);
    return static_cast<std::uint8_t>(within % 2 == 0 ? value & 0xFF : value >> 8);
}

// The fuzzer's verdict: a broken invariant aborts, which libFuzzer records as a crash with this input.
[[noreturn]] inline void broken(const char *what) {
    std::fprintf(stderr, "decoder invariant broken: %s\n", what);
    std::abort();
}

} // namespace fuzz
