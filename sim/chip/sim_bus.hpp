#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "pcb_roq_sim.h"
#include "sim_device.hpp"

namespace pcb_roq_sim {

// What the control API (pcb_roq_sim.h) needs of a front end: the simulated bus with its devices, whichever way
// the host reaches them (the libusb stand-in, or usbfs emulated under the real libusb). Every method may be
// called from any thread; failures return -1 and leave the reason in `error`.
class SimBus {
public:
    using Clock = SimDevice::Clock;

    virtual ~SimBus() = default;

    virtual int configure(const char *spec, std::string &error) = 0;
    virtual int reset(std::string &error) = 0;
    virtual int add_device(const char *spec, std::string &error) = 0;
    virtual int device_count() = 0;
    virtual int find(const char *serial) = 0;
    virtual int set_latency_scale(double scale, std::string &error) = 0;
    virtual double latency_scale() = 0;
    virtual int fail_init(int count, std::string &error) = 0;
    // Runs `change` on device `index` under the bus's lock and wakes every waiter; -1 for a bad index.
    virtual int with_device(int index, std::string &error,
                            const std::function<int(SimDevice &, Clock::time_point)> &change) = 0;
    virtual void get_stats(pcb_roq_sim_stats &out) = 0;
    // Under the lock (inside with_device): the device leaves the bus now / comes back as after a power cycle.
    virtual void unplug(SimDevice &device) = 0;
    virtual void replug(SimDevice &device, Clock::time_point now) = 0;

    // "libusb" or "usbfs".
    virtual const char *front_end() const = 0;
    // Whether the faults that only exist below libusb (STALL, discard races, URB memory) can be played.
    virtual bool plays_usbfs_faults() const = 0;
    virtual int set_urb_memory_limit(std::uint64_t bytes, std::string &error) = 0;
};

// The bus of the front end linked into this library.
SimBus &sim_bus();

} // namespace pcb_roq_sim
