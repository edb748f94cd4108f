#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "channels/auto_recycled_channel.hpp"
#include "channels/dynamic_array_2d.hpp"

using namespace std::chrono_literals;
using Block = DynamicArray2D<unsigned short>;
using Pair = auto_recycled_channel<Block, 64, channels::full_policy::overwrite_last>;

namespace {

constexpr std::size_t pool_size = 64;
constexpr std::size_t block_rows = 16;
constexpr std::size_t block_cols = 5;

std::set<const unsigned short *> fill_pool(Pair &pair) {
    std::set<const unsigned short *> storage;
    for (std::size_t i = 0; i < pool_size; ++i) {
        Block block(block_rows, block_cols);
        storage.insert(block.data());
        pair.free_channel().add(std::move(block));
    }
    return storage;
}

std::set<const unsigned short *> drain(const Pair::channel_type &ch) {
    std::set<const unsigned short *> storage;
    while (auto block = ch.take(0ns)) {
        storage.insert(block->data());
    }
    return storage;
}

} // namespace

TEST(AutoRecycledChannelTest, TakeEmptyDeliversToTheDataChannel) {
    Pair pair;
    const auto storage = fill_pool(pair);
    {
        Pair::value_type block = pair.take_empty(std::nullopt);
        ASSERT_TRUE(block);
        EXPECT_EQ(block.destination(), &pair.data_channel());
        block->row(0)[0] = 11;
    }
    EXPECT_EQ(pair.free_channel().size(), pool_size - 1);
    auto delivered = pair.data_channel().take(0ns);
    ASSERT_TRUE(delivered.has_value());
    EXPECT_EQ(delivered->row(0)[0], 11);
    EXPECT_TRUE(storage.contains(delivered->data()));
}

TEST(AutoRecycledChannelTest, UnusedFilledBlockReturnsUnchangedToTheFreeChannel) {
    Pair pair;
    Block block(block_rows, block_cols);
    block.row(3)[1] = 99;
    const unsigned short *storage = block.data();
    pair.data_channel().add(std::move(block));
    {
        Pair::value_type taken = pair.take_filled(1s);
        ASSERT_TRUE(taken);
        EXPECT_EQ(taken.destination(), &pair.free_channel());
    }
    EXPECT_EQ(pair.data_channel().size(), 0U);
    auto returned = pair.free_channel().take(0ns);
    ASSERT_TRUE(returned.has_value());
    EXPECT_EQ(returned->data(), storage);
    EXPECT_EQ(returned->row(3)[1], 99);
}

TEST(AutoRecycledChannelTest, TimedOutTakeYieldsAnEmptyWrapperAndChangesNothing) {
    Pair pair;
    fill_pool(pair);
    {
        Pair::value_type nothing = pair.take_filled(1ms);
        EXPECT_FALSE(nothing);
        EXPECT_EQ(nothing.destination(), nullptr);
    }
    EXPECT_EQ(pair.free_channel().size(), pool_size);
    EXPECT_EQ(pair.data_channel().size(), 0U);
}

// The decoder's pattern: the next empty block is move-assigned over the full one, which delivers it.
TEST(AutoRecycledChannelTest, PoolFillsTheDataChannelWithoutDroppingAnyBlock) {
    Pair pair;
    const auto storage = fill_pool(pair);
    {
        Pair::value_type current = pair.take_empty(0ns);
        while (true) {
            Pair::value_type next = pair.take_empty(0ns);
            if (!next) {
                break;
            }
            current = std::move(next);
            EXPECT_LE(pair.data_channel().size(), pool_size - 1);
        }
        EXPECT_EQ(pair.data_channel().size(), pool_size - 1);
    }
    EXPECT_EQ(pair.free_channel().size(), 0U);
    EXPECT_EQ(drain(pair.data_channel()), storage);
}

namespace {

// What a run of the loop leaves behind, comparable between a single-threaded and a threaded run.
struct LoopOutcome {
    std::vector<std::uint64_t> sequence_numbers; // of the consumed blocks, sorted
    bool same_storage = false;                   // the 64 blocks in the free channel are the original ones
    std::size_t free_blocks = 0;
    std::size_t data_blocks = 0;
    std::size_t torn_blocks = 0; // blocks whose rows did not all carry the same sequence number

    bool operator==(const LoopOutcome &) const = default;
};

// The first four words carry the sequence number, 16 bits each; every later word is derived from it and its
// index, so a block written by two hands at once, or handed out twice, does not read back consistently.
void stamp(Block &block, std::uint64_t sequence) {
    unsigned short *words = block.data();
    for (std::size_t i = 0; i < block.size(); ++i) {
        words[i] = static_cast<unsigned short>(i < 4 ? sequence >> (16 * i) : sequence * 31 + i);
    }
}

std::optional<std::uint64_t> read_stamp(const Block &block) {
    const unsigned short *words = block.data();
    std::uint64_t sequence = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        sequence |= std::uint64_t{words[i]} << (16 * i);
    }
    for (std::size_t i = 4; i < block.size(); ++i) {
        if (words[i] != static_cast<unsigned short>(sequence * 31 + i)) {
            return std::nullopt;
        }
    }
    return sequence;
}

