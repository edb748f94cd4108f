#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ftdi/ftdi_ctx_wrapper.hpp"

// Numeric values are libftdi's: they are handed to libftdi unchanged.
enum class Interface : int {
    any = INTERFACE_ANY,
    a = INTERFACE_A,
    b = INTERFACE_B,
    c = INTERFACE_C,
    d = INTERFACE_D,
};

enum class Mode : unsigned char {
    reset = BITMODE_RESET,
    bitbang = BITMODE_BITBANG,
    mpsse = BITMODE_MPSSE,
    syncbb = BITMODE_SYNCBB,
    mcu = BITMODE_MCU,
    opto = BITMODE_OPTO,
    cbus = BITMODE_CBUS,
    syncff = BITMODE_SYNCFF,
    ft1284 = BITMODE_FT1284,
};

// Size of every USB string buffer; libftdi writes at most 127 characters plus the NUL.
inline constexpr std::size_t ftdi_string_size = 128;

// True when a zero-filled, NUL-terminated device string buffer begins with `wanted`;
// an empty `wanted` matches everything, one of 128 bytes or more matches nothing.
bool ftdi_string_matches(const char (&device_string)[ftdi_string_size], const std::string &wanted) noexcept;

// A driver for one FTDI device on a context of its own. libftdi's codes are returned unchanged.
// Not thread-safe: a libftdi context must not be used from two threads at once.
class FtdiDriver {
public:
    FtdiDriver() = default;
    FtdiDriver(FtdiDriver &&other) noexcept = default;
    FtdiDriver &operator=(FtdiDriver &&other) noexcept = default;
    FtdiDriver(const FtdiDriver &) = delete;
    FtdiDriver &operator=(const FtdiDriver &) = delete;
    ~FtdiDriver() = default;

    // Serial numbers of the devices of libftdi's default set whose manufacturer and description begin with
    // the given texts, in enumeration order. Never throws for libftdi failures: it returns what it found.
    static std::vector<std::string> find_by_manufacturer_and_description(const std::string &manufacturer,
                                                                          const std::string &description);

    // Opens the first device whose serial begins with `serial_number`, then sets interface and bit mode.
    bool open(const std::string &serial_number, Interface interface, Mode mode, unsigned char mask);

    int set_read_buffer_size(unsigned long size) const;
    int set_write_buffer_size(unsigned long size) const;
    int set_latency_timer(unsigned char milliseconds) const;
    int flush_read_buffer() const;
    int flush_write_buffer() const;
    int flush_buffers() const;
    int read(unsigned char *buffer, int size) const;

    [[nodiscard]] bool opened() const noexcept { return opened_; }
    // The libftdi context itself, for reading past libftdi; throws the null-context error when there is none.
    [[nodiscard]] ftdi_context *context() const {
        return ctx.call([](ftdi_context *c) { return c; });
    }

private:
    friend std::optional<FtdiDriver> open_device(const std::string &serial_number);

    // First device of the list whose serial begins with `serial_number`, or null.
    libusb_device *select_by_serial(ftdi_device_list *list, const std::string &serial_number) const;

    FtdiCtxWrapper ctx;
    bool opened_ = false;
};

// A new driver with the first device whose serial begins with `serial_number` opened on it
// (interface and bit mode left alone), or nothing when no such device is listed.
std::optional<FtdiDriver> open_device(const std::string &serial_number);
