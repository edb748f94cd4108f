// The simulated board on an emulated usbfs, under the real libusb and libftdi: what they see is what they
// would see on hardware, the faults below libusb included.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <ftdi.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <unistd.h>

#include "libftdi_session.hpp"
#include "sim_test_support.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Waits for `condition` with a generous deadline: the emulation answers on threads of its own.
template <typename Condition>
bool eventually(Condition condition) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class UsbfsBus : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_STREQ(pcb_roq_sim_front_end(), "usbfs");
        configure("board,rate=unlimited");
        ASSERT_EQ(pcb_roq_sim_set_latency_scale(0.02), 0);
    }

    void TearDown() override {
        session.reset();
        ASSERT_EQ(pcb_roq_sim_set_urb_memory_limit(0), 0);
        // A closed file is noticed when umockdev lets go of its client, on the emulation's thread.
        EXPECT_TRUE(eventually([] { return totals().live_handles == 0; })) << "device files left open";
        EXPECT_EQ(totals().live_transfers, 0) << "URBs never reaped";
        const auto s = stats();
        EXPECT_EQ(s.opens, s.closes);
    }

    static void configure(const char *spec) { ASSERT_GE(pcb_roq_sim_configure(spec), 0) << pcb_roq_sim_last_error(); }
    static pcb_roq_sim_stats totals() {
        pcb_roq_sim_stats t{};
        pcb_roq_sim_get_stats(&t);
        return t;
    }
    static pcb_roq_sim_device_stats stats() {
        pcb_roq_sim_device_stats s{};
        pcb_roq_sim_get_device_stats(0, &s);
        return s;
    }

    void open_streaming() {
        session = std::make_unique<LibftdiSession>();
        ASSERT_EQ(session->open_streaming(), 0) << ftdi_get_error_string(session->ctx);
    }
    libusb_device_handle *handle() { return session->ctx->usb_dev; }
    libusb_context *usb() { return session->ctx->usb_ctx; }

    // One asynchronous bulk IN transfer, reported into `status` and `length`.
    struct Async {
        explicit Async(libusb_device_handle *handle, int size = 65536) : buffer(static_cast<std::size_t>(size)) {
            transfer = libusb_alloc_transfer(0);
            libusb_fill_bulk_transfer(
                transfer, handle, 0x81, buffer.data(), size,
                [](libusb_transfer *t) { static_cast<Async *>(t->user_data)->done = true; }, this, 0);
        }
        ~Async() { libusb_free_transfer(transfer); }
        int submit() {
            done = false;
            return libusb_submit_transfer(transfer);
        }
        std::vector<unsigned char> buffer;
        libusb_transfer *transfer;
        bool done = false;
    };

    // Handles events until every transfer has called back.
    void drain(std::vector<std::unique_ptr<Async>> &transfers) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        timeval tick{0, 10000};
        for (auto &t : transfers) {
            while (!t->done && Clock::now() < deadline) {
                libusb_handle_events_timeout(usb(), &tick);
            }
            ASSERT_TRUE(t->done);
        }
    }

    std::unique_ptr<LibftdiSession> session;
};

TEST_F(UsbfsBus, LibftdiListsTheBoardsAndReadsTheirStrings) {
    configure("serial=A;serial=B,product=Other,speed=full");
    LibftdiSession ftdi;
    DeviceList list;
    ASSERT_EQ(ftdi_usb_find_all(ftdi.ctx, &list.head, 0x0403, 0x6014), 2);
    std::vector<std::string> seen;
    for (auto *entry = list.head; entry != nullptr; entry = entry->next) {
        char manufacturer[64], product[64], serial[64];
        ASSERT_EQ(ftdi_usb_get_strings(ftdi.ctx, entry->dev, manufacturer, 64, product, 64, serial, 64), 0)
            << ftdi_get_error_string(ftdi.ctx);
        seen.push_back(std::string(manufacturer) + "/" + product + "/" + serial);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"ZUM/Other/B", "ZUM/PCB_ROQ/A"}));
}

TEST_F(UsbfsBus, OpeningClaimsTheInterfaceAndSetsTheBitMode) {
    open_streaming();
    EXPECT_EQ(session->ctx->max_packet_size, 512U);
    EXPECT_EQ(stats().claimed_interface, 0);
    EXPECT_EQ(stats().bit_mode, 0x40);
    LibftdiSession second;
    EXPECT_LT(second.open(), 0) << "a claimed interface is busy for another file";
}

// Who holds interface 0, as a user (or doctor) reads it from sysfs without opening the device.
std::string interface_driver() {
    char link[256] = {};
    const ssize_t n = readlink("/sys/bus/usb/devices/1-999/1-999:1.0/driver", link, sizeof link - 1);
    if (n < 0) {
        return "";
    }
    const std::string target(link, static_cast<std::size_t>(n));
    return target.substr(target.rfind('/') + 1);
}

