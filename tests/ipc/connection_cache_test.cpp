// The sender's connection cache: bounded by count and idle time, gone peers closed, a node that
// did not read left alone for a while, entries in use never closed under their user.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "outside/kavipc32/connection_cache.h"

using kavipc::ConnectionCache;

namespace {

// A connection that counts its closes: the count goes up when it is let go.
struct Closer {
    void operator()(int* closes) const { ++*closes; }
};
struct Conn {
    std::unique_ptr<int, Closer> closes;
    bool alive = true;
    explicit operator bool() const { return closes != nullptr; }
};
Conn Counted(int* closes) {
    return Conn{std::unique_ptr<int, Closer>(closes)};
}

using Cache = ConnectionCache<Conn>;

void Open(Cache& cache, const std::string& key, uint64_t now, int* closes) {
    auto e = cache.Acquire(key, now);
    ASSERT_NE(e, nullptr);
    if (!e->conn) e->conn = Counted(closes);
    cache.Done(key, e, now, true);
}

} // namespace

TEST(ConnectionCache, BoundedByCountLeastRecentlyUsedFirst) {
    int closes[5] = {};
    int many = 0;
    Cache cache(3, 1000000, 500);
    for (int i = 0; i < 5; ++i)
        Open(cache, "n" + std::to_string(i), static_cast<uint64_t>(i), &closes[i]);
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_EQ(closes[0], 1);
    EXPECT_EQ(closes[1], 1);
    EXPECT_EQ(closes[2] + closes[3] + closes[4], 0);
    // Thousands of forged senders still leave the bound.
    for (int i = 0; i < 10000; ++i)
        Open(cache, "forged" + std::to_string(i), 10 + static_cast<uint64_t>(i), &many);
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_EQ(many, 10000 - 3 + 0);
}

TEST(ConnectionCache, IdleAndGoneConnectionsAreClosedBySweep) {
    int idle = 0, gone = 0, fresh = 0;
    Cache cache(10, 1000, 500);
    Open(cache, "idle", 0, &idle);
    Open(cache, "gone", 900, &gone);
    Open(cache, "fresh", 900, &fresh);
    {
        auto e = cache.Acquire("gone", 950);
        e->conn.alive = false; // its node's process has ended
        cache.Done("gone", e, 950, true);
    }
    EXPECT_EQ(cache.Sweep(1000, [](Conn& c) { return c.alive; }), 2u);
    EXPECT_EQ(idle, 1);
    EXPECT_EQ(gone, 1);
    EXPECT_EQ(fresh, 0);
    EXPECT_EQ(cache.size(), 1u);
}

TEST(ConnectionCache, EntryInUseIsNeverClosedUnderItsUser) {
    int closes = 0, other = 0;
    Cache cache(1, 10, 500);
    auto held = cache.Acquire("busy", 0);
    held->conn = Counted(&closes);
    EXPECT_EQ(cache.Sweep(100), 0u);
    Open(cache, "other", 100, &other); // over the bound, but "busy" is in use
    EXPECT_EQ(closes, 0);
    EXPECT_TRUE(held->conn);
    cache.Done("busy", held, 100, true);
    held.reset();
    EXPECT_EQ(cache.Sweep(200), 2u); // both idle now
    EXPECT_EQ(closes, 1);
}

TEST(ConnectionCache, BrokenConnectionIsDroppedAndAPeerThatDidNotReadIsLeftAlone) {
    int broken = 0, slow = 0;
    Cache cache(4, 100000, 500);
    Open(cache, "broken", 0, &broken);
    auto e = cache.Acquire("broken", 1);
    EXPECT_TRUE(e->conn); // the one opened before, reused
    cache.Done("broken", e, 1, false);
    e.reset();
    EXPECT_EQ(broken, 1);
    EXPECT_NE(cache.Acquire("broken", 2), nullptr); // may be tried again at once

    Open(cache, "slow", 0, &slow);
    auto s = cache.Acquire("slow", 10);
    cache.Done("slow", s, 10, false, true);
    s.reset();
    EXPECT_EQ(slow, 1);
    EXPECT_TRUE(cache.Penalised("slow", 509));
    EXPECT_EQ(cache.Acquire("slow", 509), nullptr);
    EXPECT_NE(cache.Acquire("slow", 510), nullptr);
}
