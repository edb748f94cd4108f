#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

// A device whose stream is a loop of prepared frames in memory: every read is satisfied at once, so the
// decoder runs as fast as it can and nothing else is measured. Frames carry their index in words 0 and 1.
class MemoryDevice {
public:
    static constexpr std::size_t frame_bytes = 12;

    explicit MemoryDevice(std::size_t frames) : stream(std::make_shared<std::vector<unsigned char>>(frames * frame_bytes)) {
        unsigned char *p = stream->data();
        for (std::size_t i = 0; i < frames; ++i, p += frame_bytes) {
            const auto index = static_cast<std::uint32_t>(i);
            const unsigned char frame[frame_bytes] = {0xF0, 0x0F,
                                                      static_cast<unsigned char>(index), static_cast<unsigned char>(index >> 8),
                                                      static_cast<unsigned char>(index >> 16), static_cast<unsigned char>(index >> 24),
                                                      0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
            std::memcpy(p, frame, frame_bytes);
        }
    }

    // Acquisition thread only (the decoder serialises device calls).
    int read(unsigned char *buffer, int size) const {
        const std::size_t total = stream->size();
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(size)) {
            const std::size_t n = std::min(static_cast<std::size_t>(size) - done, total - position);
            std::memcpy(buffer + done, stream->data() + position, n);
            done += n;
            position = (position + n) % total;
        }
        return size;
    }

    int flush_buffers() const { return 0; }

private:
    std::shared_ptr<std::vector<unsigned char>> stream;
    mutable std::size_t position = 0;
};
