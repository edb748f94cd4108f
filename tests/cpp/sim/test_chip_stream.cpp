// The chip's packets and FIFO, and the board's stream with its faults, seen at the USB level.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim_test_support.hpp"
#include "usb_session.hpp"

namespace {

class ChipStream : public SimTest {
protected:
    void TearDown() override {
        session.reset();
        SimTest::TearDown();
    }

    // The session is made after SetUp has configured the bus, so its device list shows the new devices.
    void open_usb() {
        session.emplace();
        ASSERT_EQ(usb().open(), 0);
    }

    void start_streaming() {
        open_usb();
        ASSERT_EQ(libusb_control_transfer(usb().handle, 0x40, 0x0B, 0x40FF, 1, nullptr, 0, 0), 0);
    }

    // One bulk IN transfer as the host receives it, status bytes included; empty on an error.
    std::vector<unsigned char> transfer(int length) {
        std::vector<unsigned char> data(static_cast<std::size_t>(length));
        int transferred = 0;
        last_result = libusb_bulk_transfer(usb().handle, 0x81, data.data(), length, &transferred, 0);
        data.resize(last_result == 0 ? static_cast<std::size_t>(transferred) : 0);
        return data;
    }

    // Stream bytes until `count` arrived or a transfer brought none. Transfers are sized so that the chip
    // never sends more than is asked for: nothing is read and thrown away.
    std::vector<unsigned char> stream(std::size_t count) {
        std::vector<unsigned char> out;
        while (out.size() < count) {
            const std::size_t needed = count - out.size();
            const std::size_t rest = needed % 510;
            const std::size_t length = std::min<std::size_t>(4096, needed / 510 * 512 + (rest > 0 ? rest + 2 : 0));
            const auto data = transfer(static_cast<int>(length));
            const std::size_t before = out.size();
            for (std::size_t packet = 0; packet < data.size(); packet += 512) {
                const std::size_t end = std::min(data.size(), packet + 512);
                out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(packet + 2),
                           data.begin() + static_cast<std::ptrdiff_t>(end));
            }
            if (out.size() == before) {
                break;
            }
        }
        return out;
    }

    int last_result = 0;
    UsbSession &usb() { return *session; }

    std::optional<UsbSession> session;
};

TEST_F(ChipStream, EveryPacketStartsWithTheModemStatus) {
    start_streaming();
    const auto data = transfer(4096);
    ASSERT_EQ(data.size(), 4096U);
    for (std::size_t packet = 0; packet < data.size(); packet += 512) {
        EXPECT_EQ(data[packet], 0x01);
        EXPECT_EQ(data[packet + 1], 0x60);
    }
    EXPECT_EQ(stats().bytes_delivered, 8 * 510);
}

TEST_F(ChipStream, AnIdleChipAnswersWithAStatusOnlyPacketAfterItsLatency) {
    open_usb(); // no synchronous FIFO mode: the board cannot write
    ASSERT_EQ(libusb_control_transfer(usb().handle, 0x40, 0x09, 255, 1, nullptr, 0, 0), 0);
    const auto start = std::chrono::steady_clock::now();
    const auto data = transfer(4096);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(data, (std::vector<unsigned char>{0x01, 0x60}));
    EXPECT_GE(waited, std::chrono::microseconds(5000)); // 255 ms scaled by 0.02
    EXPECT_EQ(stats().status_only_packets, 1);
}

TEST_F(ChipStream, PatternCarriesTheFrameIndexAndThreeWaves) {
    start_streaming();
    const auto bytes = stream(12 * 3000);
    ASSERT_EQ(bytes.size(), 12U * 3000);
    int square_changes = 0;
    for (std::uint32_t frame = 0; frame < 3000; ++frame) {
        const unsigned char *f = bytes.data() + 12 * frame;
        ASSERT_EQ(f[0], 0xF0);
        ASSERT_EQ(f[1], 0x0F);
        const std::uint32_t index = f[2] | (f[3] << 8) | (f[4] << 16) | (static_cast<std::uint32_t>(f[5]) << 24);
        ASSERT_EQ(index, frame);
        if (frame > 0 && (f[8] != f[8 - 12] || f[9] != f[9 - 12])) {
            ++square_changes;
        }
    }
    EXPECT_GE(square_changes, 2);
    EXPECT_EQ(stats().frame_index, 3000);
}

TEST_F(ChipStream, FrameIndexCarriesIntoTheHighWord) {
    ASSERT_EQ(pcb_roq_sim_set_pattern(0, 0xFFFF), 0);
    start_streaming();
    const auto bytes = stream(24);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 2, bytes.begin() + 6),
              (std::vector<unsigned char>{0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 14, bytes.begin() + 18),
              (std::vector<unsigned char>{0x00, 0x00, 0x01, 0x00}));
}

