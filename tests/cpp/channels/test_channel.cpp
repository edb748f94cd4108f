#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "channels/channel.hpp"
#include "channels/dynamic_array_2d.hpp"
#include "tracked.hpp"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Policy = channels::full_policy::overwrite_last;
using TrackedChannel = channels::channel<Tracked, 64, Policy>;

static_assert(!std::is_copy_constructible_v<channels::details::_fixed_size_queue<int, 64, Policy>>);
static_assert(!std::is_move_constructible_v<channels::details::_fixed_size_queue<int, 64, Policy>>);

namespace {

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override { Tracked::reset(); }

    // Values first..last, oldest first.
    static void fill(const TrackedChannel &ch, int first, int last) {
        for (int v = first; v <= last; ++v) {
            ch.add(Tracked(v));
        }
    }

    static std::vector<int> drain(const TrackedChannel &ch) {
        std::vector<int> values;
        while (auto taken = ch.take(0ns)) {
            values.push_back(taken->value);
        }
        return values;
    }
};

std::vector<int> range(int first, int last) {
    std::vector<int> values;
    for (int v = first; v <= last; ++v) {
        values.push_back(v);
    }
    return values;
}

// Waits with a generous bound for a flag set by another thread.
bool eventually(const std::atomic<bool> &flag) {
    const auto deadline = Clock::now() + 30s;
    while (!flag.load() && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    return flag.load();
}

} // namespace

// --- add and the overwrite policy ---

TEST_F(ChannelTest, AddingTheSixtyFourthKeepsEverything) {
    TrackedChannel ch;
    fill(ch, 1, 63);
    ch.add(Tracked(64));
    EXPECT_EQ(ch.size(), 64U);
    EXPECT_TRUE(Tracked::snapshot().destroyed_values.empty());
    EXPECT_EQ(drain(ch), range(1, 64));
}

TEST_F(ChannelTest, OverwriteDropsNewest) {
    TrackedChannel ch;
    fill(ch, 1, 64);
    ch.add(Tracked(100));
    EXPECT_EQ(ch.size(), 64U);
    EXPECT_EQ(Tracked::snapshot().destroyed_values, std::vector<int>{64});

    std::vector<int> expected = range(1, 63);
    expected.push_back(100);
    EXPECT_EQ(drain(ch), expected);
}

TEST_F(ChannelTest, RepeatedOverwritesDropOneEachAndKeepTheOldest) {
    TrackedChannel ch;
    fill(ch, 1, 64);
    fill(ch, 101, 103);
    EXPECT_EQ(ch.size(), 64U);
    EXPECT_EQ(Tracked::snapshot().destroyed_values, (std::vector<int>{64, 101, 102}));
    std::vector<int> expected = range(1, 63);
    expected.push_back(103);
    EXPECT_EQ(drain(ch), expected);
}

TEST_F(ChannelTest, NeverCopiesElements) {
    TrackedChannel ch;
    fill(ch, 1, 70);
    while (auto taken = ch.take(0ns)) {
        ch.add(Tracked(taken->value + 1000));
        if (taken->value > 2000) {
            break;
        }
    }
    drain(ch);
    const Tracked::Counts counts = Tracked::snapshot();
    EXPECT_EQ(counts.copied, 0);
    EXPECT_EQ(counts.live, 0);
}

TEST_F(ChannelTest, BlockStorageSurvivesAddAndTake) {
    channels::channel<DynamicArray2D<unsigned short>, 64, Policy> ch;
    DynamicArray2D<unsigned short> block(16, 5);
    block.row(15)[4] = 7;
    const unsigned short *storage = block.data();

    ch.add(std::move(block));
    EXPECT_EQ(block.data(), nullptr);
    std::optional<DynamicArray2D<unsigned short>> taken = ch.take(std::nullopt);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->data(), storage);
    EXPECT_EQ(taken->rows(), 16U);
    EXPECT_EQ(taken->row(15)[4], 7);
}

// --- handles and lifetime ---