LoopOutcome finish(Pair &pair, const std::set<const unsigned short *> &storage, std::vector<std::uint64_t> seqs,
                   std::size_t torn) {
    LoopOutcome outcome;
    std::sort(seqs.begin(), seqs.end());
    outcome.sequence_numbers = std::move(seqs);
    outcome.data_blocks = pair.data_channel().size();
    outcome.free_blocks = pair.free_channel().size();
    outcome.same_storage = drain(pair.free_channel()) == storage;
    outcome.torn_blocks = torn;
    return outcome;
}

LoopOutcome run_single_threaded(std::uint64_t blocks) {
    Pair pair;
    const auto storage = fill_pool(pair);
    std::vector<std::uint64_t> seqs;
    std::size_t torn = 0;
    for (std::uint64_t i = 0; i < blocks; ++i) {
        {
            Pair::value_type empty = pair.take_empty(0ns);
            if (!empty) {
                break;
            }
            stamp(*empty, i);
        }
        Pair::value_type filled = pair.take_filled(0ns);
        if (!filled) {
            break;
        }
        const auto seq = read_stamp(*filled);
        if (seq) {
            seqs.push_back(*seq);
        } else {
            ++torn;
        }
    }
    return finish(pair, storage, std::move(seqs), torn);
}

// One producer working like the acquisition thread (1 ms attempts, hand-over by move assignment) for the
// given time, and several consumers working like Python readers (timed take, release by destruction).
LoopOutcome run_threaded(std::chrono::milliseconds duration, int consumers) {
    Pair pair;
    const auto storage = fill_pool(pair);
    std::atomic<bool> producer_done{false};
    std::atomic<std::uint64_t> produced{0};
    std::atomic<std::uint64_t> consumed{0};
    std::atomic<std::size_t> torn{0};
    std::atomic<std::size_t> out_of_order{0};
    std::mutex seqs_mutex;
    std::vector<std::uint64_t> seqs;

    std::thread producer([&] {
        // A lost block would leave the producer waiting for ever; give up after a generous while instead.
        auto next_empty = [&] {
            const auto give_up = std::chrono::steady_clock::now() + 30s;
            Pair::value_type block;
            while (!block && std::chrono::steady_clock::now() < give_up) {
                block = pair.take_empty(1ms);
            }
            return block;
        };
        const auto deadline = std::chrono::steady_clock::now() + duration;
        std::uint64_t count = 0;
        {
            Pair::value_type current = next_empty();
            while (current) {
                stamp(*current, count++);
                if (std::chrono::steady_clock::now() >= deadline) {
                    break;
                }
                current = next_empty();
            }
        }
        produced = count;
        producer_done = true;
    });

    std::vector<std::thread> readers;
    for (int c = 0; c < consumers; ++c) {
        readers.emplace_back([&] {
            std::vector<std::uint64_t> mine;
            while (!producer_done.load() || consumed.load() < produced.load()) {
                Pair::value_type filled = pair.take_filled(1ms);
                if (!filled) {
                    continue;
                }
                ++consumed;
                const auto seq = read_stamp(*filled);
                if (!seq) {
                    ++torn;
                    continue;
                }
                // Takes are oldest first, so each reader sees its blocks in production order.
                if (!mine.empty() && *seq <= mine.back()) {
                    ++out_of_order;
                }
                mine.push_back(*seq);
            }
            std::lock_guard<std::mutex> lock(seqs_mutex);
            seqs.insert(seqs.end(), mine.begin(), mine.end());
        });
    }
    producer.join();
    for (auto &reader : readers) {
        reader.join();
    }
    EXPECT_EQ(out_of_order.load(), 0U);
    return finish(pair, storage, std::move(seqs), torn.load());
}

class AutoRecycledChannelLoopTest : public ::testing::TestWithParam<int> {};

} // namespace

// The 64 blocks circulate between one producer and several consumers; whatever the interleaving, every
// block produced is consumed exactly once and the same 64 storage areas come back.
TEST_P(AutoRecycledChannelLoopTest, ThreadedLoopMatchesSingleThreadedRun) {
    const LoopOutcome actual = run_threaded(1s, GetParam());
    ASSERT_GT(actual.sequence_numbers.size(), pool_size) << "the loop should have gone round more than once";

    const LoopOutcome expected = run_single_threaded(actual.sequence_numbers.size());
    ASSERT_TRUE(expected.same_storage);
    ASSERT_EQ(expected.free_blocks, pool_size);
    ASSERT_EQ(expected.data_blocks, 0U);

    EXPECT_EQ(actual.torn_blocks, 0U);
    EXPECT_EQ(actual.free_blocks, pool_size);
    EXPECT_EQ(actual.data_blocks, 0U);
    EXPECT_TRUE(actual.same_storage);
    EXPECT_TRUE(actual == expected) << "threaded run differs from the single-threaded one";
}

INSTANTIATE_TEST_SUITE_P(Consumers, AutoRecycledChannelLoopTest, ::testing::Values(1, 2, 4));
