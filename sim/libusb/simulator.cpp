#include "simulator.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pcb_roq_sim {

namespace {

constexpr const char *devices_variable = "PCB_ROQ_SIM";
constexpr const char *scale_variable = "PCB_ROQ_SIM_LATENCY_SCALE";
constexpr const char *default_spec = "board";

bool parse_scale(const char *text, double &out) {
    char *end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0) || value > 1e6) {
        return false;
    }
    out = value;
    return true;
}

} // namespace

Simulator &Simulator::instance() {
    static Simulator *const simulator = new Simulator();
    return *simulator;
}

Simulator::Simulator() {
    std::string error;
    if (reset(error) < 0) {
        // Loaded by LD_PRELOAD into someone else's process: say what is wrong and carry on with an empty bus.
        std::fprintf(stderr, "pcb_roq_sim: %s; the bus stays empty\n", error.c_str());
    }
}

int Simulator::configure_locked(const char *spec, std::string &error, Clock::time_point now) {
    std::string text;
    if (spec != nullptr) {
        text = spec;
    } else if (const char *variable = std::getenv(devices_variable); variable != nullptr) {
        text = variable;
    } else {
        text = default_spec;
    }
    auto configs = parse_devices(text, error);
    if (!configs) {
        if (spec == nullptr) {
            error = std::string(devices_variable) + ": " + error;
        }
        return -1;
    }
    for (auto &device : devices) {
        unplug(*device);
    }
    devices.clear();
    for (auto &config : *configs) {
        devices.push_back(std::make_shared<SimDevice>(std::move(config), next_address++, now));
        devices.back()->chip.set_latency_scale(scale, now);
        if (next_address == 0) {
            next_address = 1;
        }
    }
    totals.inits = 0;
    totals.init_failures = 0;
    totals.exits = 0;
    changed.notify_all();
    return static_cast<int>(devices.size());
}

int Simulator::configure(const char *spec, std::string &error) {
    Lock lock(mutex);
    return configure_locked(spec, error, Clock::now());
}

int Simulator::reset(std::string &error) {
    Lock lock(mutex);
    failing_inits = 0;
    scale = 1.0;
    if (const char *variable = std::getenv(scale_variable); variable != nullptr && !parse_scale(variable, scale)) {
        error = std::string(scale_variable) + ": not a number in (0, 1e6]: '" + variable + "'";
        configure_locked("", error, Clock::now());
        return -1;
    }
    const int count = configure_locked(nullptr, error, Clock::now());
    if (count < 0) {
        std::string ignored;
        configure_locked("", ignored, Clock::now());
    }
    return count;
}

int Simulator::add_device(const char *spec, std::string &error) {
    Lock lock(mutex);
    if (spec == nullptr) {
        spec = default_spec;
    }
    auto configs = parse_devices(spec, error, devices.size() + 1);
    if (!configs) {
        return -1;
    }
    if (configs->size() != 1) {
        error = "expected exactly one device, got " + std::to_string(configs->size());
        return -1;
    }
    const auto now = Clock::now();
    devices.push_back(std::make_shared<SimDevice>(std::move(configs->front()), next_address++, now));
    devices.back()->chip.set_latency_scale(scale, now);
    if (next_address == 0) {
        next_address = 1;
    }
    changed.notify_all();
    return static_cast<int>(devices.size() - 1);
}

int Simulator::device_count() {
    Lock lock(mutex);
    return static_cast<int>(devices.size());
}

int Simulator::find(const char *serial) {
    Lock lock(mutex);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const auto &wanted = devices[i]->config.serial;
        if (serial == nullptr ? !wanted.has_value() : (wanted.has_value() && *wanted == serial)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int Simulator::set_latency_scale(double value, std::string &error) {
    if (!(value > 0) || value > 1e6) {
        error = "the latency scale must lie in (0, 1e6]";
        return -1;
    }
    Lock lock(mutex);
    scale = value;
    const auto now = Clock::now();
    for (auto &device : devices) {
        device->chip.set_latency_scale(scale, now);
    }
    changed.notify_all();
    return 0;
}

double Simulator::latency_scale() {
    Lock lock(mutex);
    return scale;
}

int Simulator::fail_init(int count, std::string &) {
    Lock lock(mutex);
    failing_inits = count;
    return 0;
}

int Simulator::set_urb_memory_limit(std::uint64_t bytes, std::string &error) {
    if (bytes == 0) {
        return 0;
    }
    error = "not supported by this front end (libusb stand-in): no URBs";
    return -1;
}

SimBus &sim_bus() { return Simulator::instance(); }

int Simulator::with_device(int index, std::string &error,
                           const std::function<int(SimDevice &, Clock::time_point)> &change) {
    Lock lock(mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= devices.size()) {
        error = "no device with index " + std::to_string(index);
        return -1;
    }
    const auto now = Clock::now();
    SimDevice &device = *devices[static_cast<std::size_t>(index)];
    refresh(device, now);
    const int result = change(device, now);
    changed.notify_all();
    return result;
}

void Simulator::get_stats(pcb_roq_sim_stats &out) {
    Lock lock(mutex);
    out = totals;
}

void Simulator::unplug(SimDevice &device) {
    if (!device.plugged) {
        return;
    }
    const auto now = Clock::now();
    const auto when = device.unplug_at ? std::min(*device.unplug_at, now) : now;
    device.chip.abort_all(LIBUSB_ERROR_NO_DEVICE, when);
    device.chip.set_delivery_limit(std::nullopt, when);
    device.plugged = false;
    ++device.generation;
    device.claimed_by = nullptr;
    device.unplug_at.reset();
    changed.notify_all();
}

void Simulator::replug(SimDevice &device, Clock::time_point now) {
    unplug(device);
    device.plugged = true;
    device.address = next_address++;
    if (next_address == 0) {
        next_address = 1;
    }
    device.configuration = 1;
    device.chip.power_up(now);
    changed.notify_all();
}

void Simulator::refresh(SimDevice &device, Clock::time_point now) {
    if (device.plugged && device.unplug_at && now >= *device.unplug_at) {
        // Pending transfers received what the board wrote up to the moment the device went.
        device.chip.advance(*device.unplug_at);
        unplug(device);
    }
}

bool Simulator::alive(const libusb_device_handle *handle, Clock::time_point now) {
    refresh(*handle->sim, now);
    return handle->sim->plugged && handle->generation == handle->sim->generation;
}

} // namespace pcb_roq_sim
