// The "Platform" setting: how its value reads and the mode it decides.
#include <gtest/gtest.h>

#include "procman/w32/table/platform_choice.h"
#include "tests/cmdline/fake_settings_source.h"

namespace pm::table {
namespace {

using Choice = PlatformChoice;

TEST(PlatformChoiceTest, ValuesAsTheRegistryHandsThemOver) {
    const struct {
        RegistryRead read;
        std::string raw; // the bytes of a REG_SZ read, terminator included
        bool present, understood;
        Choice choice;
    } cases[] = {
        {RegistryRead::kMissing, "", false, false, Choice::kAutomatic},
        {RegistryRead::kOk, std::string("nt\0", 3), true, true, Choice::kNt},
        {RegistryRead::kOk, std::string(" NT \0", 5), true, true, Choice::kNt},
        {RegistryRead::kOk, std::string("95\0", 3), true, true, Choice::kWin95},
        {RegistryRead::kOk, std::string("95\0nt\0", 6), true, true, Choice::kWin95}, // to the NUL
        {RegistryRead::kOk, std::string("n\0", 2), true, false, Choice::kAutomatic},
        {RegistryRead::kOk, std::string("nt4\0", 4), true, false, Choice::kAutomatic},
        {RegistryRead::kOk, std::string("\0", 1), true, false, Choice::kAutomatic},
        {RegistryRead::kNotString, "", true, false, Choice::kAutomatic},
        {RegistryRead::kTooLong, "", true, false, Choice::kAutomatic},
    };
    for (const auto& c : cases) {
        testing::FakeSettingsSource source;
        source.registry["Platform"] = {c.read, c.raw};
        const PlatformSetting s = ReadPlatformSetting(source);
        EXPECT_EQ(s.present, c.present) << c.raw;
        EXPECT_EQ(s.understood, c.understood) << c.raw;
        EXPECT_EQ(s.choice, c.choice) << c.raw;
    }
}

TEST(PlatformChoiceTest, AChoiceOverridesTheToolhelpTest) {
    for (bool toolhelp : {false, true}) {
        EXPECT_EQ(DecideWin95Mode(Choice::kAutomatic, toolhelp), toolhelp);
        EXPECT_FALSE(DecideWin95Mode(Choice::kNt, toolhelp));
        EXPECT_TRUE(DecideWin95Mode(Choice::kWin95, toolhelp));
    }
}

} // namespace
} // namespace pm::table
