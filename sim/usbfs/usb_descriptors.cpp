#include "usb_descriptors.hpp"

#include <string>

namespace pcb_roq_sim {

namespace {

constexpr unsigned char in_endpoint = 0x81;
constexpr unsigned char out_endpoint = 0x02;

void put16(std::vector<unsigned char> &out, unsigned value) {
    out.push_back(static_cast<unsigned char>(value & 0xFF));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

unsigned char string_index(const std::optional<std::string> &text, unsigned char index) {
    return text.has_value() ? index : 0;
}

} // namespace

std::vector<unsigned char> device_descriptor(const DeviceConfig &config) {
    std::vector<unsigned char> d{18, 0x01};
    put16(d, 0x0200); // bcdUSB
    d.insert(d.end(), {0x00, 0x00, 0x00, 64});
    put16(d, config.vendor_id);
    put16(d, config.product_id);
    put16(d, config.bcd_device);
    d.push_back(string_index(config.manufacturer, 1));
    d.push_back(string_index(config.product, 2));
    d.push_back(string_index(config.serial, 3));
    d.push_back(1); // bNumConfigurations
    return d;
}

std::vector<unsigned char> configuration_descriptor(const DeviceConfig &config) {
    std::vector<unsigned char> d{9, 0x02};
    put16(d, 9 + 9 + 7 + 7);
    d.insert(d.end(), {1, 1, 0, 0x80, 45});                                                // 90 mA, bus powered
    d.insert(d.end(), {9, 0x04, 0, 0, 2, 0xFF, 0xFF, 0xFF, string_index(config.product, 2)}); // vendor class
    for (unsigned char endpoint : {in_endpoint, out_endpoint}) {
        d.insert(d.end(), {7, 0x05, endpoint, 0x02});
        put16(d, static_cast<unsigned>(config.packet_size));
        d.push_back(0);
    }
    return d;
}

std::optional<std::vector<unsigned char>> string_descriptor(const DeviceConfig &config, std::uint8_t index) {
    if (index == 0) {
        return std::vector<unsigned char>{4, 0x03, 0x09, 0x04}; // English (US)
    }
    const std::optional<std::string> *text = index == 1   ? &config.manufacturer
                                             : index == 2 ? &config.product
                                             : index == 3 ? &config.serial
                                                          : nullptr;
    if (text == nullptr || !text->has_value()) {
        return std::nullopt;
    }
    // UTF-16LE, at most 126 units (a descriptor is at most 255 bytes). Only ASCII is kept as such: libusb's
    // ASCII conversion shows every other unit as '?', so a replacement unit per character (two beyond the BMP)
    // is what the host can tell apart.
    std::vector<unsigned char> d{0, 0x03};
    const std::string &utf8 = **text;
    std::size_t units = 0;
    for (std::size_t i = 0; i < utf8.size() && units < 126;) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        const int count = length == 4 ? 2 : 1;
        for (int unit = 0; unit < count && units < 126; ++unit, ++units) {
            put16(d, lead < 0x80 ? lead : 0xFFFD);
        }
        i += length;
    }
    d[0] = static_cast<unsigned char>(d.size());
    return d;
}

} // namespace pcb_roq_sim