TEST_F(ChipStream, DroppedBytesNeverArrive) {
    const std::uint64_t drops[] = {5, 6, 1000};
    ASSERT_EQ(pcb_roq_sim_drop_bytes(0, drops, 3), 0);
    start_streaming();
    auto expected = pattern_bytes(0, 2003);
    expected.erase(expected.begin() + 1000);
    expected.erase(expected.begin() + 5, expected.begin() + 7);
    EXPECT_EQ(stream(2000), expected);
    EXPECT_EQ(stats().bytes_dropped, 3);
}

TEST_F(ChipStream, CorruptedFramesLoseTheirSyncPairOnly) {
    const std::uint64_t frames[] = {3};
    ASSERT_EQ(pcb_roq_sim_corrupt_sync(0, frames, 1), 0);
    start_streaming();
    const auto bytes = stream(60);
    auto expected = pattern_bytes(0, 60);
    expected[36] = 0xA5;
    expected[37] = 0x5A;
    EXPECT_EQ(bytes, expected);
}

TEST_F(ChipStream, PurgeDiscardsWhatTheFifoHolds) {
    start_streaming();
    EXPECT_EQ(stream(100), pattern_bytes(0, 100));
    ASSERT_EQ(libusb_control_transfer(usb().handle, 0x40, 0x00, 2, 1, nullptr, 0, 0), 0);
    // The unlimited board keeps the 1024-byte FIFO full, so a purge skips 1024 bytes of the stream.
    EXPECT_EQ(stream(100), pattern_bytes(100 + 1024, 100));
    EXPECT_EQ(stats().bytes_lost, 1024);
    EXPECT_EQ(stats().purges_rx, 1);
}

TEST_F(ChipStream, PausedBoardStillDeliversTheFifoThenNothing) {
    start_streaming();
    EXPECT_EQ(stream(10).size(), 10U);
    ASSERT_EQ(pcb_roq_sim_pause(0, 1), 0);
    EXPECT_EQ(stream(5000), pattern_bytes(10, 1024));
    EXPECT_TRUE(stream(100).empty());
    ASSERT_EQ(pcb_roq_sim_pause(0, 0), 0);
    EXPECT_EQ(stream(100), pattern_bytes(1034, 100));
}

TEST_F(ChipStream, RawBytesStreamOnceOrRepeated) {
    const unsigned char bytes[] = {1, 2, 3};
    ASSERT_EQ(pcb_roq_sim_set_raw_stream(0, bytes, 3, 0), 0);
    start_streaming();
    EXPECT_EQ(stream(10), (std::vector<unsigned char>{1, 2, 3}));
    ASSERT_EQ(pcb_roq_sim_set_raw_stream(0, bytes, 3, 1), 0);
    EXPECT_EQ(stream(7), (std::vector<unsigned char>{1, 2, 3, 1, 2, 3, 1}));
}

TEST_F(ChipStream, ASlowBoardFillsPacketsAsTheClockAllows) {
    ASSERT_EQ(pcb_roq_sim_set_rate(0, 200000), 0); // 510 bytes every 2.55 ms
    ASSERT_EQ(pcb_roq_sim_set_fifo_size(0, 1 << 20), 0); // however slowly this host reads, nothing is lost
    start_streaming();
    const auto start = std::chrono::steady_clock::now();
    const auto bytes = stream(5100);
    EXPECT_EQ(bytes, pattern_bytes(0, 5100));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_EQ(stats().bytes_lost, 0);
}

TEST_F(ChipStream, ABoardFasterThanTheHostLosesBytesAtTheFifo) {
    ASSERT_EQ(pcb_roq_sim_set_rate(0, 1e6), 0);
    start_streaming();
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // about 20000 bytes, 1024 of which fit
    const auto bytes = stream(2000);
    ASSERT_EQ(bytes.size(), 2000U);
    // The FIFO kept the oldest bytes; what came after them while it was full is gone.
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 1024), pattern_bytes(0, 1024));
    EXPECT_NE(std::vector<unsigned char>(bytes.begin() + 1024, bytes.end()), pattern_bytes(1024, 976));
    EXPECT_GT(stats().bytes_lost, 10000);
}

TEST_F(ChipStream, UnplugAfterBytesDeliversThemThenFails) {
    start_streaming();
    ASSERT_EQ(pcb_roq_sim_unplug_after_bytes(0, 1000), 0);
    EXPECT_EQ(stream(5000), pattern_bytes(0, 1000));
    EXPECT_EQ(last_result, LIBUSB_ERROR_NO_DEVICE);
}

} // namespace
