// Contexts, the device list, descriptors, opening and closing.
#include <cstdlib>
#include <new>

#include "simulator.hpp"

namespace pcb_roq_sim {

namespace {

// The configuration descriptor and everything it points to, in one allocation so one free releases it.
struct ConfigBlock {
    libusb_config_descriptor config;
    libusb_interface interface;
    libusb_interface_descriptor setting;
    libusb_endpoint_descriptor endpoints[2];
};

std::uint8_t string_index(const std::optional<std::string> &text, std::uint8_t index) {
    return text.has_value() ? index : 0;
}

// The device keeps its strings as UTF-16 code units, at most 126 of them (a descriptor is 255 bytes long),
// and libusb turns every unit outside ASCII into '?'.
std::string as_ascii_descriptor(const std::string &utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size() && out.size() < 126;) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t length = 1;
        if (lead >= 0xF0) {
            length = 4;
        } else if (lead >= 0xE0) {
            length = 3;
        } else if (lead >= 0xC0) {
            length = 2;
        }
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
        } else {
            // A code point beyond the BMP takes two units (a surrogate pair).
            out.append(length == 4 ? "??" : "?");
        }
        i += length;
    }
    out.resize(std::min<std::size_t>(out.size(), 126));
    return out;
}

} // namespace

int Simulator::init(libusb_context **context) {
    Lock lock(mutex);
    if (failing_inits != 0) {
        if (failing_inits > 0) {
            --failing_inits;
        }
        ++totals.init_failures;
        return LIBUSB_ERROR_OTHER;
    }
    if (context == nullptr) {
        if (default_context == nullptr) {
            default_context = new libusb_context{true, 1};
        } else {
            ++default_context->references;
        }
    } else {
        *context = new libusb_context{};
    }
    ++totals.inits;
    ++totals.live_contexts;
    return LIBUSB_SUCCESS;
}

void Simulator::exit(libusb_context *context) {
    Lock lock(mutex);
    if (context == nullptr) {
        context = default_context;
        if (context == nullptr) {
            return;
        }
    }
    ++totals.exits;
    --totals.live_contexts;
    if (--context->references == 0) {
        if (context == default_context) {
            default_context = nullptr;
        }
        delete context;
    }
}

