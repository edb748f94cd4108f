#pragma once

#include <string>
#include <vector>

#include <ftdi.h>

// libftdi's device list, freed however the test ends (a failed assertion returns early).
struct DeviceList {
    DeviceList() = default;
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;
    ~DeviceList() {
        if (head != nullptr) {
            ftdi_list_free(&head);
        }
    }
    ftdi_device_list *head = nullptr;
};

// A libftdi context for tests that talk to the simulator through libftdi alone.
class LibftdiSession {
public:
    LibftdiSession() : ctx(ftdi_new()) {}
    LibftdiSession(const LibftdiSession &) = delete;
    LibftdiSession &operator=(const LibftdiSession &) = delete;
    ~LibftdiSession() {
        if (ctx != nullptr) {
            ftdi_usb_close(ctx);
            ftdi_free(ctx);
        }
    }

    // Opens entry `position` of libftdi's default-set listing; returns ftdi_usb_open_dev's result.
    int open(int position = 0) {
        ftdi_device_list *list = nullptr;
        int result = ftdi_usb_find_all(ctx, &list, 0, 0);
        if (result > position) {
            ftdi_device_list *entry = list;
            for (int i = 0; i < position; ++i) {
                entry = entry->next;
            }
            result = ftdi_usb_open_dev(ctx, entry->dev);
        } else if (result >= 0) {
            result = -100; // no such entry
        }
        ftdi_list_free(&list);
        return result;
    }

    // Opens the first board and puts it into synchronous FIFO mode, as the acquisition does.
    int open_streaming(int position = 0) {
        int result = open(position);
        if (result == 0) {
            result = ftdi_set_bitmode(ctx, 0xFF, BITMODE_SYNCFF);
        }
        return result;
    }

    ftdi_context *ctx;
};
