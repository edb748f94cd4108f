#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "device_config.hpp"

namespace pcb_roq_sim {

// The descriptors an FT232H reports, as bytes on the wire: what the kernel shows in sysfs' `descriptors`
// (device descriptor, then the configuration with its interface and two bulk endpoints) and what the device
// answers to GET_DESCRIPTOR.
std::vector<unsigned char> device_descriptor(const DeviceConfig &config);
std::vector<unsigned char> configuration_descriptor(const DeviceConfig &config);
// String descriptor `index` (0: the language list); nothing when the device has no such string (it stalls).
std::optional<std::vector<unsigned char>> string_descriptor(const DeviceConfig &config, std::uint8_t index);

} // namespace pcb_roq_sim