ssize_t Simulator::get_device_list(libusb_context *context, libusb_device ***list) {
    if (list == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    Lock lock(mutex);
    const auto now = Clock::now();
    std::vector<SimDevice *> present;
    for (auto &device : devices) {
        refresh(*device, now);
        if (device->plugged) {
            present.push_back(device.get());
        }
    }
    auto **array = static_cast<libusb_device **>(std::calloc(present.size() + 1, sizeof(libusb_device *)));
    if (array == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    std::size_t at = 0;
    for (auto &device : devices) {
        if (device->plugged) {
            array[at++] = new libusb_device{context != nullptr ? context : default_context, device,
                                            device->generation, device->address};
            ++totals.live_devices;
        }
    }
    *list = array;
    return static_cast<ssize_t>(at);
}

void Simulator::free_device_list(libusb_device **list, int unref_devices) {
    if (list == nullptr) {
        return;
    }
    if (unref_devices != 0) {
        Lock lock(mutex);
        for (libusb_device **entry = list; *entry != nullptr; ++entry) {
            unref_locked(*entry);
        }
    }
    std::free(list);
}

libusb_device *Simulator::ref_device(libusb_device *device) {
    Lock lock(mutex);
    ++device->references;
    return device;
}

void Simulator::unref_device(libusb_device *device) {
    if (device == nullptr) {
        return;
    }
    Lock lock(mutex);
    unref_locked(device);
}

void Simulator::unref_locked(libusb_device *device) {
    if (--device->references == 0) {
        delete device;
        --totals.live_devices;
    }
}

int Simulator::get_device_descriptor(libusb_device *device, libusb_device_descriptor *descriptor) {
    Lock lock(mutex);
    // libusb answers from the descriptors it cached at enumeration, so this works after an unplug too.
    const DeviceConfig &config = device->sim->config;
    *descriptor = {};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->bMaxPacketSize0 = 64;
    descriptor->idVendor = config.vendor_id;
    descriptor->idProduct = config.product_id;
    descriptor->bcdDevice = config.bcd_device;
    descriptor->iManufacturer = string_index(config.manufacturer, 1);
    descriptor->iProduct = string_index(config.product, 2);
    descriptor->iSerialNumber = string_index(config.serial, 3);
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int Simulator::get_config_descriptor(libusb_device *device, std::uint8_t index, libusb_config_descriptor **config) {
    if (index != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    Lock lock(mutex);
    auto *block = new (std::nothrow) ConfigBlock{};
    if (block == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    const unsigned char endpoint_addresses[2] = {in_endpoint, out_endpoint};
    for (int i = 0; i < 2; ++i) {
        libusb_endpoint_descriptor &endpoint = block->endpoints[i];
        endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
        endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
        endpoint.bEndpointAddress = endpoint_addresses[i];
        endpoint.bmAttributes = LIBUSB_ENDPOINT_TRANSFER_TYPE_BULK;
        endpoint.wMaxPacketSize = static_cast<std::uint16_t>(device->sim->config.packet_size);
    }
    libusb_interface_descriptor &setting = block->setting;
    setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
    setting.bDescriptorType = LIBUSB_DT_INTERFACE;
    setting.bNumEndpoints = 2;
    setting.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
    setting.bInterfaceSubClass = 0xFF;
    setting.bInterfaceProtocol = 0xFF;
    setting.iInterface = string_index(device->sim->config.product, 2);
    setting.endpoint = block->endpoints;
    block->interface.altsetting = &block->setting;
    block->interface.num_altsetting = 1;
    libusb_config_descriptor &c = block->config;
    c.bLength = LIBUSB_DT_CONFIG_SIZE;
    c.bDescriptorType = LIBUSB_DT_CONFIG;
    c.wTotalLength = LIBUSB_DT_CONFIG_SIZE + LIBUSB_DT_INTERFACE_SIZE + 2 * LIBUSB_DT_ENDPOINT_SIZE;
    c.bNumInterfaces = 1;
    c.bConfigurationValue = 1;
    c.bmAttributes = 0x80;
    c.MaxPower = 50;
    c.interface = &block->interface;
    *config = &block->config;
    ++totals.live_config_descriptors;
    return LIBUSB_SUCCESS;
}

void Simulator::free_config_descriptor(libusb_config_descriptor *config) {
    if (config == nullptr) {
        return;
    }
    Lock lock(mutex);
    // The descriptor is the first member of its block.
    delete reinterpret_cast<ConfigBlock *>(config);
    --totals.live_config_descriptors;
}

int Simulator::open(libusb_device *device, libusb_device_handle **handle) {
    Lock lock(mutex);
    SimDevice &sim = *device->sim;
    refresh(sim, Clock::now());
    if (!sim.plugged || device->generation != sim.generation) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (sim.config.refuse_open) {
        ++sim.open_refusals;
        return LIBUSB_ERROR_ACCESS;
    }
    // A handle keeps its device object alive, as in libusb.
    ++device->references;
    *handle = new libusb_device_handle{device, device->sim, device->generation};
    ++sim.opens;
    ++totals.live_handles;
    return LIBUSB_SUCCESS;
}

void Simulator::close(libusb_device_handle *handle) {
    if (handle == nullptr) {
        return;
    }
    Lock lock(mutex);
    SimDevice &sim = *handle->sim;
    if (sim.claimed_by == handle) {
        sim.claimed_by = nullptr;
    }
    ++sim.closes;
    --totals.live_handles;
    unref_locked(handle->device);
    delete handle;
    changed.notify_all();
}

int Simulator::get_configuration(libusb_device_handle *handle, int *configuration) {
    Lock lock(mutex);
    if (!alive(handle, Clock::now())) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    *configuration = handle->sim->configuration;
    return LIBUSB_SUCCESS;
}

int Simulator::set_configuration(libusb_device_handle *handle, int configuration) {
    Lock lock(mutex);
    if (!alive(handle, Clock::now())) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (configuration != 1 && configuration != -1 && configuration != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    if (handle->sim->claimed_by != nullptr) {
        return LIBUSB_ERROR_BUSY;
    }
    handle->sim->configuration = configuration == 1 ? 1 : 0;
    return LIBUSB_SUCCESS;
}

int Simulator::claim_interface(libusb_device_handle *handle, int interface_number) {
    Lock lock(mutex);
    if (!alive(handle, Clock::now())) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    SimDevice &sim = *handle->sim;
    if (interface_number != 0 || sim.configuration != 1) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    // Like usbfs: one claimer at a time, so a second program (or context) cannot take a board in use.
    if (sim.claimed_by != nullptr && sim.claimed_by != handle) {
        return LIBUSB_ERROR_BUSY;
    }
    sim.claimed_by = handle;
    sim.last_claimed_interface = interface_number;
    return LIBUSB_SUCCESS;
}

int Simulator::release_interface(libusb_device_handle *handle, int interface_number) {
    Lock lock(mutex);
    if (!alive(handle, Clock::now())) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    SimDevice &sim = *handle->sim;
    if (interface_number != 0 || sim.claimed_by != handle) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    sim.claimed_by = nullptr;
    return LIBUSB_SUCCESS;
}

int Simulator::detach_kernel_driver(libusb_device_handle *handle, int interface_number) {
    Lock lock(mutex);
    if (!alive(handle, Clock::now())) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    (void)interface_number;
    // No kernel driver is bound to a simulated device.
    return LIBUSB_ERROR_NOT_FOUND;
}

int Simulator::get_string_descriptor_ascii(libusb_device_handle *handle, std::uint8_t index, unsigned char *data,
                                           int length) {
    if (index == 0 || data == nullptr || length < 1) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    Lock lock(mutex);
    if (!alive(handle, Clock::now())) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    const DeviceConfig &config = handle->sim->config;
    const std::optional<std::string> *text = nullptr;
    if (index == 1) {
        text = &config.manufacturer;
    } else if (index == 2) {
        text = &config.product;
    } else if (index == 3) {
        text = &config.serial;
    }
    if (text == nullptr || !text->has_value()) {
        return LIBUSB_ERROR_PIPE; // the device stalls a request for a string it does not have
    }
    const std::string ascii = as_ascii_descriptor(**text);
    const std::size_t count = std::min<std::size_t>(ascii.size(), static_cast<std::size_t>(length - 1));
    std::copy_n(ascii.begin(), count, data);
    data[count] = '\0';
    return static_cast<int>(count);
}

} // namespace pcb_roq_sim
