#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "acquisition/simple_decoder.hpp"
#include "scripted_device.hpp"

namespace {

using decoder_type = simple_decoder<4, scripted_device>;
using block_type = decoder_type::block_type;
using namespace std::chrono_literals;

constexpr device_call read_of(int size) { return {device_call::read, size}; }

// A decoder on a scripted device, with `blocks` blocks in its free channel, each filled with `fill`.
// Once the script runs out the device clears `running`, so run() can be called on the test's own thread.
struct scripted_decoder {
    std::shared_ptr<device_script> script = std::make_shared<device_script>();
    decoder_type decoder;

    scripted_decoder(std::size_t samples_count, std::size_t blocks, unsigned short fill = 0)
        : decoder(scripted_device(script), samples_count) {
        script->stop_flag = &decoder.running;
        for (std::size_t i = 0; i < blocks; ++i) {
            block_type block(samples_count, 5);
            std::fill(block.data(), block.data() + block.size(), fill);
            decoder.buffers.free_channel().add(std::move(block));
        }
    }

    std::vector<block_type> delivered() {
        std::vector<block_type> blocks;
        while (auto block = decoder.buffers.data_channel().take(0ns)) {
            blocks.push_back(std::move(*block));
        }
        return blocks;
    }
};

// True when rows first_row .. first_row + count - 1 of `block` hold frames first_frame onward.
bool rows_are_frames(const block_type &block, std::size_t first_row, std::uint32_t first_frame, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!row_is_frame(block.row(first_row + i), first_frame + static_cast<std::uint32_t>(i))) {
            return false;
        }
    }
    return true;
}

// run() on a thread of its own; stopped and joined on the way out, also when an assertion fails.
class acquisition_thread {
public:
    explicit acquisition_thread(decoder_type &decoder) : decoder(decoder), thread(&decoder_type::run, &decoder) {}
    ~acquisition_thread() { stop(); }
    void stop() {
        decoder.running = false;
        if (thread.joinable()) {
            thread.join();
        }
    }

private:
    decoder_type &decoder;
    std::thread thread;
};

template <typename Predicate>
bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

} // namespace

TEST(SimpleDecoderTest, OneFullReadFillsOneBlockAndHandsItOff) {
    scripted_decoder t(4, 3);
    t.script->add_bytes(frames(0, 4));

    t.decoder.run();

    EXPECT_EQ(t.script->recorded(), (std::vector{read_of(48), read_of(48)}));
    auto blocks = t.delivered();
    ASSERT_EQ(blocks.size(), 1u); // the block in hand when run() ended had no row filled: back to the pool
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 0, 4));
    EXPECT_EQ(t.decoder.buffers.free_channel().size(), 2u);
    const auto c = t.decoder.counters.read();
    EXPECT_EQ(c.blocks_delivered, 1u);
    EXPECT_EQ(c.empty_blocks_returned, 1u);
    EXPECT_EQ(c.frames_decoded, 4u);
    EXPECT_EQ(c.stream_bytes, 48u);
    EXPECT_EQ(c.full_reads, 1u);
    EXPECT_EQ(c.short_reads, 1u);
}

TEST(SimpleDecoderTest, FirstReadOutOfStepIsRealignedBeforeDecoding) {
    scripted_decoder t(4, 2);
    const auto stream = frames(0, 6);
    // The read starts 5 bytes into frame 0; the last sync pair in it is frame 4's, at buffer position 43, so
    // 43 + 24 - 48 = 19 bytes reach the end of frame 5.
    t.script->add_bytes({stream.begin() + 5, stream.begin() + 53});
    t.script->add_bytes({stream.begin() + 53, stream.end()});
    t.script->add_bytes(frames(6, 4));

    t.decoder.run();

    EXPECT_EQ(t.script->recorded(), (std::vector{read_of(48), read_of(19), read_of(48), read_of(48)}));
    auto blocks = t.delivered();
    ASSERT_FALSE(blocks.empty());
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 6, 4));
    // Finding the frames at the start of a run loses nothing: it is not counted as damage.
    const auto c = t.decoder.counters.read();
    EXPECT_EQ(c.bytes_skipped_at_start, 48u + 19u);
    EXPECT_EQ(c.bytes_skipped, 0u);
    EXPECT_EQ(c.resynchronisations, 0u);
    EXPECT_EQ(c.frames_without_sync, 0u);
}

