#pragma once

#include <string>
#include <utility>

#include "ftdi/ftdi_driver.hpp"

// A device opened by serial number on a fixed interface, bit mode and pin mask. A device that is absent or
// fails to configure is still built, with opened() false.
template <Interface I, Mode M, unsigned char mask>
class FtdiDevice {
public:
    explicit FtdiDevice(const std::string &serial) : serial(serial) {
        driver.open(serial, I, M, mask);
        // 255 ms is the largest latency libftdi accepts; on a device that did not open this fails harmlessly.
        driver.set_latency_timer(255);
    }
    FtdiDevice(FtdiDevice &&) noexcept = default;
    FtdiDevice &operator=(FtdiDevice &&) noexcept = default;
    FtdiDevice(const FtdiDevice &) = delete;
    FtdiDevice &operator=(const FtdiDevice &) = delete;

    // Bytes stored from the start of `buffer` (fewer than `size` when the chip had no more), or a negative
    // libftdi code. Throws std::runtime_error only for a null context.
    int read(unsigned char *buffer, int size) const { return driver.read(buffer, size); }
    int flush_buffers() const { return driver.flush_buffers(); }
    [[nodiscard]] bool opened() const noexcept { return driver.opened(); }
    [[nodiscard]] const std::string &serial_number() const noexcept { return serial; }

private:
    FtdiDriver driver;
    std::string serial;
};

using PcbRoqDevice = FtdiDevice<Interface::a, Mode::syncff, 0xFF>;