TEST_F(UsbfsBus, ABoundKernelDriverKeepsTheInterfaceUntilLibftdiDetachesIt) {
    configure("board,rate=unlimited,driver=ftdi_sio");
    EXPECT_EQ(interface_driver(), "ftdi_sio");
    LibftdiSession kept;
    kept.ctx->module_detach_mode = DONT_DETACH_SIO_MODULE;
    EXPECT_LT(kept.open(), 0) << "the kernel's driver holds the interface";
    open_streaming(); // detaches it, as libftdi does by default
    EXPECT_EQ(interface_driver(), "usbfs");
    session.reset();
    EXPECT_TRUE(eventually([] { return interface_driver().empty(); })) << "a closed file keeps its claim";
}

TEST_F(UsbfsBus, FtdiReadDataDeliversThePattern) {
    open_streaming();
    std::vector<unsigned char> got;
    std::vector<unsigned char> chunk(4096);
    while (got.size() < 200000) {
        const int n = ftdi_read_data(session->ctx, chunk.data(), static_cast<int>(chunk.size()));
        ASSERT_GE(n, 0) << ftdi_get_error_string(session->ctx);
        got.insert(got.end(), chunk.begin(), chunk.begin() + n);
    }
    EXPECT_TRUE(got == pattern_bytes(0, got.size()));
}

// 32 queued transfers of 64 KiB, resubmitted as they complete: the stream arrives whole, whatever the port's
// packet size and however libusb splits the transfers into URBs.
class UsbfsStream : public UsbfsBus, public ::testing::WithParamInterface<const char *> {};

TEST_P(UsbfsStream, QueuedTransfersDeliverTheStreamWhole) {
    configure(GetParam());
    open_streaming();
    const int packet = static_cast<int>(session->ctx->max_packet_size);
    const std::size_t wanted = std::strstr(GetParam(), "unlimited") != nullptr ? 20'000'000 : 200'000;
    std::vector<std::unique_ptr<Async>> transfers;
    for (int i = 0; i < 32; ++i) {
        transfers.push_back(std::make_unique<Async>(handle()));
        ASSERT_EQ(transfers.back()->submit(), 0);
    }
    std::vector<unsigned char> stream;
    stream.reserve(wanted + 65536);
    std::size_t next = 0; // transfers complete in submission order on one endpoint
    const auto start = Clock::now();
    timeval tick{0, 10000};
    while (stream.size() < wanted && Clock::now() - start < std::chrono::seconds(30)) {
        libusb_handle_events_timeout(usb(), &tick);
        while (transfers[next]->done) {
            Async &t = *transfers[next];
            ASSERT_EQ(t.transfer->status, LIBUSB_TRANSFER_COMPLETED);
            for (int at = 0; at < t.transfer->actual_length; at += packet) {
                const int end = std::min(t.transfer->actual_length, at + packet);
                ASSERT_EQ(t.buffer[static_cast<std::size_t>(at)], 0x01);
                stream.insert(stream.end(), t.buffer.begin() + at + 2, t.buffer.begin() + end);
            }
            ASSERT_EQ(t.submit(), 0);
            next = (next + 1) % transfers.size();
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%s: %.1f MB/s\n", GetParam(), static_cast<double>(stream.size()) / seconds / 1e6);
    ASSERT_GE(stream.size(), wanted);
    EXPECT_TRUE(stream == pattern_bytes(0, stream.size()));
    for (auto &t : transfers) {
        libusb_cancel_transfer(t->transfer);
    }
    drain(transfers);
}

INSTANTIATE_TEST_SUITE_P(Ports, UsbfsStream,
                         ::testing::Values("board,rate=unlimited", "board,rate=unlimited,speed=full",
                                           "board,rate=unlimited,sg=0",
                                           // short URBs in split transfers: the rest of each transfer is unlinked
                                           "board,rate=2e6,sg=0,fifo=100000000"));

TEST_F(UsbfsBus, AStallHaltsTheEndpointUntilTheHostClearsIt) {
    open_streaming();
    ASSERT_EQ(pcb_roq_sim_stall_bulk_in(0, 1), 0);
    std::vector<unsigned char> data(4096);
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle(), 0x81, data.data(), 4096, &got, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(handle(), 0x81, data.data(), 4096, &got, 1000), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_clear_halt(handle(), 0x81), 0);
    EXPECT_EQ(libusb_bulk_transfer(handle(), 0x81, data.data(), 4096, &got, 1000), 0);
    EXPECT_EQ(got, 4096);
}

TEST_F(UsbfsBus, AFailedReadIsATransactionError) {
    open_streaming();
    ASSERT_EQ(pcb_roq_sim_fail_bulk_read(0, 1, LIBUSB_ERROR_IO), 0);
    std::vector<unsigned char> data(4096);
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle(), 0x81, data.data(), 4096, &got, 1000), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_bulk_transfer(handle(), 0x81, data.data(), 4096, &got, 1000), 0);
}

