#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "acquisition/pcb_roq.hpp"
#include "python/atomic_timeout.hpp"

// The board as Python owns it: the board itself plus how long one read of `samples` may wait for a block.
class py_PCB_ROQ : public PCB_ROQ {
public:
    using PCB_ROQ::PCB_ROQ;

    // Any thread. Empty until the first assignment, which means waiting without bound.
    std::optional<std::chrono::nanoseconds> timeout() { return timeout_.load(); }

    // Any thread, also while another thread reads the timeout; cannot fail.
    void set_timeout(std::chrono::nanoseconds value) { timeout_.store(value); }

private:
    // Written and read by Python threads that may run in parallel, so never as two separate words.
    atomic_timeout timeout_;
};

// The Python constructor; Python's holder adopts the pointer. Throws what the board's constructor throws.
inline py_PCB_ROQ *make_py_PCB_ROQ(const std::string &serial_number, unsigned long samples_count,
                                   unsigned char latency) {
    return new py_PCB_ROQ(serial_number, samples_count, latency);
}

// The serial number goes in byte for byte; Python decodes the result as UTF-8.
inline std::string py_PCB_ROQ_repr(const py_PCB_ROQ &board) {
    return fmt::format("PCB_ROQ(serial_number='{}')", board.serial_number());
}