// A byte lost inside a read: the rest of that read is decoded out of step, the next read shows the shift and is
// realigned from its own last sync pair, and the read after it is in step. Nothing is flushed in between: the
// realigning read must continue exactly the bytes that were searched.
TEST(SimpleDecoderTest, ByteLostInsideAReadIsRealignedByTheNextRead) {
    scripted_decoder t(4, 4);
    auto stream = frames(0, 24);
    stream.erase(stream.begin() + 48 + 2 * 12 + 5);
    // After a first read that is whole, the second loses a byte in frame 6. The third starts at byte 1 of frame 8;
    // its last sync pair is frame 11's, at position 35, so 35 + 24 - 48 = 11 bytes reach the end of frame 12 and
    // the next read starts on frame 13.
    for (int at : {0, 48, 96}) {
        t.script->add_bytes({stream.begin() + at, stream.begin() + at + 48});
    }
    t.script->add_bytes({stream.begin() + 144, stream.begin() + 155});
    t.script->add_bytes({stream.begin() + 155, stream.begin() + 203});

    t.decoder.run();

    EXPECT_EQ(t.script->recorded(),
              (std::vector{read_of(48), read_of(48), read_of(48), read_of(11), read_of(48), read_of(48)}));
    auto blocks = t.delivered();
    ASSERT_GE(blocks.size(), 3u);
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 0, 4));
    EXPECT_TRUE(rows_are_frames(blocks[1], 0, 4, 2));
    EXPECT_FALSE(row_is_frame(blocks[1].row(2), 6));
    EXPECT_TRUE(rows_are_frames(blocks[2], 0, 13, 4));
    // Frame 7 was copied one byte early, its pair broken; the next read and the realigning one went undecoded.
    const auto c = t.decoder.counters.read();
    EXPECT_EQ(c.frames_without_sync, 1u);
    EXPECT_EQ(c.resynchronisations, 1u);
    EXPECT_EQ(c.bytes_skipped, 48u + 11u);
    EXPECT_EQ(c.bytes_skipped_at_start, 0u);
}

TEST(SimpleDecoderTest, GapInsideTheFirstReadOfARunIsSkippedNotDecoded) {
    // What the chip's FIFO held when the first transfer was queued, then a gap: in step at its first frame only.
    scripted_decoder t(4, 3);
    auto stream = frames(0, 20);
    stream.erase(stream.begin() + 2 * 12 + 5);
    // Frame 3's pair, at position 35, is the last in the read: 11 bytes reach the end of frame 4.
    t.script->add_bytes({stream.begin(), stream.begin() + 48});
    t.script->add_bytes({stream.begin() + 48, stream.begin() + 59});
    t.script->add_bytes({stream.begin() + 59, stream.begin() + 107});

    t.decoder.run();

    EXPECT_EQ(t.script->recorded(), (std::vector{read_of(48), read_of(11), read_of(48), read_of(48)}));
    auto blocks = t.delivered();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 5, 4));
    const auto c = t.decoder.counters.read();
    EXPECT_EQ(c.frames_without_sync, 0u);
    EXPECT_EQ(c.resynchronisations, 0u);
    EXPECT_EQ(c.bytes_skipped_at_start, 48u + 11u);
}

TEST(SimpleDecoderTest, ReadWithAPossibleGapIsTestedAtBothEnds) {
    scripted_decoder t(4, 3);
    t.script->add_bytes(frames(0, 4));
    // Frames 100 and 101, then the gap the device reported, into frame 200. Frame 202's pair, at position 43, is
    // the last in the read: 19 bytes reach the end of frame 203.
    const auto later = frames(200, 8);
    auto gapped = frames(100, 2);
    gapped.insert(gapped.end(), later.begin() + 5, later.begin() + 29);
    t.script->add_after_possible_gap(gapped);
    t.script->add_bytes({later.begin() + 29, later.begin() + 48});
    t.script->add_bytes({later.begin() + 48, later.end()});

    t.decoder.run();

    EXPECT_EQ(t.script->recorded(), (std::vector{read_of(48), read_of(48), read_of(19), read_of(48), read_of(48)}));
    auto blocks = t.delivered();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 0, 4));
    EXPECT_TRUE(rows_are_frames(blocks[1], 0, 204, 4));
    const auto c = t.decoder.counters.read();
    EXPECT_EQ(c.frames_without_sync, 0u);
    EXPECT_EQ(c.resynchronisations, 1u);
    EXPECT_EQ(c.bytes_skipped, 48u + 19u);
}

TEST(SimpleDecoderTest, TrailingPartialFrameIsDroppedAndNextReadFetched) {
    scripted_decoder t(4, 3);
    auto first = frames(0, 3);
    first.resize(2 * 12 + 5);
    t.script->add_bytes(first);
    t.script->add_bytes(frames(2, 4));

    t.decoder.run();

    EXPECT_EQ(t.script->recorded(), (std::vector{read_of(48), read_of(48), read_of(48)}));
    auto blocks = t.delivered();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 0, 4));
    EXPECT_TRUE(rows_are_frames(blocks[1], 0, 4, 2));
}

