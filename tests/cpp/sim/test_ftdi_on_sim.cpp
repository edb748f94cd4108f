// The FTDI access layer (FtdiDriver, FtdiDevice, the board search) against the simulated bus.
#include <chrono>
#include <functional>
#include <thread>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libusb.h>

#include "ftdi/ftdi_device.hpp"
#include "ftdi/ftdi_driver.hpp"
#include "returns_within.hpp"
#include "sim_test_support.hpp"

namespace {

using Serials = std::vector<std::string>;

Serials list_boards() { return FtdiDriver::find_by_manufacturer_and_description("ZUM", "PCB_ROQ"); }

// The device's blocking calls, each failing the test by itself should it never return.
int streaming_read(PcbRoqDevice &device, unsigned char *buffer, int size) {
    return returns_within("a streaming read of " + std::to_string(size) + " bytes",
                          [&] { return device.read(buffer, size); });
}

int raw_read(PcbRoqDevice &device, unsigned char *buffer, int size) {
    return returns_within("a raw read of " + std::to_string(size) + " bytes",
                          [&] { return device.read_once(buffer, size); });
}

void halt(PcbRoqDevice &device) {
    returns_within("a halt of the reads (cancelled transfers coming back)", [&] { device.halt_reads(); });
}

void expect_null_context_error(const std::function<void()> &call) {
    try {
        call();
        ADD_FAILURE() << "expected the null-context error";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "Can't call libftdi function, ctx handle is null");
    }
}

using BoardSearch = SimTest;

TEST_F(BoardSearch, FindsTheDefaultBoard) { EXPECT_EQ(list_boards(), Serials{"SIM0001"}); }

TEST_F(BoardSearch, EmptyBusListsNothingAndOpensNothing) {
    configure("");
    EXPECT_EQ(list_boards(), Serials{});
    PcbRoqDevice device("SIM0001");
    EXPECT_FALSE(device.opened());
}

TEST_F(BoardSearch, BoardsComeInBusOrderAndOtherDevicesAreLeftOut) {
    configure("serial=B2;manufacturer=OTHER,serial=X;serial=A1;product=SOMETHING,serial=Y;pid=0x6001,serial=C3");
    EXPECT_EQ(list_boards(), (Serials{"B2", "A1", "C3"}));
}

TEST_F(BoardSearch, StringsThatBeginWithTheWantedTextsMatch) {
    configure("manufacturer=ZUMX,product=PCB_ROQ rev B,serial=LONG;manufacturer=ZU,serial=SHORT;"
              "product=PCB_RO,serial=SHORTER");
    EXPECT_EQ(list_boards(), Serials{"LONG"});
}

TEST_F(BoardSearch, BoardWithoutSerialIsListedAsEmpty) {
    configure("noserial");
    EXPECT_EQ(list_boards(), Serials{""});
}

TEST_F(BoardSearch, AMissingStringReadsAsEmptyAndTheOthersStillCount) {
    configure("nomanufacturer,serial=NOMAKER;noproduct,serial=NOPRODUCT;nomanufacturer,noproduct,serial=BARE");
    EXPECT_EQ(FtdiDriver::find_by_manufacturer_and_description("", "PCB_ROQ"), Serials{"NOMAKER"});
    EXPECT_EQ(FtdiDriver::find_by_manufacturer_and_description("ZUM", ""), Serials{"NOPRODUCT"});
    EXPECT_EQ(FtdiDriver::find_by_manufacturer_and_description("", ""), (Serials{"NOMAKER", "NOPRODUCT", "BARE"}));
}

TEST_F(BoardSearch, UnreadableStringsKeepADeviceOut) {
    configure("serial=LOCKED,refuse;serial=OPEN");
    EXPECT_EQ(list_boards(), Serials{"OPEN"});
}

