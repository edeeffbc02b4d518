// Message blocks (size and magic in front, zero-filled, headroom, refusals) and the pool of
// released large blocks: bounds, fit, and reuse through the message blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "outside/kavipc32/block_pool.h"
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

namespace {

void* Raw(size_t n) {
    return std::malloc(n);
}

} // namespace

TEST(BlockPoolTest, KeepsWithinItsCountAndBytes) {
    struct Case {
        size_t max_blocks, max_bytes;
        std::vector<size_t> given;
        size_t kept;
    } cases[] = {
        {2, 1 << 20, {1000, 1000, 1000}, 2}, // count bound
        {8, 2500, {1000, 1000, 1000}, 2},    // byte bound
        {8, 3000, {1000, 1000, 1000}, 3},    // exactly at the byte bound
        {0, 1 << 20, {1000}, 0},             // a pool of nothing
        {8, 1 << 20, {}, 0},
    };
    for (const Case& c : cases) {
        BlockPool pool(c.max_blocks, c.max_bytes);
        for (size_t n : c.given) {
            void* p = Raw(n);
            if (!pool.Give(p, n)) std::free(p);
        }
        EXPECT_EQ(pool.kept(), c.kept) << c.max_blocks << " " << c.max_bytes;
        EXPECT_LE(pool.kept_bytes(), c.max_bytes);
    } // the pool frees what it kept (the leak checker would say otherwise)
}

TEST(BlockPoolTest, TakesOnlyWhatFitsAndIsNotMuchLarger) {
    BlockPool pool(8, 1 << 24);
    ASSERT_TRUE(pool.Give(Raw(64 * 1024), 64 * 1024));
    size_t cap = 0;
    EXPECT_EQ(pool.Take(64 * 1024 + 1, &cap), nullptr) << "too small";
    EXPECT_EQ(pool.Take(32 * 1024 - 1, &cap), nullptr) << "more than twice what is asked";
    void* p = pool.Take(32 * 1024, &cap);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(cap, 64u * 1024);
    std::memset(p, 0x11, cap); // the whole capacity is usable
    EXPECT_EQ(pool.kept(), 0u);
    EXPECT_EQ(pool.Take(32 * 1024, &cap), nullptr) << "taken once only";
    std::free(p);
    EXPECT_FALSE(pool.Give(nullptr, 10));
}

// Through the message blocks: a released large block comes back zero-filled for the next
// message, and small blocks never enter the pool.
TEST(BlockPoolTest, LargeMessageBlocksAreReusedZeroFilled) {
    const size_t size = 64 * 1024 + 100;
    auto* a = static_cast<uint8_t*>(AllocateBlock(size));
    ASSERT_NE(a, nullptr);
    std::memset(a, 0xEE, size);
    FreeBlock(a);
    auto* b = static_cast<uint8_t*>(AllocateBlock(size - 50));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(BlockSize(b), size - 50);
    for (size_t i = 0; i < size - 50; ++i)
        ASSERT_EQ(b[i], 0) << i;
    // a second release of the same block is still ignored, pooled or not
    FreeBlock(b);
    auto* c = static_cast<uint8_t*>(AllocateBlock(size));
    ASSERT_NE(c, nullptr);
    auto* d = static_cast<uint8_t*>(AllocateBlock(size));
    ASSERT_NE(d, nullptr);
    EXPECT_NE(c, d) << "one kept buffer was handed out twice";
    FreeBlock(c);
    FreeBlock(d);
}

#if defined(__SANITIZE_ADDRESS__)
#define POOL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOL_TEST_ASAN 1
#endif
#endif
#ifdef POOL_TEST_ASAN
// A kept buffer stays off limits: the sanitizer still catches a use after release.
TEST(BlockPoolDeathTest, UseOfAKeptBlockIsCaught) {
    auto* p = static_cast<volatile uint8_t*>(AllocateBlock(64 * 1024));
    ASSERT_NE(p, nullptr);
    FreeBlock(const_cast<uint8_t*>(p));
    EXPECT_DEATH(p[10] = 1, "use-after-poison");
}
#endif
