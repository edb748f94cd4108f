#pragma once

#include <libusb.h>

// A libusb context, its device list and (optionally) one opened handle, released in reverse order.
class UsbSession {
public:
    UsbSession() {
        if (libusb_init(&ctx) == LIBUSB_SUCCESS) {
            count = libusb_get_device_list(ctx, &list);
        }
    }
    UsbSession(const UsbSession &) = delete;
    UsbSession &operator=(const UsbSession &) = delete;
    ~UsbSession() {
        if (handle != nullptr) {
            libusb_close(handle);
        }
        if (list != nullptr) {
            libusb_free_device_list(list, 1);
        }
        if (ctx != nullptr) {
            libusb_exit(ctx);
        }
    }

    int open(int position = 0) { return libusb_open(list[position], &handle); }

    libusb_context *ctx = nullptr;
    libusb_device **list = nullptr;
    ssize_t count = -1;
    libusb_device_handle *handle = nullptr;
};
