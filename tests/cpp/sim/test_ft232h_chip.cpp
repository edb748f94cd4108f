// The chip model on synthetic times: what reaches the host, what is lost and when transfers complete, decided
// by the time points the host looks at alone, however late they are.
#include <chrono>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "ft232h_chip.hpp"
#include "frame_pattern.hpp"

namespace {

using pcb_roq_sim::Ft232hChip;
using pcb_roq_sim::PendingIn;
using Clock = Ft232hChip::Clock;
using namespace std::chrono_literals;

std::vector<unsigned char> pattern(std::uint64_t offset, std::size_t count) {
    std::vector<unsigned char> out(count);
    unsigned char frame[pcb_roq_sim::frame_size];
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t at = offset + i;
        pcb_roq_sim::pattern_frame(static_cast<std::uint32_t>(at / 12), frame);
        out[i] = frame[at % 12];
    }
    return out;
}

// A host transfer with its own buffer; `payload()` strips the status bytes of every packet.
struct Transfer {
    explicit Transfer(int length) : buffer(static_cast<std::size_t>(length)), in(buffer.data(), length) {}
    std::vector<unsigned char> payload() const {
        std::vector<unsigned char> out;
        for (int packet = 0; packet < in.transferred; packet += Ft232hChip::high_speed_packet_size) {
            const int end = std::min(in.transferred, packet + Ft232hChip::high_speed_packet_size);
            out.insert(out.end(), buffer.begin() + packet + 2, buffer.begin() + end);
        }
        return out;
    }
    std::vector<unsigned char> buffer;
    PendingIn in;
};

class Ft232hChipTest : public testing::Test {
protected:
    // A chip in synchronous FIFO mode from t0, its board writing `rate` bytes per second.
    void stream_at(double rate) {
        chip.set_rate(rate, t0);
        unsigned char none = 0;
        ASSERT_EQ(chip.vendor_request(0x40, 0x0B, 0x40FF, &none, 0, t0), 0);
    }

    const Clock::time_point t0 = Clock::time_point{} + 1h;
    Ft232hChip chip{t0};
};

