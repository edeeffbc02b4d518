#include <gtest/gtest.h>

#include "fake_messaging.h"
#include "shared/node/messaging_library.h"

namespace pm {
namespace {

// Loaded once, without system error boxes while it loads; its memory goes through it.
TEST(MessagingLibrary, BindsOnceWithoutErrorBoxesAndLendsItsMemory) {
    test::FakeMessaging fake;
    MessagingLibrary lib(fake);
    ASSERT_TRUE(lib.Bind());
    ASSERT_TRUE(lib.Bind()); // once bound, later uses change nothing
    EXPECT_EQ(fake.loads, std::vector<std::string>{"KAVIPC32.DLL"});
    ASSERT_EQ(fake.error_modes.size(), 2u); // the quiet mode, then the old one again
    EXPECT_EQ(fake.error_modes[0], 0x8001u);
    EXPECT_EQ(fake.inits, 1);
    EXPECT_NE(lib.Functions().EnqueueMessage2, nullptr);
    EXPECT_NE(lib.Functions().GetGlobalTimeout, nullptr);
    void* m = lib.Allocate(40);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(fake.live.count(m), 1u);
    lib.Free(m);
    EXPECT_TRUE(fake.live.empty());
    lib.Free(nullptr);
    EXPECT_EQ(fake.frees, 1);
}

class RequiredName : public ::testing::TestWithParam<const char*> {};

TEST_P(RequiredName, MissingOneFailsReleasesAndRetries) {
    test::FakeMessaging fake;
    fake.missing.insert(GetParam());
    MessagingLibrary lib(fake);
    EXPECT_FALSE(lib.Bind());
    EXPECT_FALSE(lib.IsBound());
    EXPECT_EQ(fake.module_refs, 0); // released
    EXPECT_EQ(fake.inits, 0);
    EXPECT_EQ(lib.Allocate(10), nullptr);
    fake.missing.clear();
    EXPECT_TRUE(lib.Bind()); // the next use tries again
    EXPECT_EQ(fake.loads.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(All, RequiredName,
                         ::testing::Values("InitApplication", "TermApplication", "AllocateMessage",
                                           "FreeMessage", "EnqueueMessage", "SvcNodeExists",
                                           "CreateSvcNode", "DeleteSvcNode"));

// Optional entry points may be missing; a missing library fails each time it is tried.
TEST(MessagingLibrary, OptionalNamesMayBeMissingTheLibraryMayNot) {
    test::FakeMessaging fake;
    fake.missing = {"GetGlobalTimeout", "EnqueueMessage2", "NFUseInputDesktop"};
    MessagingLibrary lib(fake);
    ASSERT_TRUE(lib.Bind());
    EXPECT_EQ(lib.Functions().GetGlobalTimeout, nullptr);
    EXPECT_EQ(lib.Functions().EnqueueMessage2, nullptr);
    test::FakeMessaging absent;
    absent.present = false;
    MessagingLibrary none(absent);
    EXPECT_FALSE(none.Bind());
    EXPECT_FALSE(none.Bind());
    EXPECT_EQ(absent.loads.size(), 2u);
}

} // namespace
} // namespace pm