TEST_F(ChannelTest, CopiedHandlesShareOneQueue) {
    TrackedChannel a;
    const TrackedChannel b = a; // NOLINT(performance-unnecessary-copy-initialization)
    a.add(Tracked(5));
    EXPECT_EQ(b.size(), 1U);
    EXPECT_EQ(b->size(), 1U);
    auto taken = b.take(0ns);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->value, 5);
    EXPECT_EQ(a.size(), 0U);
}

TEST_F(ChannelTest, LastHandleDestroysQueuedElements) {
    {
        std::optional<TrackedChannel> first(std::in_place);
        fill(*first, 1, 3);
        const TrackedChannel second = *first;
        first.reset();
        EXPECT_EQ(Tracked::snapshot().live, 3);
    }
    const Tracked::Counts counts = Tracked::snapshot();
    EXPECT_EQ(counts.live, 0);
    EXPECT_EQ(counts.destroyed_values.size(), 3U);
}

// --- take and its timeouts ---

TEST_F(ChannelTest, PresentElementIsTakenWhateverTheTimeout) {
    TrackedChannel ch;
    fill(ch, 1, 5);
    const auto start = Clock::now();
    EXPECT_EQ(ch.take(1s)->value, 1);
    EXPECT_EQ(ch.take(0ns)->value, 2);
    EXPECT_EQ(ch.take(-1s)->value, 3);
    EXPECT_EQ(ch.take(std::chrono::nanoseconds::min())->value, 4);
    EXPECT_EQ(ch.take(std::nullopt)->value, 5);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(ChannelTest, ZeroOrNegativeTimeoutOnEmptyReturnsNothingPromptly) {
    TrackedChannel ch;
    for (const std::chrono::nanoseconds timeout : {0ns, -1ns, std::chrono::nanoseconds(-1s),
                                                   std::chrono::nanoseconds::min()}) {
        const auto start = Clock::now();
        EXPECT_FALSE(ch.take(timeout).has_value()) << timeout.count();
        // Generous: a wait that really used the clock would never finish.
        EXPECT_LT(Clock::now() - start, 10s) << timeout.count();
    }
}

TEST_F(ChannelTest, ElapsedTimeoutReturnsNothingNoEarlierThanTheDeadline) {
    TrackedChannel ch;
    const auto start = Clock::now();
    EXPECT_FALSE(ch.take(100ms).has_value());
    EXPECT_GE(Clock::now() - start, 100ms);
}

TEST_F(ChannelTest, ElementAddedMidWaitEndsTheWait) {
    TrackedChannel ch;
    const auto start = Clock::now();
    std::thread adder([&] {
        std::this_thread::sleep_for(50ms);
        ch.add(Tracked(9));
    });
    const std::optional<Tracked> taken = ch.take(60s);
    const auto waited = Clock::now() - start;
    adder.join();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->value, 9);
    EXPECT_GE(waited, 50ms);
    EXPECT_LT(waited, 60s);
}

// A deadline of now + timeout wraps around for timeouts near the top of the range; it has to saturate so
// that the take waits instead of giving up at once.
TEST_F(ChannelTest, HugeTimeoutWaitsForALaterAdd) {
    TrackedChannel ch;
    for (const std::chrono::nanoseconds timeout :
         {std::chrono::nanoseconds::max(), std::chrono::nanoseconds::max() - 1s}) {
        const auto start = Clock::now();
        std::thread adder([&] {
            std::this_thread::sleep_for(100ms);
            ch.add(Tracked(3));
        });
        const std::optional<Tracked> taken = ch.take(timeout);
        const auto waited = Clock::now() - start;
        adder.join();
        ASSERT_TRUE(taken.has_value()) << timeout.count();
        EXPECT_EQ(taken->value, 3);
        EXPECT_GE(waited, 100ms);
    }
}

