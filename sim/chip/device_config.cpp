#include "device_config.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace pcb_roq_sim {

namespace {

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const auto at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) {
            return parts;
        }
        start = at + 1;
    }
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Strings may carry any byte as %XX, so ',' ';' '%' and non-ASCII bytes can be written.
bool decode_string(std::string_view text, std::string &out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return false;
        }
        const int high = hex_digit(text[i + 1]);
        const int low = hex_digit(text[i + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

bool decode_hex(std::string_view text, std::vector<unsigned char> &out) {
    out.clear();
    std::string digits;
    for (char c : text) {
        if (c != ' ' && c != ':') {
            digits.push_back(c);
        }
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int high = hex_digit(digits[i]);
        const int low = hex_digit(digits[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return true;
}

bool parse_unsigned(std::string_view text, std::uint64_t max, std::uint64_t &out) {
    const std::string copy(text);
    if (copy.empty() || copy[0] == '-' || copy[0] == '+') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(copy.c_str(), &end, 0);
    if (errno != 0 || end != copy.c_str() + copy.size() || value > max) {
        return false;
    }
    out = value;
    return true;
}

bool parse_rate(std::string_view text, double &out) {
    if (text == "unlimited") {
        out = 0;
        return true;
    }
    const std::string copy(text);
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || errno != 0 || end != copy.c_str() + copy.size() || !std::isfinite(value) || value < 0) {
        return false;
    }
    out = value;
    return true;
}

bool apply_flag(std::string_view flag, DeviceConfig &device) {
    if (flag == "board") {
        return true;
    }
    if (flag == "noserial") {
        device.serial.reset();
    } else if (flag == "nomanufacturer") {
        device.manufacturer.reset();
    } else if (flag == "noproduct") {
        device.product.reset();
    } else if (flag == "repeat") {
        device.repeat = true;
    } else if (flag == "refuse") {
        device.refuse_open = true;
    } else if (flag == "paused") {
        device.paused = true;
    } else {
        return false;
    }
    return true;
}

// Empty when the item was applied, else the reason it was not.
std::string apply_item(std::string_view item, DeviceConfig &device) {
    const auto equals = item.find('=');
    if (equals == std::string_view::npos) {
        return apply_flag(item, device) ? std::string() : "unknown flag '" + std::string(item) + "'";
    }
    const std::string_view key = trim(item.substr(0, equals));
    const std::string_view value = trim(item.substr(equals + 1));
    const std::string bad = "bad value for " + std::string(key) + ": '" + std::string(value) + "'";
    std::string text;
    std::uint64_t number = 0;
    if (key == "serial" || key == "manufacturer" || key == "product") {
        if (!decode_string(value, text)) {
            return bad;
        }
        (key == "serial" ? device.serial : key == "manufacturer" ? device.manufacturer : device.product) = text;
    } else if (key == "vid" || key == "pid" || key == "bcd") {
        if (!parse_unsigned(value, 0xFFFF, number)) {
            return bad;
        }
        const auto word = static_cast<std::uint16_t>(number);
        (key == "vid" ? device.vendor_id : key == "pid" ? device.product_id : device.bcd_device) = word;
    } else if (key == "rate") {
        if (!parse_rate(value, device.rate)) {
            return bad;
        }
    } else if (key == "fifo") {
        if (!parse_unsigned(value, UINT64_MAX, number) || number == 0) {
            return bad;
        }
        device.fifo_size = number;
    } else if (key == "first_frame") {
        if (!parse_unsigned(value, UINT32_MAX, number)) {
            return bad;
        }
        device.first_frame = static_cast<std::uint32_t>(number);
    } else if (key == "speed") {
        if (value != "high" && value != "full") {
            return bad;
        }
        device.packet_size = value == "high" ? Ft232hChip::high_speed_packet_size : Ft232hChip::full_speed_packet_size;
    } else if (key == "sg") {
        if (value != "0" && value != "1") {
            return bad;
        }
        device.scatter_gather = value == "1";
    } else if (key == "driver") {
        if (value.empty() || value.size() > 255 ||
            value.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_-") != std::string_view::npos) {
            return bad;
        }
        device.kernel_driver = value;
    } else if (key == "raw") {
        if (!decode_hex(value, device.raw_bytes)) {
            return bad;
        }
        device.raw = true;
    } else {
        return "unknown key '" + std::string(key) + "'";
    }
    return {};
}

} // namespace

std::string default_serial(std::size_t position) {
    char text[32];
    std::snprintf(text, sizeof text, "SIM%04zu", position);
    return text;
}

std::optional<std::vector<DeviceConfig>> parse_devices(std::string_view spec, std::string &error,
                                                       std::size_t first_position) {
    std::vector<DeviceConfig> devices;
    if (trim(spec).empty()) {
        return devices;
    }
    auto entries = split(spec, ';');
    if (trim(entries.back()).empty()) {
        entries.pop_back(); // a trailing ';' is harmless
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        DeviceConfig device;
        device.serial = default_serial(first_position + i);
        const std::string_view entry = trim(entries[i]);
        if (entry.empty()) {
            error = "device " + std::to_string(i + 1) + " is empty (use 'board' for a default board)";
            return std::nullopt;
        }
        for (std::string_view item : split(entry, ',')) {
            const std::string problem = apply_item(trim(item), device);
            if (!problem.empty()) {
                error = "device " + std::to_string(i + 1) + ": " + problem;
                return std::nullopt;
            }
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

} // namespace pcb_roq_sim
