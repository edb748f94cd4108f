#include <algorithm>
#include <cstring>
#include <memory>

#include "ftdi/ftdi_driver.hpp"

namespace {

// Frees libftdi's device list on every way out of a search.
struct DeviceList {
    ftdi_device_list *head = nullptr;
    DeviceList() = default;
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;
    ~DeviceList() {
        if (head != nullptr) {
            ftdi_list_free(&head);
        }
    }
};

using StringBuffer = char[ftdi_string_size];

// libftdi's codes for a string descriptor it could not read, in the order it asks for them.
constexpr int manufacturer_unreadable = -7;
constexpr int description_unreadable = -8;

// Reads the three strings of a device; one it lacks stays empty. libftdi 1.6 reads a missing string as empty
// and goes on, 1.5 gives up at it with its code; the strings after it are then asked for one at a time, so
// that both libftdis find the same devices. Other failures (the device would not open) end the query.
void read_strings(const FtdiCtxWrapper &ctx, libusb_device *device, StringBuffer &manufacturer,
                  StringBuffer &description, StringBuffer &serial) {
    constexpr int size = int{ftdi_string_size};
    const int result = ctx.call(ftdi_usb_get_strings, device, manufacturer, size, description, size, serial, size);
    if (result == manufacturer_unreadable) {
        (void)ctx.call(ftdi_usb_get_strings, device, nullptr, 0, description, size, nullptr, 0);
    }
    if (result == manufacturer_unreadable || result == description_unreadable) {
        (void)ctx.call(ftdi_usb_get_strings, device, nullptr, 0, nullptr, 0, serial, size);
    }
}

} // namespace

bool ftdi_string_matches(const char (&device_string)[ftdi_string_size], const std::string &wanted) noexcept {
    if (wanted.empty()) {
        return true;
    }
    if (wanted.size() >= ftdi_string_size) {
        // The buffer always ends in a NUL, which no such text can match.
        return false;
    }
    return std::memcmp(device_string, wanted.data(), wanted.size()) == 0;
}

std::vector<std::string> FtdiDriver::find_by_manufacturer_and_description(const std::string &manufacturer,
                                                                           const std::string &description) {
    std::vector<std::string> serials;
    FtdiCtxWrapper ctx;
    if (!ctx.valid()) {
        return serials;
    }
    DeviceList list;
    if (ctx.call(ftdi_usb_find_all, &list.head, 0, 0) < 0) {
        return serials;
    }
    for (ftdi_device_list *entry = list.head; entry != nullptr; entry = entry->next) {
        StringBuffer found_manufacturer = {};
        StringBuffer found_description = {};
        StringBuffer found_serial = {};
        // A device whose strings cannot be read keeps empty strings and so matches only empty texts.
        read_strings(ctx, entry->dev, found_manufacturer, found_description, found_serial);
        if (!ftdi_string_matches(found_manufacturer, manufacturer) ||
            !ftdi_string_matches(found_description, description)) {
            continue;
        }
        serials.emplace_back(found_serial, strnlen(found_serial, ftdi_string_size));
    }
    return serials;
}

libusb_device *FtdiDriver::select_by_serial(ftdi_device_list *list, const std::string &serial_number) const {
    for (ftdi_device_list *entry = list; entry != nullptr; entry = entry->next) {
        char found_serial[ftdi_string_size] = {};
        (void)ctx.call(ftdi_usb_get_strings, entry->dev, nullptr, 0, nullptr, 0, found_serial,
                       int{ftdi_string_size});
        if (ftdi_string_matches(found_serial, serial_number)) {
            return entry->dev;
        }
    }
    return nullptr;
}

bool FtdiDriver::open(const std::string &serial_number, Interface interface, Mode mode, unsigned char mask) {
    DeviceList list;
    if (ctx.call(ftdi_usb_find_all, &list.head, 0, 0) < 0) {
        return false;
    }
    libusb_device *device = select_by_serial(list.head, serial_number);
    if (device == nullptr) {
        return opened_;
    }
    // All three steps run whatever the earlier ones returned; the flag records whether all succeeded.
    opened_ = ctx.call(ftdi_usb_open_dev, device) == 0;
    opened_ = (ctx.call(ftdi_set_interface, static_cast<ftdi_interface>(interface)) == 0) && opened_;
    opened_ = (ctx.call(ftdi_set_bitmode, mask, static_cast<unsigned char>(mode)) == 0) && opened_;
    return opened_;
}

std::optional<FtdiDriver> open_device(const std::string &serial_number) {
    FtdiDriver driver;
    DeviceList list;
    if (driver.ctx.call(ftdi_usb_find_all, &list.head, 0, 0) < 0) {
        return std::nullopt;
    }
    libusb_device *device = driver.select_by_serial(list.head, serial_number);
    if (device == nullptr) {
        return std::nullopt;
    }
    (void)driver.ctx.call(ftdi_usb_open_dev, device);
    return std::optional<FtdiDriver>(std::move(driver));
}

int FtdiDriver::set_read_buffer_size(unsigned long size) const {
    return ctx.call(ftdi_read_data_set_chunksize, static_cast<unsigned int>(size));
}

int FtdiDriver::set_write_buffer_size(unsigned long size) const {
    return ctx.call(ftdi_write_data_set_chunksize, static_cast<unsigned int>(size));
}

int FtdiDriver::set_latency_timer(unsigned char milliseconds) const {
    return ctx.call(ftdi_set_latency_timer, milliseconds);
}

int FtdiDriver::flush_read_buffer() const { return ctx.call(ftdi_tciflush); }

int FtdiDriver::flush_write_buffer() const { return ctx.call(ftdi_tcoflush); }

int FtdiDriver::flush_buffers() const { return ctx.call(ftdi_tcioflush); }

int FtdiDriver::read(unsigned char *buffer, int size) const { return ctx.call(ftdi_read_data, buffer, size); }
