// The process-wide budget of captured output: all-or-nothing reservations at its bound, every
// byte given back when a share goes, and threads reserving at once never granted beyond it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
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
    EXPECT_TRUE(unbounded.Grow(SIZE_MAX / 2));
}

// Threads reserving and giving back at once, at the budget's edge (it holds seven of their
// reservations, not eight): a grant seen beyond the total is one that should have failed.
TEST(CaptureBudget, ThreadsReservingAtOnceNeverGoBeyondTheTotal) {
    constexpr size_t kEach = 3, kTotal = 7 * kEach + 2;
    CaptureBudget budget(kTotal);
    std::atomic<int> beyond{0}, granted{0}, ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            ++ready;
            while (ready.load() < 8) // all start together
                std::this_thread::yield();
            for (int i = 0; i < 1000000; ++i) {
                BudgetShare share(&budget);
                if (!share.Grow(kEach)) continue;
                ++granted;
                if (budget.InUse() > kTotal) ++beyond;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(beyond.load(), 0);
    EXPECT_GT(granted.load(), 0);
    EXPECT_EQ(budget.InUse(), 0u);
}

} // namespace
} // namespace pm::exec::test
