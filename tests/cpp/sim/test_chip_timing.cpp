// The simulated chip against real host timing: a pending transfer absorbs the stream however late its thread
// wakes, so what is lost depends only on how long the host leaves the chip without one. Bounds are generous:
// these run on loaded machines and under sanitizers.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "libftdi_session.hpp"
#include "sim_test_support.hpp"
#include "usb_session.hpp"

namespace {

using namespace std::chrono_literals;

// libftdi caps its transfers at 16 KiB on Linux (usbfs' old limit), whatever chunk size it is given.
constexpr int libftdi_transfer_bytes = 16 * 1024;
constexpr int payload_bytes = 32 * 510; // what one such transfer carries
constexpr int transfer_bytes = 64 * 1024;
constexpr double rate = 10e6;



// Where in the pattern stream `bytes` begin, if they are one unbroken piece of it.
std::optional<std::uint64_t> contiguous_from(const std::vector<unsigned char> &bytes) {
    for (std::size_t k = 0; k + 6 <= bytes.size() && k < 12; ++k) {
        if (bytes[k] != 0xF0 || bytes[k + 1] != 0x0F) {
            continue;
        }
        const std::uint64_t frame = bytes[k + 2] | (bytes[k + 3] << 8) | (bytes[k + 4] << 16) |
                                    (static_cast<std::uint64_t>(bytes[k + 5]) << 24);
        if (frame * 12 < k) {
            continue;
        }
        const std::uint64_t offset = frame * 12 - k;
        if (bytes == pattern_bytes(offset, bytes.size())) {
            return offset;
        }
    }
    return std::nullopt;
}

std::vector<unsigned char> after_fifo(const std::vector<unsigned char> &bytes) {
    return {bytes.begin() + std::min<std::size_t>(1024, bytes.size()), bytes.end()};
}

class ChipTiming : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        configure("board,rate=1e7");
        ftdi.emplace();
        ASSERT_EQ(ftdi->open_streaming(), 0);
        // One ftdi_read_data of a transfer's payload is one bulk transfer.
        ASSERT_EQ(ftdi_read_data_set_chunksize(ftdi->ctx, libftdi_transfer_bytes), 0);
    }

    void TearDown() override {
        ftdi.reset();
        SimTest::TearDown();
    }

    std::vector<unsigned char> read_one_transfer() {
        std::vector<unsigned char> bytes(payload_bytes);
        const int got = ftdi_read_data(ftdi->ctx, bytes.data(), payload_bytes);
        bytes.resize(static_cast<std::size_t>(std::max(0, got)));
        return bytes;
    }

    std::optional<LibftdiSession> ftdi;
};

TEST_F(ChipTiming, APlainLibftdiLoopLosesBytesOnlyBetweenItsTransfers) {
    (void)read_one_transfer(); // what the FIFO held since the bit mode was set, and the gap after it
    const auto delivered_before = stats().bytes_delivered;
    const auto end = std::chrono::steady_clock::now() + 500ms;
    int transfers = 0;
    while (std::chrono::steady_clock::now() < end) {
        const auto bytes = read_one_transfer();
        ASSERT_EQ(bytes.size(), static_cast<std::size_t>(payload_bytes));
        // A late host's gap shows right after the FIFO's 1024 bytes, the first a transfer receives; none after.
        ASSERT_TRUE(contiguous_from(after_fifo(bytes))) << "a gap inside transfer " << transfers;
        ++transfers;
    }
    EXPECT_GE(transfers, 10); // 10 MB/s is 613 transfers a second
    // How much is lost depends on how quickly this host's thread comes back: the benchmark measures it.
    EXPECT_GT(stats().bytes_delivered - delivered_before, 0);
}

TEST_F(ChipTiming, AHostThatPausesLosesThePauseLessWhatTheFifoHolds) {
    (void)read_one_transfer();
    // The chip goes without a transfer from the moment the first one completes, which a loaded machine may
    // report well after it happened: the upper bound counts from before that transfer was queued.
    const auto began = std::chrono::steady_clock::now();
    const auto first = read_one_transfer();
    const auto lost_before = stats().bytes_lost;
    std::this_thread::sleep_for(50ms);
    const auto second = read_one_transfer();
    const double paused = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const double lost = static_cast<double>(stats().bytes_lost - lost_before);
    EXPECT_GE(lost, 0.050 * rate - 1024 - 1);
    EXPECT_LE(lost, paused * rate);
    // The FIFO's bytes continue the stream where the first transfer ended; the gap comes after them.
    const auto first_tail = contiguous_from(after_fifo(first));
    ASSERT_TRUE(first_tail);
    const std::vector<unsigned char> kept(second.begin(), second.begin() + 1024);
    EXPECT_EQ(kept, pattern_bytes(*first_tail + first.size() - 1024, 1024));
}

TEST_F(ChipTiming, QueuedTransfersKeepDrainingWhileNoThreadHandlesEvents) {
    (void)read_one_transfer();
    constexpr int count = 8; // 52 ms of stream at 10 MB/s
    std::vector<std::vector<unsigned char>> buffers(count, std::vector<unsigned char>(transfer_bytes));
    std::vector<libusb_transfer *> transfers(count);
    int completed = 0;
    auto on_done = [](libusb_transfer *t) { ++*static_cast<int *>(t->user_data); };
    for (int i = 0; i < count; ++i) {
        transfers[i] = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(transfers[i], ftdi->ctx->usb_dev, static_cast<unsigned char>(ftdi->ctx->out_ep),
                                  buffers[i].data(), transfer_bytes, on_done, &completed, 0);
        ASSERT_EQ(libusb_submit_transfer(transfers[i]), 0);
    }
    std::this_thread::sleep_for(30ms); // no thread in libusb meanwhile
    const auto give_up = std::chrono::steady_clock::now() + 30s;
    while (completed < count && std::chrono::steady_clock::now() < give_up) {
        timeval tv{0, 100'000};
        libusb_handle_events_timeout_completed(ftdi->ctx->usb_ctx, &tv, nullptr);
    }
    ASSERT_EQ(completed, count);
    std::vector<unsigned char> stream;
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(transfers[i]->status, LIBUSB_TRANSFER_COMPLETED);
        ASSERT_EQ(transfers[i]->actual_length, transfer_bytes);
        for (int p = 0; p < transfer_bytes; p += 512) {
            stream.insert(stream.end(), buffers[i].begin() + p + 2, buffers[i].begin() + p + 512);
        }
        libusb_free_transfer(transfers[i]);
    }
    // One unbroken piece after the FIFO's bytes: each transfer took over the instant the one before was full.
    EXPECT_TRUE(contiguous_from(after_fifo(stream)));
}

} // namespace
