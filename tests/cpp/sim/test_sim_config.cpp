// The device-list grammar and the control API's answers to bad input.
#include <string>

#include <gtest/gtest.h>

#include "sim_test_support.hpp"
#include "usb_session.hpp"

namespace {

using SimConfig = SimTest;

std::string serial_of(libusb_device *device) {
    libusb_device_handle *handle = nullptr;
    if (libusb_open(device, &handle) != 0) {
        return "<unopenable>";
    }
    unsigned char text[128] = {};
    const int n = libusb_get_string_descriptor_ascii(handle, 3, text, sizeof text);
    libusb_close(handle);
    return n < 0 ? "<none>" : std::string(reinterpret_cast<char *>(text), static_cast<std::size_t>(n));
}

TEST_F(SimConfig, EntriesWithoutSerialAreNumberedByPosition) {
    configure(" board ; serial=X ; board ;");
    UsbSession session;
    ASSERT_EQ(session.count, 3);
    EXPECT_EQ(serial_of(session.list[0]), "SIM0001");
    EXPECT_EQ(serial_of(session.list[1]), "X");
    EXPECT_EQ(serial_of(session.list[2]), "SIM0003");
}

TEST_F(SimConfig, PercentEscapesCarryAnyByte) {
    configure("serial=a%2Cb%3Bc%25");
    UsbSession session;
    EXPECT_EQ(serial_of(session.list[0]), "a,b;c%");
    EXPECT_EQ(pcb_roq_sim_find("a,b;c%"), 0);
}

TEST_F(SimConfig, AnEmptySpecMeansAnEmptyBus) {
    configure("");
    EXPECT_EQ(pcb_roq_sim_device_count(), 0);
    UsbSession session;
    EXPECT_EQ(session.count, 0);
}

TEST_F(SimConfig, MistakesAreRefusedWithAReasonAndChangeNothing) {
    for (const char *bad : {"serial=A;;serial=B", "colour=red", "vid=0x10000", "rate=-1", "fifo=0", "raw=ABC",
                            "serial=%G0", "frobnicate", "first_frame=4294967296"}) {
        EXPECT_EQ(pcb_roq_sim_configure(bad), -1) << bad;
        EXPECT_STRNE(pcb_roq_sim_last_error(), "") << bad;
        EXPECT_EQ(pcb_roq_sim_device_count(), 1) << bad;
    }
    EXPECT_EQ(pcb_roq_sim_get_device_stats(7, nullptr), -1);
    pcb_roq_sim_device_stats s{};
    EXPECT_EQ(pcb_roq_sim_get_device_stats(7, &s), -1);
    EXPECT_EQ(pcb_roq_sim_set_latency_scale(0), -1);
    EXPECT_EQ(pcb_roq_sim_set_fifo_size(0, 0), -1);
    EXPECT_EQ(pcb_roq_sim_fail_bulk_read(0, 1, 0), -1);
    EXPECT_EQ(pcb_roq_sim_unplug(0, -1), -1);
}

TEST_F(SimConfig, AddedDevicesComeLastAndFindLooksThemUp) {
    EXPECT_EQ(pcb_roq_sim_add_device("serial=LATE"), 1);
    EXPECT_EQ(pcb_roq_sim_add_device("noserial"), 2);
    EXPECT_EQ(pcb_roq_sim_add_device("board;board"), -1);
    EXPECT_EQ(pcb_roq_sim_find("LATE"), 1);
    EXPECT_EQ(pcb_roq_sim_find(nullptr), 2);
    EXPECT_EQ(pcb_roq_sim_find("MISSING"), -1);
}

TEST_F(SimConfig, ReconfiguringUnplugsDevicesStillOpen) {
    UsbSession session;
    ASSERT_EQ(session.open(), 0);
    configure("board");
    unsigned char data[1];
    EXPECT_EQ(libusb_control_transfer(session.handle, 0xC0, 0x0A, 0, 1, data, 1, 0), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(SimConfig, StructSizesMatchTheHeader) {
    EXPECT_EQ(pcb_roq_sim_stats_size(), sizeof(pcb_roq_sim_stats));
    EXPECT_EQ(pcb_roq_sim_device_stats_size(), sizeof(pcb_roq_sim_device_stats));
}

} // namespace