TEST_F(UsbfsBus, TheUrbMemoryLimitRefusesSubmissions) {
    configure("board,paused");
    ASSERT_EQ(pcb_roq_sim_set_latency_scale(100), 0); // nothing completes while the test looks
    open_streaming();
    ASSERT_EQ(pcb_roq_sim_set_urb_memory_limit(3 * 65536), 0);
    std::vector<std::unique_ptr<Async>> transfers;
    for (int i = 0; i < 3; ++i) {
        transfers.push_back(std::make_unique<Async>(handle()));
        ASSERT_EQ(transfers.back()->submit(), 0);
    }
    Async refused(handle());
    EXPECT_EQ(refused.submit(), LIBUSB_ERROR_NO_MEM);
    for (auto &t : transfers) {
        libusb_cancel_transfer(t->transfer);
    }
    drain(transfers);
}

TEST_F(UsbfsBus, ACancelThatLosesTheRaceReportsTheTransferCompleted) {
    configure("board,paused");
    open_streaming();
    // Completed (status bytes only, at the latency timer) but not reaped: the discard comes too late.
    std::vector<std::unique_ptr<Async>> transfers;
    transfers.push_back(std::make_unique<Async>(handle()));
    ASSERT_EQ(transfers[0]->submit(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(libusb_cancel_transfer(transfers[0]->transfer), LIBUSB_ERROR_NOT_FOUND);
    drain(transfers);
    EXPECT_EQ(transfers[0]->transfer->status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(transfers[0]->transfer->actual_length, 2);
    // In flight with data, and the discard switched to lose: completed with what it holds.
    ASSERT_EQ(pcb_roq_sim_set_latency_scale(100), 0);
    ASSERT_EQ(pcb_roq_sim_race_discard(0, 1), 0);
    ASSERT_EQ(pcb_roq_sim_set_rate(0, 1e6), 0);
    ASSERT_EQ(pcb_roq_sim_pause(0, 0), 0);
    ASSERT_EQ(transfers[0]->submit(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(libusb_cancel_transfer(transfers[0]->transfer), LIBUSB_ERROR_NOT_FOUND);
    drain(transfers);
    EXPECT_EQ(transfers[0]->transfer->status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_GT(transfers[0]->transfer->actual_length, 2);
    ASSERT_EQ(pcb_roq_sim_race_discard(0, 0), 0);
}

TEST_F(UsbfsBus, ADiscardCanComeBackLate) {
    configure("board,paused");
    ASSERT_EQ(pcb_roq_sim_set_latency_scale(100), 0);
    open_streaming();
    ASSERT_EQ(pcb_roq_sim_delay_discard(0, 300), 0);
    std::vector<std::unique_ptr<Async>> transfers;
    transfers.push_back(std::make_unique<Async>(handle()));
    ASSERT_EQ(transfers[0]->submit(), 0);
    // Taken before the cancel: the delay runs from when the emulated kernel receives it, inside the call.
    const auto cancelled = Clock::now();
    ASSERT_EQ(libusb_cancel_transfer(transfers[0]->transfer), 0);
    drain(transfers);
    EXPECT_GE(Clock::now() - cancelled, std::chrono::milliseconds(300));
    EXPECT_EQ(transfers[0]->transfer->status, LIBUSB_TRANSFER_CANCELLED);
}

TEST_F(UsbfsBus, AnUnplugFailsTheActiveUrbThenReportsNoDevice) {
    configure("board,paused");
    ASSERT_EQ(pcb_roq_sim_set_latency_scale(100), 0);
    open_streaming();
    std::vector<std::unique_ptr<Async>> transfers;
    for (int i = 0; i < 4; ++i) {
        transfers.push_back(std::make_unique<Async>(handle()));
        ASSERT_EQ(transfers.back()->submit(), 0);
    }
    ASSERT_EQ(pcb_roq_sim_unplug(0, 0), 0);
    drain(transfers);
    EXPECT_EQ(transfers[0]->transfer->status, LIBUSB_TRANSFER_ERROR);
    for (std::size_t i = 1; i < transfers.size(); ++i) {
        EXPECT_EQ(transfers[i]->transfer->status, LIBUSB_TRANSFER_NO_DEVICE) << i;
    }
    EXPECT_EQ(transfers[0]->submit(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(stats().plugged, 0);
}

} // namespace
