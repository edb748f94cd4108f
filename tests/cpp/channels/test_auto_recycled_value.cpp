#include <functional>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "channels/auto_recycled_value.hpp"
#include "tracked.hpp"

namespace {

// A destination that records what reaches it and lets a test look around at the moment of delivery.
struct RecordingChannel {
    std::vector<int> received;
    std::function<void()> on_add;

    void add(Tracked &&value) {
        if (on_add) {
            on_add();
        }
        received.push_back(value.value);
        Tracked kept(std::move(value));
    }
};

struct FailingChannel {
    void add(Tracked &&) { throw std::bad_alloc(); }
};

using Value = auto_recycled_value<Tracked, RecordingChannel>;

class AutoRecycledValueTest : public ::testing::Test {
protected:
    void SetUp() override { Tracked::reset(); }
};

} // namespace

TEST_F(AutoRecycledValueTest, DefaultHoldsNothingAndDeliversNothing) {
    Value empty;
    EXPECT_FALSE(empty);
    EXPECT_FALSE(empty.has_value());
    EXPECT_EQ(empty.destination(), nullptr);
}

TEST_F(AutoRecycledValueTest, DestructionDeliversTheValueToItsDestination) {
    RecordingChannel destination;
    {
        Value held(Tracked(4), &destination);
        ASSERT_TRUE(held);
        EXPECT_EQ(held->value, 4);
        EXPECT_EQ((*held).value, 4);
        EXPECT_EQ(held.destination(), &destination);
        EXPECT_TRUE(destination.received.empty());
    }
    EXPECT_EQ(destination.received, std::vector<int>{4});
    EXPECT_EQ(Tracked::snapshot().copied, 0);
}

TEST_F(AutoRecycledValueTest, WithoutDestinationTheValueIsSimplyDestroyed) {
    { Value held(Tracked(4), nullptr); }
    const Tracked::Counts counts = Tracked::snapshot();
    EXPECT_EQ(counts.live, 0);
    EXPECT_EQ(counts.destroyed_values, std::vector<int>{4});
}

TEST_F(AutoRecycledValueTest, MoveConstructionLeavesSourceWithNothingToDeliver) {
    RecordingChannel destination;
    {
        Value source(Tracked(1), &destination);
        Value target(std::move(source));
        EXPECT_FALSE(source.has_value());
        EXPECT_EQ(source.destination(), nullptr);
        EXPECT_TRUE(target.has_value());
        EXPECT_EQ(target.destination(), &destination);
    }
    EXPECT_EQ(destination.received, std::vector<int>{1});
}

// The target's own value goes to its own destination before the source's value is taken over.
TEST_F(AutoRecycledValueTest, MoveAssignmentDeliversOwnValueFirst) {
    RecordingChannel e;
    RecordingChannel d;
    Value target(Tracked(1), &e);
    Value source(Tracked(2), &d);
    bool source_untouched_at_delivery = false;
    bool target_still_aimed_at_e = false;
    e.on_add = [&] {
        source_untouched_at_delivery = source.has_value() && source->value == 2 && source.destination() == &d;
        target_still_aimed_at_e = target.destination() == &e;
    };

    target = std::move(source);
    EXPECT_EQ(e.received, std::vector<int>{1});
    EXPECT_TRUE(source_untouched_at_delivery);
    EXPECT_TRUE(target_still_aimed_at_e);
    EXPECT_TRUE(d.received.empty());

    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(target->value, 2);
    EXPECT_EQ(target.destination(), &d);
    EXPECT_FALSE(source.has_value());

    e.on_add = nullptr;
    { Value gone(std::move(source)); }
    EXPECT_TRUE(d.received.empty());
    { Value gone(std::move(target)); }
    EXPECT_EQ(d.received, std::vector<int>{2});
    EXPECT_EQ(e.received, std::vector<int>{1});
    EXPECT_EQ(Tracked::snapshot().copied, 0);
}

TEST_F(AutoRecycledValueTest, MoveAssigningAnEmptyWrapperStillDeliversOwnValue) {
    RecordingChannel e;
    Value target(Tracked(1), &e);
    target = Value();
    EXPECT_EQ(e.received, std::vector<int>{1});
    EXPECT_FALSE(target.has_value());
    EXPECT_EQ(target.destination(), nullptr);
}

TEST_F(AutoRecycledValueTest, SelfMoveAssignmentKeepsTheValue) {
    RecordingChannel e;
    Value held(Tracked(1), &e);
    Value &alias = held;
    held = std::move(alias);
    EXPECT_TRUE(e.received.empty());
    EXPECT_TRUE(held.has_value());
    EXPECT_EQ(held.destination(), &e);
}

TEST_F(AutoRecycledValueTest, FailedDeliveryDoesNotEscapeTheDestructor) {
    FailingChannel destination;
    {
        auto_recycled_value<Tracked, FailingChannel> held(Tracked(8), &destination);
    }
    EXPECT_EQ(Tracked::snapshot().live, 0);
}
