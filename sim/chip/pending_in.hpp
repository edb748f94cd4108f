#pragma once

#include <chrono>

#include <libusb.h>

namespace pcb_roq_sim {

// A bulk IN transfer the host has handed to the chip: its buffer, how far the chip has written its packets
// into it, and how it ended. Owned by whoever submitted it (a synchronous caller's stack, or the simulator's
// record of an asynchronous transfer); the chip only points at it while it is queued.
struct PendingIn {
    using Clock = std::chrono::steady_clock;

    PendingIn(unsigned char *buffer, int size) : data(buffer), length(size) {}

    unsigned char *data;
    int length;
    int transferred = 0;  // bytes of the packets sent so far, status bytes included
    int packet_data = -1; // stream bytes in the packet being filled; -1 while no packet is open
    Clock::time_point packet_start{};
    bool queued = false;
    bool done = false;
    int result = LIBUSB_SUCCESS;
    // usbfs bulk continuation: a short transfer that must not be short ends the queue behind it up to the next
    // transfer that does not continue it (those are unlinked, empty), as the kernel does for a split transfer.
    bool short_not_ok = false;
    bool continuation = false;
    bool ended_short = false;
    bool unlinked = false;
};

} // namespace pcb_roq_sim
