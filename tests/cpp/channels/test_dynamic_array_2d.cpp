#include <gtest/gtest.h>

#include "channels/dynamic_array_2d.hpp"

TEST(DynamicArray2DTest, ShapeIsZeroFilledRowMajor) {
    DynamicArray2D<unsigned short> block(3, 5);
    EXPECT_EQ(block.rows(), 3U);
    EXPECT_EQ(block.cols(), 5U);
    EXPECT_EQ(block.row(2) + 4, block.data() + 14);
}