TEST(ChannelDeadlineTest, SaturatesAtTheEndsOfTheClock) {
    using channels::details::saturating_deadline;
    const Clock::time_point now = Clock::now();
    EXPECT_EQ(saturating_deadline(now, std::chrono::nanoseconds::max()), Clock::time_point::max());
    EXPECT_EQ(saturating_deadline(now, 5s), now + 5s);
    EXPECT_EQ(saturating_deadline(now, -5s), now - 5s);

    const Clock::time_point late = Clock::time_point::max() - 1s;
    EXPECT_EQ(saturating_deadline(late, 1s), Clock::time_point::max());
    EXPECT_EQ(saturating_deadline(late, 2s), Clock::time_point::max());
    const Clock::time_point early = Clock::time_point::min() + 1s;
    EXPECT_EQ(saturating_deadline(early, -2s), Clock::time_point::min());
    EXPECT_EQ(saturating_deadline(early, std::chrono::nanoseconds::max()), early + std::chrono::nanoseconds::max());
}

// --- several threads ---

TEST_F(ChannelTest, OneAddWakesExactlyOneOfTwoTakers) {
    TrackedChannel ch;
    std::atomic<int> finished{0};
    std::atomic<bool> first_done{false};
    std::mutex got_mutex;
    std::vector<int> got;
    auto taker = [&] {
        std::optional<Tracked> taken = ch.take(std::nullopt);
        {
            std::lock_guard<std::mutex> lock(got_mutex);
            got.push_back(taken->value);
        }
        if (++finished == 1) {
            first_done = true;
        }
    };
    std::thread a(taker);
    std::thread b(taker);
    std::this_thread::sleep_for(50ms); // let both reach their wait; the outcome must not depend on it

    ch.add(Tracked(1));
    ASSERT_TRUE(eventually(first_done));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(finished.load(), 1);

    ch.add(Tracked(2));
    a.join();
    b.join();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<int>{1, 2}));
    EXPECT_EQ(ch.size(), 0U);
}

// Under contention and overwriting, every value added reaches at most one taker and is destroyed once.
TEST_F(ChannelTest, EveryValueIsTakenOnceOrDroppedUnderContention) {
    constexpr int adders = 2;
    constexpr int takers = 3;
    constexpr int per_adder = 5000;
    TrackedChannel ch;
    std::atomic<int> adders_left{adders};
    std::mutex taken_mutex;
    std::vector<int> taken_values;

    std::vector<std::thread> threads;
    for (int a = 0; a < adders; ++a) {
        threads.emplace_back([&, a] {
            for (int i = 0; i < per_adder; ++i) {
                ch.add(Tracked(a * per_adder + i));
            }
            --adders_left;
        });
    }
    for (int t = 0; t < takers; ++t) {
        threads.emplace_back([&] {
            std::vector<int> mine;
            while (true) {
                if (auto taken = ch.take(1ms)) {
                    mine.push_back(taken->value);
                } else if (adders_left.load() == 0 && ch.size() == 0) {
                    break;
                }
            }
            // Each taker sees one adder's values in the order that adder added them.
            for (int a = 0; a < adders; ++a) {
                int last = -1;
                for (int v : mine) {
                    if (v / per_adder == a) {
                        EXPECT_GT(v, last);
                        last = v;
                    }
                }
            }
            std::lock_guard<std::mutex> lock(taken_mutex);
            taken_values.insert(taken_values.end(), mine.begin(), mine.end());
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }

    // Taken values are destroyed when their taker lets go of them, dropped ones by the policy: either way
    // exactly once.
    const Tracked::Counts counts = Tracked::snapshot();
    std::vector<int> taken(adders * per_adder, 0);
    std::vector<int> destroyed(adders * per_adder, 0);
    for (int v : taken_values) {
        ++taken[static_cast<std::size_t>(v)];
    }
    for (int v : counts.destroyed_values) {
        ++destroyed[static_cast<std::size_t>(v)];
    }
    for (std::size_t v = 0; v < taken.size(); ++v) {
        ASSERT_LE(taken[v], 1) << "value " << v;
        ASSERT_EQ(destroyed[v], 1) << "value " << v;
    }
    EXPECT_EQ(counts.copied, 0);
    EXPECT_EQ(counts.live, 0);
}
