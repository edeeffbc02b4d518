// Message blocks: size and magic in front, zero-filled, refusals.
#include <gtest/gtest.h>

#include <cstring>

#include "outside/kavipc32/message_block.h"

using namespace kavipc;

TEST(MessageBlockTest, AllocatesZeroFilledAndKnowsItsSize) {
    auto* p = static_cast<uint8_t*>(AllocateBlock(100));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(BlockSize(p), 100u);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(p[i], 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    FreeBlock(p);
}

TEST(MessageBlockTest, RefusesZeroAndOversized) {
    EXPECT_EQ(AllocateBlock(0), nullptr);
    EXPECT_EQ(AllocateBlock(kMaxMessageSize + 1), nullptr);
}

TEST(MessageBlockTest, SixteenMebibytesPass) {
    size_t n = 16u * 1024 * 1024 + 64;
    auto* p = static_cast<uint8_t*>(AllocateBlock(n));
    ASSERT_NE(p, nullptr);
    p[n - 1] = 0x5A;
    EXPECT_EQ(BlockSize(p), n);
    FreeBlock(p);
}

TEST(MessageBlockTest, ForeignBuffersAreNotOurs) {
    alignas(16) uint8_t foreign[64] = {};
    EXPECT_EQ(BlockSize(foreign + 16), 0u);
    FreeBlock(foreign + 16); // ignored, no crash
    EXPECT_EQ(BlockSize(nullptr), 0u);
    FreeBlock(nullptr);
}
