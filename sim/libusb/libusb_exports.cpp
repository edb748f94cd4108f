// The libusb-1.0 functions libftdi imports (and a few close relatives), with libusb's own declarations.
#include <type_traits>

#include <libusb.h>

#include "simulator.hpp"

using pcb_roq_sim::Simulator;

namespace {

Simulator &sim() { return Simulator::instance(); }

// No exception may cross into libftdi's C frames: an allocation failure becomes libusb's own code for it.
template <typename Call>
auto guarded(Call call) noexcept -> decltype(call()) {
    try {
        return call();
    } catch (...) {
        if constexpr (std::is_void_v<decltype(call())>) {
            return;
        } else if constexpr (std::is_pointer_v<decltype(call())>) {
            return nullptr;
        } else {
            return LIBUSB_ERROR_NO_MEM;
        }
    }
}

} // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **ctx) { return guarded([&] { return sim().init(ctx); }); }

int LIBUSB_CALL libusb_init_context(libusb_context **ctx, const struct libusb_init_option options[], int num_options) {
    (void)options;
    (void)num_options;
    return guarded([&] { return sim().init(ctx); });
}

void LIBUSB_CALL libusb_exit(libusb_context *ctx) { guarded([&] { sim().exit(ctx); }); }

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *ctx, libusb_device ***list) {
    return guarded([&] { return sim().get_device_list(ctx, list); });
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unref_devices) {
    guarded([&] { sim().free_device_list(list, unref_devices); });
}

libusb_device *LIBUSB_CALL libusb_ref_device(libusb_device *dev) { return guarded([&] { return sim().ref_device(dev); }); }

void LIBUSB_CALL libusb_unref_device(libusb_device *dev) { guarded([&] { sim().unref_device(dev); }); }

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *dev) {
    (void)dev;
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *dev) { return dev->address; }

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *dev, struct libusb_device_descriptor *desc) {
    return guarded([&] { return sim().get_device_descriptor(dev, desc); });
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device *dev, uint8_t config_index,
                                             struct libusb_config_descriptor **config) {
    return guarded([&] { return sim().get_config_descriptor(dev, config_index, config); });
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor *config) {
    guarded([&] { sim().free_config_descriptor(config); });
}

int LIBUSB_CALL libusb_open(libusb_device *dev, libusb_device_handle **dev_handle) {
    return guarded([&] { return sim().open(dev, dev_handle); });
}

void LIBUSB_CALL libusb_close(libusb_device_handle *dev_handle) { guarded([&] { sim().close(dev_handle); }); }

libusb_device *LIBUSB_CALL libusb_get_device(libusb_device_handle *dev_handle) { return dev_handle->device; }

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle *dev, int *config) {
    return guarded([&] { return sim().get_configuration(dev, config); });
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *dev_handle, int configuration) {
    return guarded([&] { return sim().set_configuration(dev_handle, configuration); });
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *dev_handle, int interface_number) {
    return guarded([&] { return sim().claim_interface(dev_handle, interface_number); });
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *dev_handle, int interface_number) {
    return guarded([&] { return sim().release_interface(dev_handle, interface_number); });
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle *dev_handle, int interface_number) {
    return guarded([&] { return sim().detach_kernel_driver(dev_handle, interface_number); });
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle *dev_handle, int enable) {
    (void)dev_handle;
    (void)enable;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle *dev_handle, uint8_t desc_index,
                                                   unsigned char *data, int length) {
    return guarded([&] { return sim().get_string_descriptor_ascii(dev_handle, desc_index, data, length); });
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *dev_handle, uint8_t bmRequestType, uint8_t bRequest,
                                        uint16_t wValue, uint16_t wIndex, unsigned char *data, uint16_t wLength,
                                        unsigned int timeout) {
    (void)timeout; // control requests are answered at once
    return guarded([&] { return sim().control_transfer(dev_handle, bmRequestType, bRequest, wValue, wIndex, data, wLength); });
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *dev_handle, unsigned char endpoint, unsigned char *data,
                                     int length, int *transferred, unsigned int timeout) {
    return guarded([&] { return sim().bulk_transfer(dev_handle, endpoint, data, length, transferred, timeout); });
}

struct libusb_transfer *LIBUSB_CALL libusb_alloc_transfer(int iso_packets) {
    return guarded([&] { return sim().alloc_transfer(iso_packets); });
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer *transfer) { return guarded([&] { return sim().submit_transfer(transfer); }); }

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer *transfer) { return guarded([&] { return sim().cancel_transfer(transfer); }); }

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer *transfer) { guarded([&] { sim().free_transfer(transfer); }); }

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context *ctx, struct timeval *tv, int *completed) {
    return guarded([&] { return sim().handle_events(ctx, tv, completed); });
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context *ctx, struct timeval *tv) {
    return guarded([&] { return sim().handle_events(ctx, tv, nullptr); });
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context *ctx, int *completed) {
    timeval minute{60, 0};
    return guarded([&] { return sim().handle_events(ctx, &minute, completed); });
}

int LIBUSB_CALL libusb_handle_events(libusb_context *ctx) {
    timeval minute{60, 0};
    return guarded([&] { return sim().handle_events(ctx, &minute, nullptr); });
}

const char *LIBUSB_CALL libusb_error_name(int error_code) {
    switch (error_code) {
    case LIBUSB_SUCCESS:
        return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO:
        return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
        return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
        return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
        return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
        return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
        return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
        return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
        return "LIBUSB_ERROR_OTHER";
    default:
        return "**UNKNOWN**";
    }
}

} // extern "C"
