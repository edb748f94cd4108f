#include <gtest/gtest.h>

#include "channels/auto_recycled_channel.hpp"

TEST(AutoRecycledChannelTest, ReleasedValueGoesToOtherSide) {
    auto_recycled_channel<int, 64, channels::full_policy::overwrite_last> pair;
    pair.free_channel().add(1);
    {
        auto v = pair.take_empty(std::nullopt);
        ASSERT_TRUE(v);
    }
    EXPECT_EQ(pair.data_channel().size(), 1U);
}