TEST_F(BoardSearch, UnpluggedBoardLeavesTheListAndReturnsOnReplug) {
    configure("serial=A;serial=B");
    ASSERT_EQ(pcb_roq_sim_unplug(0, 0), 0);
    EXPECT_EQ(list_boards(), Serials{"B"});
    ASSERT_EQ(pcb_roq_sim_replug(0), 0);
    EXPECT_EQ(list_boards(), (Serials{"A", "B"}));
}

TEST_F(BoardSearch, NoLibusbMeansNoBoardsAndNoThrow) {
    if (!on_stand_in()) {
        GTEST_SKIP() << "the real libusb's init cannot be failed, nor its objects counted";
    }
    ASSERT_EQ(pcb_roq_sim_fail_init(-1), 0);
    EXPECT_EQ(list_boards(), Serials{});
}

using DeviceOpening = SimTest;

TEST_F(DeviceOpening, OpeningConfiguresTheChipForTheBoard) {
    {
        PcbRoqDevice device("SIM0001");
        ASSERT_TRUE(device.opened());
        const auto s = stats();
        EXPECT_EQ(s.claimed_interface, 0);
        EXPECT_EQ(s.bit_mode, 0x40);
        EXPECT_EQ(s.bit_mask, 0xFF);
        EXPECT_EQ(s.latency_timer, 255);
    }
    EXPECT_EQ(stats().claimed_interface, -1);
}

TEST_F(DeviceOpening, ASerialPrefixOpensTheFirstDeviceThatStartsWithIt) {
    configure("serial=ABC1;serial=AB");
    PcbRoqDevice device("AB");
    ASSERT_TRUE(device.opened());
    EXPECT_EQ(stats(0).bit_mode, 0x40);
    EXPECT_EQ(stats(1).bit_mode, 0);
    EXPECT_EQ(device.serial_number(), "AB");
}

TEST_F(DeviceOpening, SerialsOf128CharactersOrMoreMatchNothing) {
    configure(("serial=" + std::string(120, 'S')).c_str());
    EXPECT_TRUE(PcbRoqDevice(std::string(120, 'S')).opened());
    EXPECT_FALSE(PcbRoqDevice(std::string(128, 'S')).opened());
    EXPECT_FALSE(PcbRoqDevice(std::string(300, 'S')).opened());
}

TEST_F(DeviceOpening, EmptySerialOpensTheFirstDeviceOfTheDefaultSetWhateverItsStrings) {
    configure("vid=0x0404,serial=NOTFTDI;manufacturer=OTHER,product=THING,serial=FIRST,pid=0x6010;serial=BOARD");
    PcbRoqDevice device("");
    ASSERT_TRUE(device.opened());
    EXPECT_EQ(stats(0).opens, 0);
    EXPECT_EQ(stats(1).bit_mode, 0x40);
    EXPECT_EQ(stats(2).bit_mode, 0);
}

TEST_F(DeviceOpening, UnknownSerialGivesAnUnopenedDevice) {
    PcbRoqDevice device("NOPE");
    EXPECT_FALSE(device.opened());
    unsigned char byte = 0;
    EXPECT_LT(streaming_read(device, &byte, 1), 0);
    EXPECT_LT(device.flush_buffers(), 0);
}

TEST_F(DeviceOpening, RefusedOpenGivesAnUnopenedDevice) {
    configure("refuse");
    PcbRoqDevice device("");
    EXPECT_FALSE(device.opened());
    EXPECT_GE(stats().open_refusals, 1);
}

TEST_F(DeviceOpening, ABoardInUseCannotBeOpenedTwice) {
    PcbRoqDevice first("SIM0001");
    PcbRoqDevice second("SIM0001");
    EXPECT_TRUE(first.opened());
    EXPECT_FALSE(second.opened());
}

TEST_F(DeviceOpening, NullContextThrowsTheExactMessage) {
    if (!on_stand_in()) {
        GTEST_SKIP() << "the real libusb's init cannot be failed, nor its objects counted";
    }
    ASSERT_EQ(pcb_roq_sim_fail_init(-1), 0);
    expect_null_context_error([] { PcbRoqDevice device("SIM0001"); });
    expect_null_context_error([] { (void)open_device("SIM0001"); });
    FtdiDriver driver;
    expect_null_context_error([&] { driver.set_latency_timer(1); });
    expect_null_context_error([&] { driver.flush_buffers(); });
    EXPECT_FALSE(driver.opened());
    EXPECT_EQ(totals().inits, 0);
}

