// The process-wide budget of captured output: all-or-nothing reservations at its bound, every
// byte given back when a share goes, and threads reserving at once never granted beyond it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "procman/w32/exec/capture_budget.h"

namespace pm::exec::test {
namespace {

TEST(CaptureBudget, GrantsUpToItsTotalAndNotAByteMore) {
    CaptureBudget budget(100);
    EXPECT_TRUE(budget.Reserve(60));
    EXPECT_FALSE(budget.Reserve(41)); // all or nothing: nothing taken
    EXPECT_EQ(budget.InUse(), 60u);
    EXPECT_TRUE(budget.Reserve(40)); // exactly to the total
    EXPECT_FALSE(budget.Reserve(1));
    budget.Release(60);
    EXPECT_EQ(budget.InUse(), 40u);
    EXPECT_FALSE(budget.Reserve(size_t(-1))); // no wrap-around
    budget.Release(40);
    EXPECT_EQ(budget.InUse(), 0u);
}

TEST(BudgetShare, GivesBackAllItHeldWhenItGoes) {
    CaptureBudget budget(100);
    {
        BudgetShare a(&budget);
        ASSERT_TRUE(a.Grow(30));
        ASSERT_TRUE(a.GrowTo(50)); // 20 more
        EXPECT_TRUE(a.GrowTo(10)); // held already
        EXPECT_EQ(a.Held(), 50u);
        BudgetShare b(&budget);
        EXPECT_FALSE(b.Grow(51)); // a refused growth holds nothing
        EXPECT_EQ(b.Held(), 0u);
        ASSERT_TRUE(b.Grow(50));
        EXPECT_FALSE(a.GrowTo(51));
        EXPECT_EQ(a.Held(), 50u);
        EXPECT_EQ(budget.InUse(), 100u);
    }
    EXPECT_EQ(budget.InUse(), 0u);
    BudgetShare unbounded(nullptr); // no budget: everything granted
    EXPECT_TRUE(unbounded.Grow(size_t(1) << 40));
}

// Threads take one byte at a time until the budget refuses: together they get exactly its
// total, and every byte comes back.
TEST(CaptureBudget, ThreadsReservingAtOnceGetExactlyTheTotal) {
    constexpr size_t kTotal = 200000;
    CaptureBudget budget(kTotal);
    constexpr int kThreads = 8;
    std::atomic<size_t> granted{0};
    std::atomic<int> full{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            BudgetShare share(&budget);
            while (share.Grow(1)) {
            }
            granted += share.Held();
            ++full; // nothing goes back before every thread has been refused
            while (full.load() < kThreads)
                std::this_thread::yield();
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(granted.load(), kTotal);
    EXPECT_EQ(budget.InUse(), 0u);
}

} // namespace
} // namespace pm::exec::test
