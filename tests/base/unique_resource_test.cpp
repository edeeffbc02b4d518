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

class UniqueResourceTest : public ::testing::Test {
protected:
    void SetUp() override { g_closed.clear(); }
};

TEST_F(UniqueResourceTest, ClosesOnceOnEveryPath) {
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
    EXPECT_EQ(g_closed, (std::vector<int>{3, 4, 6, 5}));
}

TEST_F(UniqueResourceTest, ReleaseAndInvalidAreNotClosed) {
    {
        Res r(7);
        EXPECT_EQ(r.release(), 7);
        Res empty;
        EXPECT_FALSE(empty);
        Res invalid(-1);
    }
    EXPECT_TRUE(g_closed.empty());
}

TEST_F(UniqueResourceTest, PutClosesTheOldValueFirst) {
    Res r(8);
    *r.put() = 9;
    EXPECT_EQ(g_closed, (std::vector<int>{8}));
    EXPECT_EQ(r.get(), 9);
}
} // namespace
