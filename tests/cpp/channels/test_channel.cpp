#include <chrono>

#include <gtest/gtest.h>

#include "channels/channel.hpp"

TEST(ChannelTest, TakesWhatWasAdded) {
    channels::channel<int, 64, channels::full_policy::overwrite_last> ch;
    ch.add(7);
    EXPECT_EQ(ch.take(std::chrono::nanoseconds(0)), 7);
}
