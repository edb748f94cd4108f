#pragma once

#include <cstdint>
#include <optional>

#include <libusb.h>

#include "device_config.hpp"
#include "ft232h_chip.hpp"

namespace pcb_roq_sim {

// One simulated device on the bus: its configuration, its chip, its fault switches and what the host did to
// it. Shared by the simulator's device list and every libusb object that refers to it, so an object that
// outlives a reconfiguration still finds it (unplugged). Guarded by the simulator's lock.
struct SimDevice {
    using Clock = Ft232hChip::Clock;

    SimDevice(DeviceConfig cfg, std::uint8_t bus_address, Clock::time_point now)
        : config(std::move(cfg)), chip(now), address(bus_address) {
        apply_stream_config(now);
    }

    void apply_stream_config(Clock::time_point now) {
        if (config.raw) {
            chip.stream().use_raw(config.raw_bytes, config.repeat);
        } else {
            chip.stream().use_pattern(config.first_frame);
        }
        chip.restart_stream(now);
        chip.set_rate(config.rate, now);
        chip.set_fifo_size(config.fifo_size, now);
        chip.set_paused(config.paused, now);
        chip.set_packet_size(config.packet_size);
    }

    DeviceConfig config;
    Ft232hChip chip;

    // Every unplug moves the generation on; handles and device objects of an older generation are dead.
    bool plugged = true;
    std::uint64_t generation = 0;
    std::uint8_t address;

    std::optional<Clock::time_point> unplug_at;
    std::uint64_t fail_read_countdown = 0;
    int fail_read_code = LIBUSB_ERROR_IO;
    // Faults only the usbfs front end plays: a STALL on the nth next bulk IN URB, after which the endpoint stays
    // halted until the host clears it, and discards that lose the race against a completion.
    std::uint64_t stall_countdown = 0;
    bool in_halted = false;
    bool race_discard = false;
    double discard_delay_ms = 0; // a discarded URB comes back (is reapable) only this much later

    int configuration = 1;
    const libusb_device_handle *claimed_by = nullptr;
    int last_claimed_interface = -1;

    std::int64_t opens = 0;
    std::int64_t closes = 0;
    std::int64_t open_refusals = 0;
    std::int64_t bulk_reads = 0;
    std::int64_t bulk_read_errors = 0;
    std::int64_t bytes_written = 0;
};

} // namespace pcb_roq_sim
