#include <gtest/gtest.h>

#include <vector>

#include "shared/base/unique_resource.h"

namespace {
std::vector<int> g_closed;

struct CountingTraits {
    using type = int;
    static int invalid() noexcept { return -1; }
    static void close(int v) noexcept { g_closed.push_back(v); }
};
using Res = pm::UniqueResource<CountingTraits>;

// Closed once on every path (destruction, reset, move, assignment, put); released and invalid
// values never.
TEST(UniqueResourceTest, ClosesOnceOnEveryPath) {
    { Res r(3); }
    EXPECT_EQ(g_closed, (std::vector<int>{3}));
    {
        Res r(4);
        r.reset(5); // closes 4, holds 5
        Res moved(std::move(r));
        EXPECT_FALSE(r.valid());
        Res assigned(6);
        assigned = std::move(moved); // closes 6, holds 5
    }
    {
        Res r(7);
        EXPECT_EQ(r.release(), 7);
        Res empty;
        EXPECT_FALSE(empty);
        Res invalid(-1);
        Res put(8);
        *put.put() = 9; // closes 8 first
        EXPECT_EQ(g_closed, (std::vector<int>{3, 4, 6, 5, 8}));
        EXPECT_EQ(put.get(), 9);
    }
    EXPECT_EQ(g_closed, (std::vector<int>{3, 4, 6, 5, 8, 9}));
}
} // namespace