TEST_F(Ft232hChipTest, WithoutAPendingTransferTheFifoFillsAndTheRestIsLost) {
    stream_at(10e6);
    EXPECT_EQ(chip.held(t0 + 1ms), 1024u);
    EXPECT_EQ(chip.counters().bytes_lost, 10'000 - 1024);
    EXPECT_EQ(chip.counters().bytes_lost_streaming, 0); // no host has streamed yet
    EXPECT_EQ(chip.stream_offset(t0 + 1ms), 0u); // the oldest bytes stay, the newest are lost
}

TEST_F(Ft232hChipTest, APendingTransferTakesEveryByteHoweverLateTheHostLooks) {
    stream_at(10e6);
    Transfer t(64 * 1024);
    chip.queue(t.in, t0);
    chip.advance(t0 + 5ms); // the only look before completion, long after the FIFO would have overflowed
    EXPECT_FALSE(t.in.done);
    EXPECT_EQ(chip.counters().bytes_lost, 0);
    const auto done_at = chip.next_completion(t0 + 5ms);
    EXPECT_NEAR(std::chrono::duration<double>(done_at - t0).count(), 128 * 510 / 10e6, 1e-6);
    chip.advance(done_at - 1us);
    EXPECT_FALSE(t.in.done);
    chip.advance(done_at);
    ASSERT_TRUE(t.in.done);
    EXPECT_EQ(t.in.transferred, 64 * 1024);
    EXPECT_EQ(t.payload(), pattern(0, 128 * 510));
    EXPECT_EQ(chip.counters().bytes_lost, 0);
    EXPECT_EQ(chip.counters().bytes_delivered, 128 * 510);
}

TEST_F(Ft232hChipTest, QueuedTransfersTakeOverTheInstantOneIsFull) {
    stream_at(40e6);
    std::vector<Transfer> queued;
    queued.reserve(4);
    for (int i = 0; i < 4; ++i) {
        queued.emplace_back(4096);
        chip.queue(queued.back().in, t0);
    }
    chip.advance(t0 + 10ms); // nobody looked in between
    std::vector<unsigned char> stream;
    for (const Transfer &t : queued) {
        ASSERT_TRUE(t.in.done);
        const auto p = t.payload();
        stream.insert(stream.end(), p.begin(), p.end());
    }
    EXPECT_EQ(stream, pattern(0, 4 * 8 * 510));
    // Only after the last one was full did the FIFO fill and overflow.
    EXPECT_EQ(chip.held(t0 + 10ms), 1024u);
    EXPECT_EQ(chip.counters().bytes_lost, 400'000 - 4 * 8 * 510 - 1024);
}

TEST_F(Ft232hChipTest, AHostThatResubmitsLateLosesWhatTheFifoCannotHold) {
    stream_at(10e6);
    Transfer first(4096);
    chip.queue(first.in, t0);
    const auto full = chip.next_completion(t0);
    chip.advance(full);
    ASSERT_TRUE(first.in.done);
    Transfer second(4096);
    chip.queue(second.in, full + 1ms); // 10,000 bytes written meanwhile, 1,024 of them kept
    EXPECT_NEAR(static_cast<double>(chip.counters().bytes_lost), 10'000 - 1024, 1);
    chip.advance(chip.next_completion(full + 1ms));
    ASSERT_TRUE(second.in.done);
    EXPECT_NEAR(static_cast<double>(chip.counters().bytes_lost), 10'000 - 1024, 1);
    const auto p = second.payload();
    ASSERT_EQ(p.size(), 8u * 510);
    const std::vector<unsigned char> kept(p.begin(), p.begin() + 1024);
    EXPECT_EQ(kept, pattern(8 * 510, 1024)); // the FIFO's bytes continue the first transfer
    const std::vector<unsigned char> fresh(p.begin() + 1024, p.end());
    EXPECT_EQ(fresh, pattern(8 * 510 + 10'000, fresh.size())); // then what the board writes from the submission
    EXPECT_EQ(chip.counters().bytes_lost_streaming, chip.counters().bytes_lost); // a host that fell behind
}

TEST_F(Ft232hChipTest, WhatAStoppedHostLosesIsNotLostWhileStreaming) {
    stream_at(10e6);
    Transfer first(64 * 1024);
    chip.queue(first.in, t0);
    chip.withdraw(first.in, t0 + 1ms); // a stop: the host cancels the last transfer it had queued
    EXPECT_EQ(chip.held(t0 + 3ms), 1024u); // stopped: the FIFO fills and overflows
    EXPECT_EQ(chip.counters().bytes_lost_streaming, 0);
    unsigned char none = 0;
    ASSERT_EQ(chip.vendor_request(0x40, 0x00, 2, &none, 0, t0 + 4ms), 0); // the next start's purge
    Transfer second(4096);
    chip.queue(second.in, t0 + 5ms); // after the purge, before its first transfer: the FIFO overflows again
    const auto lost_stopped = chip.counters().bytes_lost;
    EXPECT_GT(lost_stopped, 30'000);
    EXPECT_EQ(chip.counters().bytes_lost_streaming, 0);
    const auto full = chip.next_completion(t0 + 5ms);
    chip.advance(full);
    ASSERT_TRUE(second.in.done);
    Transfer third(4096);
    chip.queue(third.in, full + 1ms); // late while streaming: counted
    EXPECT_NEAR(static_cast<double>(chip.counters().bytes_lost_streaming), 10'000 - 1024, 1);
    EXPECT_EQ(chip.counters().bytes_lost - lost_stopped, chip.counters().bytes_lost_streaming);
}

TEST_F(Ft232hChipTest, TheLatencyTimerSendsWhatArrivedAsAShortPacketThatEndsTheTransfer) {
    stream_at(1000); // 16 bytes in the chip's power-up latency of 16 ms
    Transfer t(4096);
    chip.queue(t.in, t0);
    EXPECT_EQ(chip.next_completion(t0), t0 + 16ms);
    chip.advance(t0 + 15ms);
    EXPECT_FALSE(t.in.done);
    chip.advance(t0 + 17ms);
    ASSERT_TRUE(t.in.done);
    EXPECT_EQ(t.payload(), pattern(0, 16));
}

TEST_F(Ft232hChipTest, APausedBoardGetsAStatusOnlyPacketAtEachLatency) {
    stream_at(10e6);
    chip.set_paused(true, t0);
    Transfer t(4096);
    chip.queue(t.in, t0);
    chip.advance(t0 + 1s);
    ASSERT_TRUE(t.in.done);
    EXPECT_EQ(t.in.transferred, 2);
    EXPECT_EQ(chip.counters().status_only_packets, 1);
}

TEST_F(Ft232hChipTest, AWithdrawnTransferKeepsWhatItsOpenPacketReceived) {
    stream_at(1e6);
    Transfer t(4096);
    chip.queue(t.in, t0);
    chip.withdraw(t.in, t0 + 100us);
    EXPECT_TRUE(t.in.done);
    EXPECT_FALSE(t.in.queued);
    EXPECT_EQ(t.payload(), pattern(0, 100));
    EXPECT_EQ(chip.pending(), 0u);
    // Then the FIFO takes over, from the next byte.
    EXPECT_EQ(chip.stream_offset(t0 + 200us), 100u);
}

TEST_F(Ft232hChipTest, AnUnlimitedBoardFillsATransferAtOnceAndNeverLoses) {
    stream_at(0);
    Transfer t(64 * 1024);
    chip.queue(t.in, t0);
    EXPECT_TRUE(t.in.done);
    EXPECT_EQ(t.payload(), pattern(0, 128 * 510));
    chip.advance(t0 + 1s);
    EXPECT_EQ(chip.held(t0 + 1s), 1024u);
    EXPECT_EQ(chip.counters().bytes_lost, 0);
}

TEST_F(Ft232hChipTest, TheDeliveryLimitEndsTheTransferThatCarriesTheLastByte) {
    stream_at(0);
    chip.set_delivery_limit(1000, t0);
    Transfer first(4096);
    Transfer second(4096);
    chip.queue(first.in, t0);
    chip.queue(second.in, t0);
    ASSERT_TRUE(first.in.done);
    EXPECT_EQ(first.payload(), pattern(0, 1000));
    EXPECT_TRUE(chip.delivery_limit_reached());
    EXPECT_FALSE(second.in.done);
    chip.abort_all(LIBUSB_ERROR_NO_DEVICE, t0 + 1ms);
    EXPECT_TRUE(second.in.done);
    EXPECT_EQ(second.in.result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(second.in.transferred, 0);
}

TEST_F(Ft232hChipTest, APurgeEmptiesTheFifoButNotAPendingTransfer) {
    stream_at(10e6);
    chip.advance(t0 + 1ms);
    unsigned char none = 0;
    ASSERT_EQ(chip.vendor_request(0x40, 0x00, 2, &none, 0, t0 + 1ms), 0); // purge RX
    EXPECT_EQ(chip.held(t0 + 1ms), 0u);
    Transfer t(4096);
    chip.queue(t.in, t0 + 1ms);
    chip.advance(t0 + 2ms);
    ASSERT_TRUE(t.in.done);
    EXPECT_EQ(t.payload(), pattern(10'000, 8 * 510)); // what the board writes after the purge
}

TEST_F(Ft232hChipTest, TimesThatGoBackCountAsTheLatestSeen) {
    stream_at(10e6);
    Transfer t(64 * 1024);
    chip.queue(t.in, t0);
    chip.advance(t0 + 2ms);
    chip.advance(t0 + 1ms);
    EXPECT_EQ(chip.counters().bytes_delivered, 20'000);
}

} // namespace
