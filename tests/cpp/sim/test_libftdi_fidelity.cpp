// The simulator as libftdi sees it, exercised with libftdi's own functions only.
#include <chrono>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "libftdi_session.hpp"
#include "sim_test_support.hpp"

namespace {

using LibftdiFidelity = SimTest;

TEST_F(LibftdiFidelity, LibftdiBindsToTheSimulator) {
    // Nothing but the simulator can show this board or count this context.
    const auto before = totals().inits;
    LibftdiSession session;
    ASSERT_NE(session.ctx, nullptr);
    EXPECT_EQ(totals().inits, before + 1);
    ftdi_device_list *list = nullptr;
    EXPECT_EQ(ftdi_usb_find_all(session.ctx, &list, 0, 0), 1);
    ftdi_list_free(&list);
}

TEST_F(LibftdiFidelity, FindAllListsExactlyTheDefaultSetInBusOrder) {
    configure("pid=0x6001,serial=A;pid=0x6002,serial=no;pid=0x6010,serial=B;vid=0x0404,serial=no;"
              "pid=0x6011,serial=C;pid=0x6014,serial=D;pid=0x6015,serial=E;pid=0x6016,serial=no");
    LibftdiSession session;
    ftdi_device_list *list = nullptr;
    ASSERT_EQ(ftdi_usb_find_all(session.ctx, &list, 0, 0), 5);
    std::vector<std::string> serials;
    for (ftdi_device_list *entry = list; entry != nullptr; entry = entry->next) {
        char serial[128] = {};
        EXPECT_EQ(ftdi_usb_get_strings(session.ctx, entry->dev, nullptr, 0, nullptr, 0, serial, sizeof serial), 0);
        serials.emplace_back(serial);
    }
    ftdi_list_free(&list);
    EXPECT_EQ(serials, (std::vector<std::string>{"A", "B", "C", "D", "E"}));
}

TEST_F(LibftdiFidelity, GetStringsReturnsEveryStringAndEmptyForMissingOnes) {
    configure("serial=SIM0001;manufacturer=ACME,noproduct,noserial;noserial");
    LibftdiSession session;
    DeviceList list;
    ASSERT_EQ(ftdi_usb_find_all(session.ctx, &list.head, 0, 0), 3);
    ftdi_device_list *const full = list.head, *const bare = full->next, *const unnamed = bare->next;
    char manufacturer[128];
    char product[128];
    char serial[128];
    ASSERT_EQ(ftdi_usb_get_strings(session.ctx, full->dev, manufacturer, 128, product, 128, serial, 128), 0);
    EXPECT_STREQ(manufacturer, "ZUM");
    EXPECT_STREQ(product, "PCB_ROQ");
    EXPECT_STREQ(serial, "SIM0001");

    // Allowed difference: libftdi 1.5 stops at the first missing string with its error code, 1.6 reads it as "".
    std::memset(product, 'x', sizeof product);
    std::memset(serial, 'x', sizeof serial);
    const int missing = ftdi_usb_get_strings(session.ctx, bare->dev, manufacturer, 128, product, 128, serial, 128);
    EXPECT_STREQ(manufacturer, "ACME");
    if (missing == 0) {
        EXPECT_STREQ(product, "");
        EXPECT_STREQ(serial, "");
    } else {
        EXPECT_EQ(missing, -8); // the product string
        EXPECT_EQ(product[0], 'x');
    }

    // Either way a zero-filled buffer reads as "" for a device without a serial: the search relies on this.
    char unnamed_serial[128] = {};
    const int only_serial =
        ftdi_usb_get_strings(session.ctx, unnamed->dev, nullptr, 0, nullptr, 0, unnamed_serial, 128);
    EXPECT_TRUE(only_serial == 0 || only_serial == -9) << only_serial; // -9: the serial string, libftdi 1.5
    EXPECT_STREQ(unnamed_serial, "");

    // libftdi opened each device to read its strings and closed it again, whether or not a string was missing.
    for (int device = 0; device < 3; ++device) {
        EXPECT_EQ(stats(device).opens, 1) << device;
        EXPECT_EQ(stats(device).closes, 1) << device;
    }
}

TEST_F(LibftdiFidelity, OpenDevSeesA232HWith512BytePackets) {
    LibftdiSession session;
    ASSERT_EQ(session.open(), 0);
    EXPECT_EQ(session.ctx->type, TYPE_232H);
    EXPECT_EQ(session.ctx->max_packet_size, 512U);
    const auto s = stats();
    EXPECT_EQ(s.claimed_interface, 0);
    EXPECT_EQ(s.resets, 1);
    EXPECT_EQ(s.baud_rate_requests, 1);
    EXPECT_EQ(s.configuration, 1);
}

TEST_F(LibftdiFidelity, ReadDataReturnsTheStreamByteForByteWithoutStatusBytes) {
    LibftdiSession session;
    ASSERT_EQ(session.open_streaming(), 0);
    // Sizes that straddle packets and libftdi's 4096-byte chunks in every way.
    std::vector<unsigned char> received;
    for (int size : {1, 11, 510, 511, 4080, 4096, 12 * 4096, 7}) {
        std::vector<unsigned char> buffer(static_cast<std::size_t>(size));
        ASSERT_EQ(ftdi_read_data(session.ctx, buffer.data(), size), size);
        received.insert(received.end(), buffer.begin(), buffer.end());
    }
    EXPECT_EQ(received, pattern_bytes(0, received.size()));
    const auto s = stats();
    EXPECT_EQ(s.bit_mode, BITMODE_SYNCFF);
    EXPECT_EQ(s.bit_mask, 0xFF);
    EXPECT_EQ(s.bytes_lost, 0);
}

TEST_F(LibftdiFidelity, ReadDataReturnsShortWhenTheChipRunsDry) {
    configure("raw=F00F0102030405060708090A");
    LibftdiSession session;
    ASSERT_EQ(session.open_streaming(), 0);
    unsigned char buffer[100] = {};
    ASSERT_EQ(ftdi_read_data(session.ctx, buffer, sizeof buffer), 12);
    EXPECT_EQ(buffer[0], 0xF0);
    EXPECT_EQ(buffer[11], 0x0A);
    EXPECT_EQ(ftdi_read_data(session.ctx, buffer, sizeof buffer), 0);
    EXPECT_GE(stats().status_only_packets, 1);
}

TEST_F(LibftdiFidelity, NoStreamBeforeSynchronousFifoMode) {
    LibftdiSession session;
    ASSERT_EQ(session.open(), 0);
    unsigned char buffer[64];
    EXPECT_EQ(ftdi_read_data(session.ctx, buffer, sizeof buffer), 0);
    ASSERT_EQ(ftdi_set_bitmode(session.ctx, 0xFF, BITMODE_SYNCFF), 0);
    EXPECT_EQ(ftdi_read_data(session.ctx, buffer, sizeof buffer), 64);
}

TEST_F(LibftdiFidelity, FlushesReachTheChipAsPurgeRequests) {
    LibftdiSession session;
    ASSERT_EQ(session.open_streaming(), 0);
    EXPECT_EQ(ftdi_tcioflush(session.ctx), 0);
    EXPECT_EQ(ftdi_tciflush(session.ctx), 0);
    EXPECT_EQ(ftdi_tcoflush(session.ctx), 0);
    const auto s = stats();
    EXPECT_EQ(s.purges_rx, 2);
    EXPECT_EQ(s.purges_tx, 2);
}

TEST_F(LibftdiFidelity, LatencyTimerIsSetAndReadBack) {
    LibftdiSession session;
    ASSERT_EQ(session.open(), 0);
    unsigned char latency = 0;
    ASSERT_EQ(ftdi_get_latency_timer(session.ctx, &latency), 0);
    EXPECT_EQ(latency, 16); // the chip's power-up value
    ASSERT_EQ(ftdi_set_latency_timer(session.ctx, 255), 0);
    ASSERT_EQ(ftdi_get_latency_timer(session.ctx, &latency), 0);
    EXPECT_EQ(latency, 255);
    EXPECT_EQ(stats().latency_timer, 255);
}

TEST_F(LibftdiFidelity, AsynchronousReadsDeliverTheSameStream) {
    LibftdiSession session;
    ASSERT_EQ(session.open_streaming(), 0);
    std::vector<unsigned char> buffer(30000);
    ftdi_transfer_control *tc = ftdi_read_data_submit(session.ctx, buffer.data(), static_cast<int>(buffer.size()));
    ASSERT_NE(tc, nullptr);
    ASSERT_EQ(ftdi_transfer_data_done(tc), static_cast<int>(buffer.size()));
    EXPECT_EQ(buffer, pattern_bytes(0, buffer.size()));
}

TEST_F(LibftdiFidelity, AsynchronousWritesReachTheChip) {
    LibftdiSession session;
    ASSERT_EQ(session.open_streaming(), 0);
    std::vector<unsigned char> bytes(10000, 0x55);
    ftdi_transfer_control *tc = ftdi_write_data_submit(session.ctx, bytes.data(), static_cast<int>(bytes.size()));
    ASSERT_NE(tc, nullptr);
    EXPECT_EQ(ftdi_transfer_data_done(tc), 10000);
    EXPECT_EQ(ftdi_write_data(session.ctx, bytes.data(), 100), 100);
    EXPECT_EQ(stats().bytes_written, 10100);
}

TEST_F(LibftdiFidelity, CancellingAnAsynchronousReadCompletesIt) {
    ASSERT_EQ(pcb_roq_sim_pause(0, 1), 0);
    LibftdiSession session;
    ASSERT_EQ(session.open_streaming(), 0);
    std::vector<unsigned char> buffer(4096);
    ftdi_transfer_control *tc = ftdi_read_data_submit(session.ctx, buffer.data(), static_cast<int>(buffer.size()));
    ASSERT_NE(tc, nullptr);
    timeval timeout{1, 0};
    ftdi_transfer_data_cancel(tc, &timeout); // frees tc and its transfer; the fixture checks nothing is left
}

TEST_F(LibftdiFidelity, ContextThatCannotInitialiseIsNull) {
    ASSERT_EQ(pcb_roq_sim_fail_init(1), 0);
    EXPECT_EQ(ftdi_new(), nullptr);
    EXPECT_EQ(totals().init_failures, 1);
    LibftdiSession second;
    EXPECT_NE(second.ctx, nullptr);
}

} // namespace
