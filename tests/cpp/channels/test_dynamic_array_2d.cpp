#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include <gtest/gtest.h>

#include "channels/dynamic_array_2d.hpp"

using Block = DynamicArray2D<unsigned short>;

static_assert(!std::is_copy_constructible_v<Block> && !std::is_copy_assignable_v<Block>);
static_assert(std::is_nothrow_move_constructible_v<Block> && std::is_nothrow_move_assignable_v<Block>);

namespace {
void expect_empty(const Block &block) {
    EXPECT_EQ(block.rows(), 0U);
    EXPECT_EQ(block.cols(), 0U);
    EXPECT_EQ(block.size(), 0U);
    EXPECT_EQ(block.data(), nullptr);
}
} // namespace

TEST(DynamicArray2DTest, DefaultIsTheEmptyBlock) { expect_empty(Block()); }

TEST(DynamicArray2DTest, ShapeIsZeroFilledRowMajor) {
    Block block(3, 5);
    ASSERT_EQ(block.rows(), 3U);
    ASSERT_EQ(block.cols(), 5U);
    ASSERT_EQ(block.size(), 15U);
    for (std::size_t i = 0; i < block.size(); ++i) {
        EXPECT_EQ(block.data()[i], 0U) << "element " << i;
    }
    for (std::size_t r = 0; r < block.rows(); ++r) {
        EXPECT_EQ(block.row(r), block.data() + r * 5);
    }
    // Element (2, 4) is the last one of the storage.
    block.row(2)[4] = 0xBEEF;
    EXPECT_EQ(block.data()[14], 0xBEEF);
}

TEST(DynamicArray2DTest, ZeroRowsIsAValidBlockWithoutStorage) {
    Block block(0, 5);
    EXPECT_EQ(block.rows(), 0U);
    EXPECT_EQ(block.cols(), 5U);
    EXPECT_EQ(block.size(), 0U);
}

TEST(DynamicArray2DTest, MoveConstructionHandsOverStorageAndEmptiesSource) {
    Block source(4, 5);
    source.row(3)[2] = 42;
    const unsigned short *storage = source.data();

    Block target(std::move(source));
    EXPECT_EQ(target.data(), storage);
    EXPECT_EQ(target.rows(), 4U);
    EXPECT_EQ(target.cols(), 5U);
    EXPECT_EQ(target.row(3)[2], 42);
    expect_empty(source);
}

TEST(DynamicArray2DTest, MoveAssignmentHandsOverStorageAndEmptiesSource) {
    Block source(2, 5);
    const unsigned short *storage = source.data();
    Block target(7, 3);

    target = std::move(source);
    EXPECT_EQ(target.data(), storage);
    EXPECT_EQ(target.rows(), 2U);
    EXPECT_EQ(target.cols(), 5U);
    expect_empty(source);

    // A moved-from block takes a new shape again like any other.
    source = Block(1, 5);
    EXPECT_EQ(source.size(), 5U);
}

TEST(DynamicArray2DTest, SelfMoveAssignmentKeepsTheBlock) {
    Block block(2, 5);
    const unsigned short *storage = block.data();
    Block &alias = block;
    block = std::move(alias);
    EXPECT_EQ(block.data(), storage);
    EXPECT_EQ(block.rows(), 2U);
    EXPECT_EQ(block.cols(), 5U);
}

TEST(DynamicArray2DTest, RejectsShapeWhoseElementCountOverflows) {
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    // Each of these wraps around to a small element count if multiplied blindly.
    EXPECT_THROW(Block(std::size_t{1} << 32, std::size_t{1} << 32), std::length_error);
    EXPECT_THROW(Block(max / 2 + 1, 2), std::length_error);
    EXPECT_THROW(Block(2, max / 2 + 1), std::length_error);
    EXPECT_THROW(Block(max, max), std::length_error);
}

TEST(DynamicArray2DTest, RejectsShapeLargerThanTheVectorCanHold) {
    try {
        Block block(std::numeric_limits<std::size_t>::max() / 2, 1);
        ADD_FAILURE() << "expected std::length_error";
    } catch (const std::length_error &e) {
        EXPECT_EQ(std::string(e.what()), "vector::_M_default_append");
    }
}
