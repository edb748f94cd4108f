// libusb's calling conventions as libftdi relies on them: lists, references, descriptors, errors.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "sim_test_support.hpp"
#include "usb_session.hpp"

namespace {

using UsbSemantics = SimTest;

TEST_F(UsbSemantics, DeviceListIsNullTerminatedAndEveryReferenceIsCounted) {
    configure("board;board;pid=0x1234");
    {
        UsbSession session;
        ASSERT_EQ(session.count, 3);
        EXPECT_EQ(session.list[3], nullptr);
        EXPECT_EQ(totals().live_devices, 3);
        libusb_device *kept = libusb_ref_device(session.list[1]);
        libusb_free_device_list(session.list, 1);
        session.list = nullptr;
        EXPECT_EQ(totals().live_devices, 1);
        libusb_device_descriptor descriptor{};
        EXPECT_EQ(libusb_get_device_descriptor(kept, &descriptor), 0);
        EXPECT_EQ(descriptor.idProduct, 0x6014);
        libusb_unref_device(kept);
    }
    EXPECT_EQ(totals().live_devices, 0);
}

TEST_F(UsbSemantics, DeviceDescriptorNamesTheStringsThatExist) {
    configure("noserial,nomanufacturer,bcd=0x0700");
    UsbSession session;
    libusb_device_descriptor descriptor{};
    ASSERT_EQ(libusb_get_device_descriptor(session.list[0], &descriptor), 0);
    EXPECT_EQ(descriptor.idVendor, 0x0403);
    EXPECT_EQ(descriptor.bcdDevice, 0x0700);
    EXPECT_EQ(descriptor.iManufacturer, 0);
    EXPECT_EQ(descriptor.iProduct, 2);
    EXPECT_EQ(descriptor.iSerialNumber, 0);
    EXPECT_EQ(descriptor.bNumConfigurations, 1);
}

TEST_F(UsbSemantics, ConfigDescriptorHasOneInterfaceWithTwoBulkEndpoints) {
    UsbSession session;
    libusb_config_descriptor *config = nullptr;
    EXPECT_EQ(libusb_get_config_descriptor(session.list[0], 1, &config), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_EQ(libusb_get_config_descriptor(session.list[0], 0, &config), 0);
    EXPECT_EQ(config->bConfigurationValue, 1);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface_descriptor &setting = config->interface[0].altsetting[0];
    ASSERT_EQ(setting.bNumEndpoints, 2);
    EXPECT_EQ(setting.endpoint[0].bEndpointAddress, 0x81);
    EXPECT_EQ(setting.endpoint[1].bEndpointAddress, 0x02);
    EXPECT_EQ(setting.endpoint[0].wMaxPacketSize, 512);
    EXPECT_EQ(setting.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
    libusb_free_config_descriptor(config);
}

TEST_F(UsbSemantics, StringDescriptorAsciiCountsTruncatesAndTerminates) {
    configure("serial=ABCDEFGH,product=caf%C3%A9");
    UsbSession session;
    ASSERT_EQ(session.open(), 0);
    unsigned char text[16];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(session.handle, 3, text, 4), 3);
    EXPECT_STREQ(reinterpret_cast<char *>(text), "ABC");
    EXPECT_EQ(text[4], 'x');
    EXPECT_EQ(libusb_get_string_descriptor_ascii(session.handle, 3, text, sizeof text), 8);
    EXPECT_STREQ(reinterpret_cast<char *>(text), "ABCDEFGH");
    EXPECT_EQ(libusb_get_string_descriptor_ascii(session.handle, 3, text, 1), 0);
    EXPECT_EQ(text[0], '\0');
    // A character beyond ASCII comes out as '?', as libusb converts it.
    EXPECT_EQ(libusb_get_string_descriptor_ascii(session.handle, 2, text, sizeof text), 4);
    EXPECT_STREQ(reinterpret_cast<char *>(text), "caf?");
    EXPECT_EQ(libusb_get_string_descriptor_ascii(session.handle, 0, text, sizeof text), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(session.handle, 9, text, sizeof text), LIBUSB_ERROR_PIPE);
}

TEST_F(UsbSemantics, LongStringsStopWhereADescriptorEnds) {
    const std::string serial(200, 'S');
    configure(("serial=" + serial).c_str());
    UsbSession session;
    ASSERT_EQ(session.open(), 0);
    unsigned char text[256];
    EXPECT_EQ(libusb_get_string_descriptor_ascii(session.handle, 3, text, sizeof text), 126);
}

TEST_F(UsbSemantics, RefusedOpenIsAnAccessErrorAndIsCounted) {
    configure("refuse");
    UsbSession session;
    EXPECT_EQ(session.open(), LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(session.handle, nullptr);
    EXPECT_EQ(stats().open_refusals, 1);
    EXPECT_EQ(stats().opens, 0);
    ASSERT_EQ(pcb_roq_sim_refuse_open(0, 0), 0);
    EXPECT_EQ(session.open(), 0);
}

TEST_F(UsbSemantics, OnlyOneHandleCanClaimTheInterface) {
    UsbSession first;
    UsbSession second;
    ASSERT_EQ(first.open(), 0);
    ASSERT_EQ(second.open(), 0);
    EXPECT_EQ(libusb_claim_interface(first.handle, 1), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_EQ(libusb_claim_interface(first.handle, 0), 0);
    EXPECT_EQ(libusb_claim_interface(second.handle, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_release_interface(second.handle, 0), LIBUSB_ERROR_NOT_FOUND);
    libusb_close(first.handle); // closing releases the claim
    first.handle = nullptr;
    EXPECT_EQ(stats().claimed_interface, -1);
    EXPECT_EQ(libusb_claim_interface(second.handle, 0), 0);
    EXPECT_EQ(stats().claimed_interface, 0);
}

TEST_F(UsbSemantics, UnpluggedDeviceFailsEveryCallAndLeavesTheList) {
    UsbSession session;
    ASSERT_EQ(session.open(), 0);
    ASSERT_EQ(pcb_roq_sim_unplug(0, 0), 0);
    unsigned char data[512];
    int transferred = -1;
    int configuration = 0;
    EXPECT_EQ(libusb_bulk_transfer(session.handle, 0x81, data, 512, &transferred, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(transferred, 0);
    EXPECT_EQ(libusb_control_transfer(session.handle, 0x40, 0, 0, 1, nullptr, 0, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(session.handle, 3, data, 64), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_get_configuration(session.handle, &configuration), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_claim_interface(session.handle, 0), LIBUSB_ERROR_NO_DEVICE);
    libusb_device_handle *again = nullptr;
    EXPECT_EQ(libusb_open(session.list[0], &again), LIBUSB_ERROR_NO_DEVICE);
    UsbSession later;
    EXPECT_EQ(later.count, 0);
    EXPECT_EQ(stats().plugged, 0);
}

TEST_F(UsbSemantics, ReplugShowsANewDeviceWhileOldHandlesStayDead) {
    UsbSession session;
    ASSERT_EQ(session.open(), 0);
    const auto old_address = libusb_get_device_address(session.list[0]);
    ASSERT_EQ(pcb_roq_sim_unplug(0, 0), 0);
    ASSERT_EQ(pcb_roq_sim_replug(0), 0);
    unsigned char data[8];
    EXPECT_EQ(libusb_control_transfer(session.handle, 0xC0, 0x0A, 0, 1, data, 1, 0), LIBUSB_ERROR_NO_DEVICE);
    UsbSession later;
    ASSERT_EQ(later.count, 1);
    EXPECT_NE(libusb_get_device_address(later.list[0]), old_address);
    ASSERT_EQ(later.open(), 0);
    EXPECT_EQ(libusb_control_transfer(later.handle, 0xC0, 0x0A, 0, 1, data, 1, 0), 1);
    EXPECT_EQ(data[0], 16); // a power cycle brings the latency timer back to its default
}

TEST_F(UsbSemantics, UnplugAfterADelayWakesABlockedRead) {
    ASSERT_EQ(pcb_roq_sim_set_latency_scale(1000), 0); // an idle chip would answer after minutes
    ASSERT_EQ(pcb_roq_sim_pause(0, 1), 0);
    UsbSession session;
    ASSERT_EQ(session.open(), 0);
    ASSERT_EQ(pcb_roq_sim_unplug(0, 30), 0);
    unsigned char data[512];
    int transferred = -1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(libusb_bulk_transfer(session.handle, 0x81, data, 512, &transferred, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(UsbSemantics, BulkReadTimesOutWithTheTransfersTimeout) {
    ASSERT_EQ(pcb_roq_sim_set_latency_scale(1000), 0);
    UsbSession session;
    ASSERT_EQ(session.open(), 0);
    unsigned char data[512];
    int transferred = -1;
    EXPECT_EQ(libusb_bulk_transfer(session.handle, 0x81, data, 512, &transferred, 20), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(transferred, 0);
}

TEST_F(UsbSemantics, TheNthBulkReadFails) {
    UsbSession session;
    ASSERT_EQ(session.open(), 0);
    ASSERT_EQ(pcb_roq_sim_fail_bulk_read(0, 2, LIBUSB_ERROR_IO), 0);
    unsigned char data[512];
    int transferred = 0;
    EXPECT_EQ(libusb_bulk_transfer(session.handle, 0x81, data, 512, &transferred, 0), 0);
    EXPECT_EQ(libusb_bulk_transfer(session.handle, 0x81, data, 512, &transferred, 0), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_bulk_transfer(session.handle, 0x81, data, 512, &transferred, 0), 0);
    EXPECT_EQ(stats().bulk_reads, 3);
    EXPECT_EQ(stats().bulk_read_errors, 1);
}

TEST_F(UsbSemantics, UnknownVendorRequestsStall) {
    UsbSession session;
    ASSERT_EQ(session.open(), 0);
    unsigned char data[2];
    EXPECT_EQ(libusb_control_transfer(session.handle, 0xC0, 0x05, 0, 1, data, 2, 0), 2);
    EXPECT_EQ(data[0], 0x01);
    EXPECT_EQ(data[1], 0x60);
    EXPECT_EQ(libusb_control_transfer(session.handle, 0xC0, 0x77, 0, 1, data, 2, 0), LIBUSB_ERROR_PIPE);
}

TEST_F(UsbSemantics, ContextsAndTheDefaultContextAreCounted) {
    ASSERT_EQ(libusb_init(nullptr), 0);
    ASSERT_EQ(libusb_init(nullptr), 0);
    EXPECT_EQ(totals().live_contexts, 2);
    libusb_exit(nullptr);
    libusb_exit(nullptr);
    EXPECT_EQ(totals().live_contexts, 0);
    ASSERT_EQ(pcb_roq_sim_fail_init(-1), 0);
    libusb_context *ctx = nullptr;
    EXPECT_EQ(libusb_init(&ctx), LIBUSB_ERROR_OTHER);
    EXPECT_EQ(libusb_init(&ctx), LIBUSB_ERROR_OTHER);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_EQ(totals().init_failures, 2);
}

} // namespace
