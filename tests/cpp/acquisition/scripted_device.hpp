#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

// A device whose reads return scripted chunks or error codes, one step per read, and which records every call.
// When the script runs out it returns `after_script` and, if a flag was given, clears it so that run() ends.
struct device_call {
    enum kind_type { read, flush } kind;
    int size; // bytes asked for by a read; 0 for a flush
    bool operator==(const device_call &) const = default;
};

struct script_step {
    std::vector<unsigned char> bytes;
    int code = 0;         // used instead of the bytes when negative
    bool stop = false;    // clears the stop flag once the read has returned its bytes
    bool gap = false;     // the device reports a possible gap in what this read returns
};

struct device_script {
    std::mutex mutex;
    std::deque<script_step> steps;
    std::vector<device_call> calls;
    int after_script = 0;
    std::atomic<bool> *stop_flag = nullptr;
    std::uint64_t possible_gaps = 0;

    void add_bytes(std::vector<unsigned char> bytes, bool stop = false) {
        std::lock_guard lock(mutex);
        steps.push_back({std::move(bytes), 0, stop});
    }
    void add_after_possible_gap(std::vector<unsigned char> bytes) {
        std::lock_guard lock(mutex);
        steps.push_back({std::move(bytes), 0, false, true});
    }
    void add_code(int code) {
        std::lock_guard lock(mutex);
        steps.push_back({{}, code, false});
    }
    std::vector<device_call> recorded() {
        std::lock_guard lock(mutex);
        return calls;
    }
    std::size_t read_count() {
        std::lock_guard lock(mutex);
        std::size_t count = 0;
        for (const auto &call : calls) {
            count += call.kind == device_call::read ? 1 : 0;
        }
        return count;
    }
};

class scripted_device {
public:
    explicit scripted_device(std::shared_ptr<device_script> script) : script(std::move(script)) {}

    int read(unsigned char *buffer, int size) const {
        std::lock_guard lock(script->mutex);
        script->calls.push_back({device_call::read, size});
        if (script->steps.empty()) {
            if (script->stop_flag != nullptr) {
                script->stop_flag->store(false);
            }
            return script->after_script;
        }
        script_step step = std::move(script->steps.front());
        script->steps.pop_front();
        script->possible_gaps += step.gap ? 1 : 0;
        if (step.stop && script->stop_flag != nullptr) {
            script->stop_flag->store(false);
        }
        if (step.code < 0) {
            return step.code;
        }
        // A step longer than the read asked for would be a broken script, not a device behaviour.
        const int length = static_cast<int>(step.bytes.size()) < size ? static_cast<int>(step.bytes.size()) : size;
        if (length > 0) {
            std::memcpy(buffer, step.bytes.data(), static_cast<std::size_t>(length));
        }
        return length;
    }

    std::uint64_t possible_gaps() const {
        std::lock_guard lock(script->mutex);
        return script->possible_gaps;
    }

    int flush_buffers() const {
        std::lock_guard lock(script->mutex);
        script->calls.push_back({device_call::flush, 0});
        return 0;
    }

private:
    std::shared_ptr<device_script> script;
};

// Frame `index` of a test stream: the sync pair, then the 32-bit index low word first, then three words
// derived from it, so that every row tells which frame it came from.
inline std::vector<unsigned char> frame_bytes(std::uint32_t index, unsigned char first = 0xF0,
                                              unsigned char second = 0x0F) {
    const std::uint16_t words[5] = {static_cast<std::uint16_t>(index & 0xFFFF), static_cast<std::uint16_t>(index >> 16),
                                    static_cast<std::uint16_t>(index * 3 + 1), 0xBEEF,
                                    static_cast<std::uint16_t>(0x8000 | (index & 0x7FFF))};
    std::vector<unsigned char> bytes{first, second};
    for (std::uint16_t word : words) {
        bytes.push_back(static_cast<unsigned char>(word & 0xFF));
        bytes.push_back(static_cast<unsigned char>(word >> 8));
    }
    return bytes;
}

// Frames first .. first + count - 1, back to back.
inline std::vector<unsigned char> frames(std::uint32_t first, std::uint32_t count) {
    std::vector<unsigned char> bytes;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto frame = frame_bytes(first + i);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    return bytes;
}

// True when `row` holds exactly the payload of frame `index`.
inline bool row_is_frame(const unsigned short *row, std::uint32_t index) {
    const auto frame = frame_bytes(index);
    return std::memcmp(row, frame.data() + 2, 10) == 0;
}
