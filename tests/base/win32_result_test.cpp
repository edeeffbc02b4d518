#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "shared/base/win32_result.h"

namespace pm {
namespace {

enum class Step : uint8_t { kOpen, kRead };

TEST(Win32ResultTest, ValueOrStepAndError) {
    Win32Result<std::string, Step> ok = std::string("abc");
    EXPECT_TRUE(ok.ok());
    EXPECT_EQ(ok.value(), "abc");
    EXPECT_EQ(ok->size(), 3u);
    EXPECT_EQ(ok.error(), 0u);
    EXPECT_FALSE(ok.FailedAt(Step::kOpen));

    Win32Result<std::string, Step> failed = Win32Error(Step::kRead, 1332);
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.error(), 1332u);
    EXPECT_EQ(failed.failed_step(), Step::kRead);
    EXPECT_TRUE(failed.FailedAt(Step::kRead));
    EXPECT_FALSE(failed.FailedAt(Step::kOpen));
    EXPECT_EQ(failed.value_or("none"), "none");

    // A failure with error 0 is still a failure (a step that failed without a system error).
    Win32Status<Step> quiet = Win32Error(Step::kOpen, 0);
    EXPECT_FALSE(quiet.ok());
    Win32Status<> done = Done{};
    EXPECT_TRUE(done.ok());
    Win32Result<int> plain = Win32Error(5);
    EXPECT_EQ(plain.error(), 5u);
}

TEST(Win32ResultTest, MoveOnlyValuesAndReassignment) {
    Win32Result<std::unique_ptr<int>> r = std::make_unique<int>(7);
    std::unique_ptr<int> taken = std::move(r).value();
    EXPECT_EQ(*taken, 7);
    r = Win32Error(2);
    EXPECT_EQ(r.error(), 2u);
    r = std::make_unique<int>(8);
    EXPECT_EQ(*r.value(), 8);
}

} // namespace
} // namespace pm
