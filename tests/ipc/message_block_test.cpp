// Message blocks: size and magic in front, zero-filled, refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "outside/kavipc32/message_block.h"

using namespace kavipc;

// Zero-filled, aligned and sized from one byte to the largest message; nothing beyond; a
// foreign buffer is none of ours.
TEST(MessageBlockTest, SizesAndRefusals) {
    for (size_t n : {size_t{1}, size_t{100}, kMaxMessageSize}) {
        auto* p = static_cast<uint8_t*>(AllocateBlock(n));
        ASSERT_NE(p, nullptr) << n;
        EXPECT_EQ(BlockSize(p), n);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
        for (size_t i = 0; i < std::min(n, size_t{100}); ++i)
            ASSERT_EQ(p[i], 0);
        p[n - 1] = 0x5A;
        FreeBlock(p);
    }
    EXPECT_EQ(AllocateBlock(0), nullptr);
    EXPECT_EQ(AllocateBlock(kMaxMessageSize + 1), nullptr);
    alignas(16) uint8_t foreign[64] = {};
    EXPECT_EQ(BlockSize(foreign + 32), 0u);
    EXPECT_EQ(BlockHeadroom(foreign + 32), nullptr);
    FreeBlock(foreign + 32); // ignored, no crash
    EXPECT_EQ(BlockSize(nullptr), 0u);
    FreeBlock(nullptr);
}

// A sender writes its chunk header into the headroom: the block, its size and its bytes stay
// as they were, and it is still freed as a block (the sanitizer sees any write out of bounds).
TEST(MessageBlockTest, HeadroomIsWritableAndLeavesTheBlockIntact) {
    for (size_t size : {size_t(1), size_t(33), size_t(65536)}) {
        auto* p = static_cast<uint8_t*>(AllocateBlock(size));
        ASSERT_NE(p, nullptr);
        std::memset(p, 0xA5, size);
        uint8_t* room = BlockHeadroom(p);
        ASSERT_EQ(room, p - kBlockHeadroom);
        std::memset(room, 0xFF, kBlockHeadroom);
        EXPECT_EQ(BlockSize(p), size);
        for (size_t i = 0; i < size; ++i)
            ASSERT_EQ(p[i], 0xA5) << i;
        // resizing keeps the headroom in front of the (perhaps moved) bytes
        auto* q = static_cast<uint8_t*>(ResizeBlock(p, size * 4));
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(BlockHeadroom(q), q - kBlockHeadroom);
        EXPECT_EQ(q[size - 1], 0xA5);
        FreeBlock(q);
    }
}
