#pragma once

// The objects behind libusb's opaque handles. Each is created and destroyed by the simulator under its lock.

#include <cstdint>
#include <memory>

#include "sim_device.hpp"

struct libusb_context {
    bool is_default = false;
    int references = 1;
};

struct libusb_device {
    libusb_context *context;
    std::shared_ptr<pcb_roq_sim::SimDevice> sim;
    std::uint64_t generation;
    std::uint8_t address;
    int references = 1;
};

struct libusb_device_handle {
    libusb_device *device;
    std::shared_ptr<pcb_roq_sim::SimDevice> sim;
    std::uint64_t generation;
};