TEST_F(DeviceOpening, EveryOpenIsClosedAndEveryContextFreedExactlyOnce) {
    if (!on_stand_in()) {
        GTEST_SKIP() << "the real libusb's init cannot be failed, nor its objects counted";
    }
    {
        PcbRoqDevice device("SIM0001");
        PcbRoqDevice moved(std::move(device));
        EXPECT_TRUE(moved.opened());
        (void)list_boards();
    }
    const auto s = stats();
    EXPECT_EQ(s.opens, s.closes);
    EXPECT_EQ(totals().live_contexts, 0);
    EXPECT_EQ(totals().inits, 2);
    EXPECT_EQ(totals().exits, 2);
}

TEST_F(DeviceOpening, OpenDeviceOpensWithoutConfiguring) {
    {
        std::optional<FtdiDriver> driver = open_device("SIM0001");
        ASSERT_TRUE(driver.has_value());
        EXPECT_FALSE(driver->opened());
        EXPECT_EQ(stats().claimed_interface, 0);
        EXPECT_EQ(stats().bit_mode, 0);
        EXPECT_EQ(driver->set_latency_timer(7), 0);
        EXPECT_FALSE(open_device("MISSING").has_value());
    }
    EXPECT_EQ(stats().claimed_interface, -1);
}

using DeviceIo = SimTest;

TEST_F(DeviceIo, StreamingBeginsAfterPurgingWhatTheChipBufferedAlone) {
    PcbRoqDevice device("SIM0001");
    ASSERT_TRUE(device.opened());
    std::vector<unsigned char> buffer(12 * 4096);
    ASSERT_EQ(streaming_read(device, buffer.data(), static_cast<int>(buffer.size())), static_cast<int>(buffer.size()));
    EXPECT_EQ(stats().purges_rx, 1);
    EXPECT_EQ(buffer, pattern_bytes(1024, buffer.size())); // the FIFO's 1024 bytes went with the purge
    ASSERT_EQ(streaming_read(device, buffer.data(), static_cast<int>(buffer.size())), static_cast<int>(buffer.size()));
    EXPECT_EQ(buffer, pattern_bytes(1024 + buffer.size(), buffer.size()));
    EXPECT_EQ(stats().purges_rx, 1);
}

TEST_F(DeviceIo, ARawReadGetsWhatAPausedBoardLeftInTheFifoThenNothing) {
    PcbRoqDevice device("SIM0001");
    ASSERT_EQ(pcb_roq_sim_pause(0, 1), 0);
    std::vector<unsigned char> buffer(12 * 4096);
    ASSERT_EQ(raw_read(device, buffer.data(), static_cast<int>(buffer.size())), 1024);
    buffer.resize(1024);
    EXPECT_EQ(buffer, pattern_bytes(0, 1024));
    EXPECT_EQ(raw_read(device, buffer.data(), static_cast<int>(buffer.size())), 0);
    EXPECT_EQ(stats().purges_rx, 0);
    EXPECT_EQ(device.read_counters().in_flight, 0);
}

