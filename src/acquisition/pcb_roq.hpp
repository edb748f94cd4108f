#pragma once

#include <climits>
#include <cstddef>
#include <mutex>
#include <string>

#include "acquisition/simple_decoder.hpp"
#include "ftdi/ftdi_device.hpp"

// One open connection to a PCB_ROQ board: its FTDI device, its acquisition thread and its pool of 64 blocks.
// Control operations (start, stop, flush, read_raw, destruction) are serialised with each other, so any number
// of threads may call them. Neither copied nor moved: the decoder's blocks point back into its channels.
class PCB_ROQ {
public:
    using device_type = PcbRoqDevice;
    using decoder_type = simple_decoder<4, device_type>;

    static constexpr std::size_t pool_size = 64;
    static constexpr unsigned long min_samples_count = 2;
    // One full read asks libftdi for 12 bytes per row through an int.
    static constexpr unsigned long max_samples_count = INT_MAX / decoder_type::frame_bytes;

    // Any thread. Throws std::invalid_argument for a samples_count outside [2, max_samples_count] before touching
    // USB, std::runtime_error when libftdi has no context, std::bad_alloc or std::length_error for the pool; nothing
    // remains after a throw. A board that is absent or fails to open is still built, with opened() false.
    // `latency` is accepted for compatibility: the chip's latency timer is always 255 ms.
    PCB_ROQ(const std::string &serial_number, unsigned long samples_count, unsigned char latency);
    // Any thread but the acquisition thread. Stops and joins a running acquisition before anything is freed.
    ~PCB_ROQ();
    PCB_ROQ(const PCB_ROQ &) = delete;
    PCB_ROQ &operator=(const PCB_ROQ &) = delete;

    // Any thread. Launches the acquisition thread unless it already runs; std::system_error leaves the board idle.
    void start();
    // Any thread. Returns once the acquisition thread has delivered its last block and ended; never throws.
    void stop();
    // Any thread, also while acquiring. Discards what the chip and libftdi hold unread; libftdi's result is dropped.
    void flush() const;
    [[nodiscard]] bool opened() const noexcept;
    [[nodiscard]] const std::string &serial_number() const noexcept;
    // Any thread. One device read of `size` bytes, past the decoder; a set `running` is taken to mean acquiring:
    // the thread is stopped around the read and started again afterwards. Returns the bytes read or libftdi's
    // negative code. The null-context error leaves acquisition stopped.
    int read_raw(unsigned char *buffer, int size);

    decoder_type decoder;

private:
    static device_type open_checked(const std::string &serial_number, unsigned long samples_count);
    void start_locked();
    void stop_locked() noexcept;

    mutable std::mutex control_mutex;
};
