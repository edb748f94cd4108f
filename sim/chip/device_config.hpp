#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ft232h_chip.hpp"

namespace pcb_roq_sim {

// One simulated USB device as configured: identity, strings (absent ones have no descriptor) and stream.
struct DeviceConfig {
    std::uint16_t vendor_id = 0x0403;
    std::uint16_t product_id = 0x6014;
    std::uint16_t bcd_device = 0x0900;
    std::optional<std::string> manufacturer = "ZUM";
    std::optional<std::string> product = "PCB_ROQ";
    std::optional<std::string> serial;
    // The FT232H's synchronous FIFO runs at up to 40 MB/s; 0 lets the board write as fast as the chip drains.
    static constexpr double real_chip_rate = 40e6;
    double rate = real_chip_rate;
    std::uint64_t fifo_size = Ft232hChip::default_fifo_size;
    bool raw = false;
    bool repeat = false;
    std::vector<unsigned char> raw_bytes;
    std::uint32_t first_frame = 0;
    // 512 on a high-speed port, 64 on a full-speed one.
    int packet_size = Ft232hChip::high_speed_packet_size;
    // Whether the host controller takes scatter-gather bulk URBs (usbfs front end only): without it libusb splits
    // transfers into 16 KiB URBs.
    bool scatter_gather = true;
    bool refuse_open = false;
    bool paused = false;
    // The kernel driver bound to interface 0 at plug-in (usbfs front end only), e.g. "ftdi_sio"; empty: none.
    std::string kernel_driver;
};

// The serial a device gets when its entry names none: SIM0001 for the first entry, SIM0002 for the second...
std::string default_serial(std::size_t position);

// Parses the device list grammar documented in sim/README.md. `first_position` numbers default serials.
// On error returns nothing and sets `error`.
std::optional<std::vector<DeviceConfig>> parse_devices(std::string_view spec, std::string &error,
                                                       std::size_t first_position = 1);

} // namespace pcb_roq_sim