TEST(SimpleDecoderTest, ReadOfExactlyOneFrameIsNotDecoded) {
    scripted_decoder t(4, 2);
    t.script->add_bytes(frames(0, 1));
    t.script->add_bytes(frames(10, 4));

    t.decoder.run();

    EXPECT_EQ(t.script->recorded(), (std::vector{read_of(48), read_of(48), read_of(48)}));
    auto blocks = t.delivered();
    ASSERT_FALSE(blocks.empty());
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 10, 4));
}

// After an empty or failed read the buffer still begins with the previous read's sync pair; that must not
// make the old bytes count as a new read.
class SimpleDecoderStaleBytesTest : public testing::TestWithParam<int> {};

TEST_P(SimpleDecoderStaleBytesTest, EmptyOrFailedReadAfterFramesResynchronises) {
    scripted_decoder t(4, 3);
    t.script->add_bytes(frames(0, 2));
    if (GetParam() < 0) {
        t.script->add_code(GetParam());
    } else {
        t.script->add_bytes({});
    }
    t.script->add_bytes(frames(2, 4));

    t.decoder.run();

    EXPECT_EQ(t.script->recorded(), (std::vector{read_of(48), read_of(48), read_of(48), read_of(48)}));
    auto blocks = t.delivered();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 0, 4));
    EXPECT_TRUE(rows_are_frames(blocks[1], 0, 4, 2));
    const auto c = t.decoder.counters.read();
    EXPECT_EQ(c.resynchronisations, 1u);
    EXPECT_EQ(c.bytes_skipped, 0u);
    EXPECT_EQ(c.failed_reads, GetParam() < 0 ? 1u : 0u);
    EXPECT_EQ(c.short_reads, GetParam() < 0 ? 2u : 3u); // the first read, then the end of the script
}

INSTANTIATE_TEST_SUITE_P(ZeroBytesOrErrorCode, SimpleDecoderStaleBytesTest, testing::Values(0, -4, -666));

TEST(SimpleDecoderTest, ShortReadsFillBlocksAcrossReadBoundaries) {
    scripted_decoder t(10, 3);
    t.script->add_bytes(frames(0, 7));
    t.script->add_bytes(frames(7, 7));

    t.decoder.run();

    EXPECT_EQ(t.script->recorded(), (std::vector{read_of(120), read_of(120), read_of(120)}));
    auto blocks = t.delivered();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 0, 10));
    EXPECT_TRUE(rows_are_frames(blocks[1], 0, 10, 4));
}

TEST(SimpleDecoderTest, FrameWithBadSyncInsideReadIsCopied) {
    scripted_decoder t(4, 2);
    auto bytes = frames(0, 4);
    bytes[24] = 0x00;
    bytes[25] = 0x00;
    t.script->add_bytes(bytes);

    t.decoder.run();

    EXPECT_EQ(t.script->recorded(), (std::vector{read_of(48), read_of(48)}));
    auto blocks = t.delivered();
    ASSERT_FALSE(blocks.empty());
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 0, 4));
    EXPECT_EQ(t.decoder.counters.read().frames_without_sync, 1u);
    EXPECT_EQ(t.decoder.counters.read().resynchronisations, 0u);
}

struct backward_search_case {
    std::vector<std::size_t> pair_positions;
    int realigning_read; // 0: nothing is read
};

void PrintTo(const backward_search_case &c, std::ostream *os) {
    *os << "pairs at";
    for (std::size_t p : c.pair_positions) {
        *os << ' ' << p;
    }
    *os << ", realigning read " << c.realigning_read;
}

class SimpleDecoderBackwardSearchTest : public testing::TestWithParam<backward_search_case> {};

TEST_P(SimpleDecoderBackwardSearchTest, SearchesTwentyTwoPositionsHighestFirst) {
    scripted_decoder t(100, 2);
    std::vector<unsigned char> garbage(1200, 0x55);
    for (std::size_t p : GetParam().pair_positions) {
        garbage[p] = 0xF0;
        garbage[p + 1] = 0x0F;
    }
    t.script->add_bytes(garbage);
    if (GetParam().realigning_read > 0) {
        t.script->add_bytes(std::vector<unsigned char>(static_cast<std::size_t>(GetParam().realigning_read), 0x55));
    }
    t.script->add_bytes(frames(0, 100));

    t.decoder.run();

    std::vector expected{read_of(1200)};
    if (GetParam().realigning_read > 0) {
        expected.push_back(read_of(GetParam().realigning_read));
    }
    expected.insert(expected.end(), {read_of(1200), read_of(1200)});
    EXPECT_EQ(t.script->recorded(), expected);
    auto blocks = t.delivered();
    ASSERT_FALSE(blocks.empty());
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 0, 100));
}