TEST_F(DeviceIo, BytesTransfersReceivedBeyondAReadAreHandedOnNotDropped) {
    PcbRoqDevice device("SIM0001");
    std::vector<unsigned char> first(100);
    std::vector<unsigned char> second(100);
    ASSERT_EQ(raw_read(device, first.data(), 100), 100);
    ASSERT_EQ(raw_read(device, second.data(), 100), 100);
    EXPECT_EQ(first, pattern_bytes(0, 100));
    EXPECT_EQ(second, pattern_bytes(100, 100));
    // A streaming read hands on the rest of what the raw reads' transfer received, and ends there: the chip
    // went without a pending transfer after it.
    std::vector<unsigned char> rest(200'000);
    const int got = streaming_read(device, rest.data(), static_cast<int>(rest.size()));
    ASSERT_GT(got, 0);
    ASSERT_LT(got, static_cast<int>(rest.size()));
    rest.resize(static_cast<std::size_t>(got));
    EXPECT_EQ(rest, pattern_bytes(200, rest.size()));
    EXPECT_EQ(stats().purges_rx, 0);
    halt(device);
}

TEST_F(DeviceIo, InterruptingEndsAReadThatWaitsForASlowBoardAndHaltLeavesNothingQueued) {
    configure("board,rate=1000"); // a full read of 4096 frames would take 49 s
    PcbRoqDevice device("SIM0001");
    std::vector<unsigned char> buffer(12 * 4096);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        device.interrupt_reads();
    });
    const int got = streaming_read(device, buffer.data(), static_cast<int>(buffer.size()));
    stopper.join();
    EXPECT_GE(got, 0);
    EXPECT_LT(got, 1000); // uninterrupted, it would have waited for 49152
    // Later reads do not wait either, until the stream is resumed.
    EXPECT_GE(streaming_read(device, buffer.data(), static_cast<int>(buffer.size())), 0);
    halt(device);
    EXPECT_EQ(device.read_counters().in_flight, 0);
    const auto reads = stats().bulk_reads;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(stats().bulk_reads, reads); // a halted stream queues nothing on the chip
}

TEST_F(DeviceIo, TransfersRunningOutAreCountedWhileStreamingOnly) {
    PcbRoqDevice device("SIM0001"); // an unlimited board fills every queued transfer at once
    std::vector<unsigned char> buffer(100);
    ASSERT_EQ(streaming_read(device, buffer.data(), 100), 100);
    // Nobody reads meanwhile: the transfers queued by the streaming read fill up, the newest included, and
    // the next read hears of it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<unsigned char> more(300'000);
    ASSERT_EQ(streaming_read(device, more.data(), static_cast<int>(more.size())), static_cast<int>(more.size()));
    EXPECT_EQ(device.read_counters().transfers_ran_out, 1);
    halt(device);
    EXPECT_EQ(device.read_counters().transfers_ran_out, 1); // cancelling at a stop is no shortage
    // A raw read queues only what it needs: its transfer filling up is no shortage either.
    for (int i = 0; i < 3; ++i) {
        ASSERT_GT(raw_read(device, more.data(), static_cast<int>(more.size())), 0);
    }
    halt(device);
    EXPECT_EQ(device.read_counters().transfers_ran_out, 1);
}

TEST_F(DeviceIo, FlushReachesTheChip) {
    PcbRoqDevice device("SIM0001");
    EXPECT_EQ(device.flush_buffers(), 0);
    EXPECT_EQ(stats().purges_rx, 1);
    EXPECT_EQ(stats().purges_tx, 1);
}

TEST_F(DeviceIo, AnUnpluggedBoardFailsReadsWithoutThrowing) {
    PcbRoqDevice device("SIM0001");
    ASSERT_EQ(pcb_roq_sim_unplug(0, 0), 0);
    unsigned char buffer[64];
    EXPECT_EQ(streaming_read(device, buffer, static_cast<int>(sizeof buffer)), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(device.flush_buffers(), 0);
}

TEST_F(DeviceIo, ABulkReadErrorReachesTheReaderAsItsCode) {
    PcbRoqDevice device("SIM0001");
    ASSERT_EQ(pcb_roq_sim_fail_bulk_read(0, 1, LIBUSB_ERROR_IO), 0);
    unsigned char buffer[64];
    EXPECT_EQ(streaming_read(device, buffer, static_cast<int>(sizeof buffer)), LIBUSB_ERROR_IO);
    EXPECT_EQ(streaming_read(device, buffer, static_cast<int>(sizeof buffer)), 64);
}

} // namespace
