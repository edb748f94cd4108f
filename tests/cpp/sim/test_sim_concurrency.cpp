// The simulator under several threads at once, as a board's acquisition thread and Python threads use it.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "libftdi_session.hpp"
#include "sim_test_support.hpp"
#include "usb_session.hpp"

namespace {

using SimConcurrency = SimTest;

std::vector<std::string> list_serials() {
    LibftdiSession session;
    std::vector<std::string> serials;
    ftdi_device_list *list = nullptr;
    if (ftdi_usb_find_all(session.ctx, &list, 0, 0) > 0) {
        for (ftdi_device_list *entry = list; entry != nullptr; entry = entry->next) {
            char serial[128] = {};
            ftdi_usb_get_strings(session.ctx, entry->dev, nullptr, 0, nullptr, 0, serial, sizeof serial);
            serials.emplace_back(serial);
        }
    }
    ftdi_list_free(&list);
    return serials;
}

TEST_F(SimConcurrency, StreamStaysIntactWhileOtherThreadsListPauseAndCount) {
    configure("serial=A,rate=unlimited;serial=B,rate=unlimited");
    LibftdiSession reader;
    ASSERT_EQ(reader.open_streaming(), 0);
    std::atomic<bool> running{true};
    std::vector<unsigned char> received;
    std::thread acquisition([&] {
        std::vector<unsigned char> buffer(12 * 512);
        while (running.load()) {
            const int n = ftdi_read_data(reader.ctx, buffer.data(), static_cast<int>(buffer.size()));
            if (n < 0) {
                return;
            }
            received.insert(received.end(), buffer.begin(), buffer.begin() + n);
        }
    });
    std::thread lister([&] {
        for (int i = 0; i < 30; ++i) {
            EXPECT_EQ(list_serials(), (std::vector<std::string>{"A", "B"}));
        }
    });
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(pcb_roq_sim_pause(0, i % 2), 0);
        (void)stats(0);
        (void)totals();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(pcb_roq_sim_pause(0, 0), 0);
    lister.join();
    running = false;
    acquisition.join();
    ASSERT_GT(received.size(), 0U);
    EXPECT_EQ(received, pattern_bytes(0, received.size()));
}

TEST_F(SimConcurrency, UnplugFromAnotherThreadReleasesABlockedRead) {
    ASSERT_EQ(pcb_roq_sim_set_latency_scale(1000), 0);
    LibftdiSession reader;
    ASSERT_EQ(reader.open(), 0); // never in FIFO mode: the chip has nothing to send
    int result = 0;
    std::thread acquisition([&] {
        unsigned char buffer[64];
        result = ftdi_read_data(reader.ctx, buffer, sizeof buffer);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(pcb_roq_sim_unplug(0, 0), 0);
    acquisition.join(); // would take 255 s if the unplug did not wake the reader
    EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(SimConcurrency, TwoBoardsStreamToTwoThreadsIndependently) {
    configure("serial=A,rate=unlimited;serial=B,first_frame=1000,rate=unlimited");
    std::vector<unsigned char> streams[2];
    std::thread readers[2];
    for (int i = 0; i < 2; ++i) {
        readers[i] = std::thread([i, &streams] {
            LibftdiSession session;
            if (session.open_streaming(i) != 0) {
                return;
            }
            streams[i].resize(12 * 4096);
            const int n = ftdi_read_data(session.ctx, streams[i].data(), static_cast<int>(streams[i].size()));
            streams[i].resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        });
    }
    for (auto &reader : readers) {
        reader.join();
    }
    EXPECT_EQ(streams[0], pattern_bytes(0, 12 * 4096));
    EXPECT_EQ(streams[1], pattern_bytes(12 * 1000, 12 * 4096));
}

TEST_F(SimConcurrency, CancelFromAnotherThreadEndsARunningTransfer) {
    ASSERT_EQ(pcb_roq_sim_set_latency_scale(1000), 0);
    UsbSession usb;
    ASSERT_EQ(usb.open(), 0);
    libusb_transfer *transfer = libusb_alloc_transfer(0);
    ASSERT_NE(transfer, nullptr);
    unsigned char buffer[512];
    std::atomic<int> status{-1};
    libusb_fill_bulk_transfer(
        transfer, usb.handle, 0x81, buffer, sizeof buffer,
        [](libusb_transfer *t) { static_cast<std::atomic<int> *>(t->user_data)->store(t->status); }, &status, 0);
    ASSERT_EQ(libusb_submit_transfer(transfer), 0);
    EXPECT_EQ(libusb_submit_transfer(transfer), LIBUSB_ERROR_BUSY);
    std::thread events([&] {
        timeval timeout{60, 0};
        libusb_handle_events_timeout(usb.ctx, &timeout);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(libusb_cancel_transfer(transfer), 0);
    events.join();
    EXPECT_EQ(status.load(), LIBUSB_TRANSFER_CANCELLED);
    EXPECT_EQ(libusb_cancel_transfer(transfer), LIBUSB_ERROR_NOT_FOUND);
    libusb_free_transfer(transfer);
}

} // namespace