INSTANTIATE_TEST_SUITE_P(Positions, SimpleDecoderBackwardSearchTest,
                         testing::Values(backward_search_case{{1180, 1190}, 14}, backward_search_case{{1198}, 22},
                                         backward_search_case{{1177}, 1}, backward_search_case{{1176}, 0}));

TEST(SimpleDecoderTest, FullBlockIsHeldUntilAnEmptyBlockArrives) {
    scripted_decoder t(4, 1);
    t.script->stop_flag = nullptr;
    t.script->after_script = -4;
    t.script->add_bytes(frames(0, 4));

    acquisition_thread acquisition(t.decoder);
    ASSERT_TRUE(eventually([&] { return t.script->read_count() >= 1 && t.decoder.buffers.free_channel().size() == 0; }));
    std::this_thread::sleep_for(20ms); // by now the block is full and the thread waits for the next one
    EXPECT_EQ(t.decoder.buffers.data_channel().size(), 0u);

    t.decoder.buffers.free_channel().add(block_type(4, 5));
    EXPECT_TRUE(eventually([&] { return t.decoder.buffers.data_channel().size() == 1; }));
    acquisition.stop();

    auto blocks = t.delivered();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 0, 4));
    EXPECT_GT(t.decoder.counters.read().wait_for_block_ns, 10'000'000u);
}

TEST(SimpleDecoderTest, StopWhileWaitingForEmptyBlockDeliversFullBlockAndEnds) {
    scripted_decoder t(4, 1);
    t.script->add_bytes(frames(0, 4), /*stop=*/true);

    t.decoder.run();

    EXPECT_EQ(t.script->recorded(), (std::vector{read_of(48), read_of(48)}));
    auto blocks = t.delivered();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 0, 4));
    EXPECT_EQ(t.decoder.buffers.free_channel().size(), 0u);
}

TEST(SimpleDecoderTest, StopWithPartlyFilledBlockDeliversItWithUnfilledRowsZeroed) {
    scripted_decoder t(4, 1, 0xAAAA);
    t.script->add_bytes(frames(0, 2), /*stop=*/true);

    t.decoder.run();

    auto blocks = t.delivered();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 0, 2));
    // The buffer held an older block's rows (0xAAAA): none of them may pass for a frame.
    EXPECT_EQ(std::count(blocks[0].row(2), blocks[0].row(4), 0), 10);
    const auto c = t.decoder.counters.read();
    EXPECT_EQ(c.blocks_delivered, 1u);
    EXPECT_EQ(c.partial_blocks, 1u);
    EXPECT_EQ(c.partial_block_rows, 2u);
}

TEST(SimpleDecoderTest, SecondRunStartsWithZeroedBufferAndFreshFetch) {
    scripted_decoder t(4, 3);
    // Three frames and the start of a fourth: its sync pair stays at position 36, inside the backward search.
    auto first = frames(0, 4);
    first.resize(3 * 12 + 5);
    t.script->add_bytes(first, /*stop=*/true);
    t.decoder.run();
    t.script->calls.clear();

    // A reused buffer would take this empty read as in step and then realign on the stale pair (a 12-byte read).
    t.script->add_bytes({});
    t.script->add_bytes(frames(4, 4));
    t.decoder.running = true;
    t.decoder.run();

    EXPECT_EQ(t.script->recorded(), (std::vector{read_of(48), read_of(48), read_of(48)}));
    auto blocks = t.delivered();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_TRUE(rows_are_frames(blocks[0], 0, 0, 3));
    EXPECT_TRUE(rows_are_frames(blocks[1], 0, 4, 4));
    const auto c = t.decoder.counters.read();
    EXPECT_EQ(c.partial_blocks, 1u); // the first run's three rows
    EXPECT_EQ(c.partial_block_rows, 3u);
    EXPECT_EQ(c.partial_frame_bytes, 5u);
    EXPECT_EQ(c.resynchronisations, 0u); // the empty read began the second run: finding the frames again
}

TEST(SimpleDecoderTest, FailingDevicePausesBetweenReadsAndStillStops) {
    scripted_decoder t(4, 2);
    t.script->stop_flag = nullptr;
    t.script->after_script = -4;

    acquisition_thread acquisition(t.decoder);
    std::this_thread::sleep_for(200ms);
    acquisition.stop();

    // About one read per 5 ms pause; a thread without a pause makes hundreds of thousands in this time.
    EXPECT_GT(t.script->read_count(), 0u);
    EXPECT_LT(t.script->read_count(), 1000u);
    EXPECT_EQ(t.delivered().size(), 0u); // nothing was decoded: the untouched block in hand went back to the pool
    EXPECT_EQ(t.decoder.counters.read().failed_reads, t.script->read_count());
}
