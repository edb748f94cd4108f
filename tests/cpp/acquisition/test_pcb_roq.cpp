#include <gtest/gtest.h>

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/pcb_roq.hpp"
#include "pcb_roq_sim.h"
#include "returns_within.hpp"

namespace {

using namespace std::chrono_literals;
using block_type = PCB_ROQ::decoder_type::block_type;
using clock_type = std::chrono::steady_clock;

pcb_roq_sim_device_stats device_stats(int device = 0) {
    pcb_roq_sim_device_stats stats{};
    EXPECT_EQ(pcb_roq_sim_get_device_stats(device, &stats), 0) << pcb_roq_sim_last_error();
    return stats;
}

std::uint32_t frame_index(const unsigned short *row) {
    return static_cast<std::uint32_t>(row[0]) | (static_cast<std::uint32_t>(row[1]) << 16);
}

// True when the row holds the payload of the board's pattern frame that its index words name.
bool row_matches_pattern(const unsigned short *row) {
    unsigned char frame[12];
    pcb_roq_sim_pattern_frame(frame_index(row), frame);
    return std::memcmp(row, frame + 2, 10) == 0;
}

// True when every row of the block is the pattern frame following the previous row's; `next` carries the
// expected index from block to block (empty: take the block's first row as it comes).
bool block_is_contiguous(const block_type &block, std::optional<std::uint32_t> &next) {
    bool contiguous = true;
    for (std::size_t r = 0; r < block.rows(); ++r) {
        const unsigned short *row = block.row(r);
        if (!row_matches_pattern(row) || (next.has_value() && frame_index(row) != *next)) {
            contiguous = false;
        }
        next = frame_index(row) + 1;
    }
    return contiguous;
}

template <typename Predicate>
bool eventually(Predicate predicate) {
    const auto deadline = clock_type::now() + 10s;
    while (!predicate()) {
        if (clock_type::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The storage of every block of the pool, found by emptying the free channel of a board that never started.
std::set<const unsigned short *> pool_storage(PCB_ROQ &board) {
    std::set<const unsigned short *> storage;
    std::vector<block_type> blocks;
    while (auto block = board.decoder.buffers.free_channel().take(0ns)) {
        storage.insert(block->data());
        blocks.push_back(std::move(*block));
    }
    for (auto &block : blocks) {
        board.decoder.buffers.free_channel().add(std::move(block));
    }
    return storage;
}

// The storage of every block queued in either channel of a stopped board; each block is put back.
std::multiset<const unsigned short *> queued_storage(PCB_ROQ &board) {
    std::multiset<const unsigned short *> storage;
    for (auto *channel : {&board.decoder.buffers.free_channel(), &board.decoder.buffers.data_channel()}) {
        std::vector<block_type> blocks;
        while (auto block = channel->take(0ns)) {
            storage.insert(block->data());
            blocks.push_back(std::move(*block));
        }
        for (auto &block : blocks) {
            channel->add(std::move(block));
        }
    }
    return storage;
}

std::chrono::nanoseconds thread_cpu_time(std::thread &thread) {
    clockid_t clock;
    timespec spent{};
    if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 || clock_gettime(clock, &spent) != 0) {
        ADD_FAILURE() << "no CPU clock for the acquisition thread";
        return {};
    }
    return std::chrono::seconds(spent.tv_sec) + std::chrono::nanoseconds(spent.tv_nsec);
}

// The board's blocking calls, each failing the test by itself should it never return.
void stop(PCB_ROQ &board) {
    returns_within("a stop (the acquisition thread ending its run)", [&] { board.stop(); });
}

int read_raw(PCB_ROQ &board, unsigned char *bytes, int size) {
    return returns_within("a raw read of " + std::to_string(size) + " bytes", [&] { return board.read_raw(bytes, size); });
}

class PcbRoqTest : public testing::Test {
protected:
    void SetUp() override {
        // A board that writes only as fast as it is read: these tests look at content, not at timing.
        ASSERT_EQ(pcb_roq_sim_configure("board,rate=unlimited"), 1) << pcb_roq_sim_last_error();
        ASSERT_EQ(pcb_roq_sim_set_latency_scale(0.01), 0);
    }
};

} // namespace

TEST_F(PcbRoqTest, ConstructionOpensTheChipInSyncFifoModeWithZeroedPool) {
    PCB_ROQ board("SIM0001", 100, 0);

    EXPECT_TRUE(board.opened());
    EXPECT_EQ(board.serial_number(), "SIM0001");
    EXPECT_EQ(board.decoder.frame_size, 12u);
    EXPECT_EQ(board.decoder.read_size, 1200u);
    EXPECT_EQ(board.decoder.samples_count, 100u);
    const auto stats = device_stats();
    EXPECT_EQ(stats.claimed_interface, 0);
    EXPECT_EQ(stats.bit_mode, 0x40);
    EXPECT_EQ(stats.bit_mask, 0xFF);
    EXPECT_EQ(stats.latency_timer, 255); // whatever `latency` said
    EXPECT_EQ(stats.bulk_reads, 0);
    EXPECT_EQ(stats.purges_rx, 0);

    EXPECT_EQ(board.decoder.buffers.data_channel().size(), 0u);
    ASSERT_EQ(board.decoder.buffers.free_channel().size(), 64u);
    while (auto block = board.decoder.buffers.free_channel().take(0ns)) {
        ASSERT_EQ(block->rows(), 100u);
        ASSERT_EQ(block->cols(), 5u);
        EXPECT_EQ(std::count(block->data(), block->data() + 500, 0), 500);
    }
}

TEST_F(PcbRoqTest, UnmatchedSerialBuildsABoardThatIsNotOpened) {
    PCB_ROQ board("NOSUCH", 100, 255);

    EXPECT_FALSE(board.opened());
    EXPECT_EQ(board.serial_number(), "NOSUCH");
    EXPECT_EQ(device_stats().claimed_interface, -1);
    EXPECT_EQ(device_stats().bit_mode, 0);
    board.flush();
    int dummy = 0;
    EXPECT_LT(read_raw(board, reinterpret_cast<unsigned char *>(&dummy), 4), 0);

    stop(board); // read_raw left it acquiring
    EXPECT_EQ(board.decoder.buffers.data_channel().size() + board.decoder.buffers.free_channel().size(), 64u);
}

TEST_F(PcbRoqTest, SamplesCountOutsideTheReadableRangeIsRefusedBeforeUsb) {
    pcb_roq_sim_stats before{};
    ASSERT_EQ(pcb_roq_sim_get_stats(&before), 0);
    for (unsigned long samples_count : {0UL, 1UL, PCB_ROQ::max_samples_count + 1, ULONG_MAX}) {
        try {
            PCB_ROQ board("SIM0001", samples_count, 255);
            ADD_FAILURE() << "samples_count " << samples_count << " was accepted";
        } catch (const std::invalid_argument &error) {
            const std::string message = error.what();
            EXPECT_NE(message.find("samples_count"), std::string::npos) << message;
            EXPECT_NE(message.find(" 2 "), std::string::npos) << message;
            EXPECT_NE(message.find(std::to_string(PCB_ROQ::max_samples_count)), std::string::npos) << message;
        }
    }
    pcb_roq_sim_stats after{};
    ASSERT_EQ(pcb_roq_sim_get_stats(&after), 0);
    EXPECT_EQ(after.inits, before.inits);
    EXPECT_EQ(device_stats().opens, 0);
    EXPECT_EQ(12 * PCB_ROQ::max_samples_count, 2147483640UL);

    PCB_ROQ smallest("SIM0001", 2, 255);
    EXPECT_TRUE(smallest.opened());
}

TEST_F(PcbRoqTest, AcquiredBlocksHoldContiguousFrames) {
    PCB_ROQ board("SIM0001", 100, 255);
    board.start();

    std::optional<std::uint32_t> next;
    for (int i = 0; i < 30; ++i) {
        auto block = board.decoder.buffers.take_filled(10s);
        ASSERT_TRUE(block) << "no block " << i;
        EXPECT_TRUE(block_is_contiguous(*block, next)) << "block " << i;
    }
    stop(board);
    // Once, when streaming began (what the chip had buffered alone); never to realign.
    EXPECT_EQ(device_stats().purges_rx, 1);
}

TEST_F(PcbRoqTest, StopReturnsAndALaterStartContinuesIntoTheSamePool) {
    PCB_ROQ board("SIM0001", 100, 255);
    const auto pool = pool_storage(board);
    ASSERT_EQ(pool.size(), 64u);

    stop(board); // never started: nothing to join
    board.start();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(board.decoder.buffers.take_filled(10s));
    }
    stop(board);
    stop(board);
    EXPECT_FALSE(board.decoder.thread.joinable());
    // What the stopped run left queued depends on how far it got: possibly nothing, when the block it held
    // had no row yet.

    board.start();
    for (int i = 0; i < 100; ++i) {
        auto block = board.decoder.buffers.take_filled(10s);
        ASSERT_TRUE(block);
        EXPECT_EQ(pool.count(block->data()), 1u);
    }
    stop(board);
    const auto queued = queued_storage(board);
    EXPECT_EQ(std::set(queued.begin(), queued.end()), pool);
    EXPECT_EQ(queued.size(), 64u);
}

TEST_F(PcbRoqTest, StopWhileThePoolIsExhaustedFillsTheDataChannel) {
    PCB_ROQ board("SIM0001", 100, 255);
    board.start();
    ASSERT_TRUE(eventually([&] { return board.decoder.buffers.data_channel().size() == 63; }));
    std::this_thread::sleep_for(20ms); // the thread now waits for a block with a full one in hand

    stop(board); // a few ms plus one read; the thread must not keep waiting for a free block
    EXPECT_EQ(board.decoder.buffers.data_channel().size(), 64u);
    EXPECT_EQ(board.decoder.buffers.free_channel().size(), 0u);
    std::optional<std::uint32_t> next;
    for (int i = 0; i < 64; ++i) {
        auto block = board.decoder.buffers.data_channel().take(0ns);
        ASSERT_TRUE(block);
        EXPECT_TRUE(block_is_contiguous(*block, next)) << "block " << i;
    }
}

TEST_F(PcbRoqTest, UnplugDuringAcquisitionNeitherCrashesNorSpins) {
    PCB_ROQ board("SIM0001", 100, 255);
    // Gone after five blocks, long before the pool runs out: the thread keeps reading a dead device.
    ASSERT_EQ(pcb_roq_sim_unplug_after_bytes(0, 5 * 1200), 0);
    board.start();
    ASSERT_TRUE(eventually([] { return device_stats().plugged == 0; }));
    std::this_thread::sleep_for(50ms);
    ASSERT_GT(board.decoder.buffers.free_channel().size(), 0u);

    const auto cpu_before = thread_cpu_time(board.decoder.thread);
    const auto wall_before = clock_type::now();
    std::this_thread::sleep_for(300ms);
    const auto cpu = thread_cpu_time(board.decoder.thread) - cpu_before;
    const auto wall = clock_type::now() - wall_before;
    EXPECT_LT(cpu, wall / 5) << "the acquisition thread keeps a core busy on a device that is gone";

    board.flush();
    stop(board);
    EXPECT_EQ(queued_storage(board).size(), 64u);
}

TEST_F(PcbRoqTest, DroppedBytesAreRealignedAndLaterBlocksAreContiguousAgain) {
    // Streaming begins by purging the 1024 bytes the chip buffered alone; the drop is inside the fourth block, well
    // after the run has found the stream.
    constexpr std::uint64_t first_streamed = 1024;
    const std::uint64_t dropped = first_streamed + 12 * 450 + 3;
    ASSERT_EQ(pcb_roq_sim_drop_bytes(0, &dropped, 1), 0);
    PCB_ROQ board("SIM0001", 100, 255);
    board.start();

    int broken = 0;
    int contiguous_after_break = 0;
    std::optional<std::uint32_t> next;
    std::optional<std::uint32_t> first_intact_after_break;
    for (int i = 0; i < 300 && contiguous_after_break < 10; ++i) {
        auto block = board.decoder.buffers.take_filled(10s);
        ASSERT_TRUE(block);
        if (block_is_contiguous(*block, next)) {
            contiguous_after_break += broken > 0 ? 1 : 0;
        } else {
            ++broken;
            contiguous_after_break = 0;
        }
        bool intact = true;
        for (std::size_t r = 0; r < block->rows(); ++r) {
            intact = intact && row_matches_pattern(block->row(r));
        }
        if (broken > 0 && intact && !first_intact_after_break) {
            first_intact_after_break = frame_index(block->row(0));
        }
    }
    stop(board);

    EXPECT_EQ(device_stats().bytes_dropped, 1);
    EXPECT_GE(broken, 1);
    EXPECT_EQ(contiguous_after_break, 10);
    // Realigning continues the very bytes it searched (nothing is flushed), so the read after the one that showed
    // the shift is in step: the stream resumes within two reads of the lost byte.
    EXPECT_EQ(device_stats().purges_rx, 1);
    ASSERT_TRUE(first_intact_after_break);
    EXPECT_LE(*first_intact_after_break, first_streamed / 12 + 450u + 2 * 100 + 2);
}

TEST_F(PcbRoqTest, StartWhileAcquiringKeepsTheRunningThread) {
    PCB_ROQ board("SIM0001", 100, 255);
    board.start();
    const auto id = board.decoder.thread.get_id();

    board.start();

    EXPECT_EQ(board.decoder.thread.get_id(), id);
    EXPECT_TRUE(board.decoder.running);
    EXPECT_TRUE(board.decoder.buffers.take_filled(10s));
    stop(board);
}

TEST_F(PcbRoqTest, DestroyingAnAcquiringBoardStopsItFirst) {
    {
        PCB_ROQ board("SIM0001", 100, 255);
        board.start();
        ASSERT_TRUE(board.decoder.buffers.take_filled(10s));
    }
    // On the usbfs front end a closed device file is noticed a moment after close() returns.
    pcb_roq_sim_stats stats{};
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        ASSERT_EQ(pcb_roq_sim_get_stats(&stats), 0);
        if ((stats.live_handles == 0 && stats.live_contexts == 0) || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(stats.live_handles, 0);
    EXPECT_EQ(stats.live_contexts, 0);
}

TEST_F(PcbRoqTest, ReadRawPausesAnAcquiringBoardAroundOneRead) {
    PCB_ROQ board("SIM0001", 100, 255);
    std::vector<unsigned char> bytes(1000);

    stop(board);
    EXPECT_EQ(read_raw(board, bytes.data(), 1000), 1000); // stopped: only reads
    EXPECT_FALSE(board.decoder.thread.joinable());

    board.start();
    ASSERT_TRUE(board.decoder.buffers.take_filled(10s));
    EXPECT_EQ(read_raw(board, bytes.data(), 1000), 1000);
    EXPECT_TRUE(board.decoder.thread.joinable());
    EXPECT_TRUE(board.decoder.running);
    EXPECT_TRUE(board.decoder.buffers.take_filled(10s));
    stop(board);
    EXPECT_EQ(queued_storage(board).size(), 64u);
}

TEST_F(PcbRoqTest, ReadRawOnANeverStartedBoardLeavesItAcquiring) {
    PCB_ROQ board("SIM0001", 100, 255);
    std::vector<unsigned char> bytes(24);

    EXPECT_EQ(read_raw(board, bytes.data(), 24), 24);

    EXPECT_TRUE(board.decoder.thread.joinable());
    EXPECT_TRUE(board.decoder.buffers.take_filled(10s));
    stop(board);
}

// Python threads may call any operation of one board at once; every device call and every change of the
// thread must stay serialised, and the pool must come out whole.
TEST_F(PcbRoqTest, ConcurrentOperationsKeepThePoolWhole) {
    PCB_ROQ board("SIM0001", 50, 255);
    const auto pool = pool_storage(board);
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            while (!done) {
                auto block = board.decoder.buffers.take_filled(1ms);
                if (block) {
                    EXPECT_EQ(pool.count(block->data()), 1u);
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; !done; ++i) {
            if (i % 2 == 0) {
                board.start();
            } else {
                board.stop();
            }
            std::this_thread::sleep_for(3ms);
        }
    });
    threads.emplace_back([&] {
        std::vector<unsigned char> bytes(240);
        while (!done) {
            board.flush();
            (void)board.read_raw(bytes.data(), 240);
            std::this_thread::sleep_for(1ms);
        }
    });
    board.start();
    std::this_thread::sleep_for(500ms);
    done = true;
    for (auto &thread : threads) {
        thread.join();
    }
    stop(board);

    const auto queued = queued_storage(board);
    EXPECT_EQ(queued.size(), 64u);
    EXPECT_EQ(std::set(queued.begin(), queued.end()), pool);
}
