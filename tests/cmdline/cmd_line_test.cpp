// CmdLine over a fake settings source: directory fallbacks, registry values at their limits,
// double-byte text and the program's own location.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "shared/cmdline/cmd_line.h"
#include "tests/cmdline/fake_settings_source.h"

namespace {

using pm::CmdLine;
using pm::RegistryRead;
using pm::testing::FakeSettingsSource;
using Value = std::optional<std::pair<RegistryRead, std::string>>;

std::string Str(const char* s) {
    return s ? s : "<null>";
}

// A REG_SZ value as the registry hands it over: the text and its terminator.
Value Sz(const std::string& text) {
    return std::make_pair(RegistryRead::kOk, text + std::string(1, '\0'));
}
Value Raw(RegistryRead how, const std::string& bytes = "") {
    return std::make_pair(how, bytes);
}

const std::string kBin = "C:\\Kestrane\\bin\\";

TEST(CmdLineTest, WithoutTheReadFlagEverythingIsEmptyAndNothingIsAsked) {
    FakeSettingsSource source;
    CmdLine cmd(0, source);
    EXPECT_EQ(source.questions, 0);
    for (const char* s : {cmd.LogDirectory(), cmd.DataDirectory(), cmd.ProgramDirectory(),
                          cmd.CurrentDirectory(), cmd.Arguments(), cmd.N(), cmd.N2(), cmd.N3(),
                          cmd.L(), cmd.R(), cmd.S(), cmd.Uid(), cmd.Mn(), cmd.Gn()}) {
        EXPECT_EQ(s, nullptr);
    }
    EXPECT_EQ(cmd.AddressGiven() + cmd.Manager() + cmd.Init() + cmd.ResponseFileError(), 0);
}

TEST(CmdLineTest, DataAndLogDirectoriesFromTheRegistry) {
    const struct {
        const char* name;
        Value data, log_dir;
        std::string expected_data, expected_log;
    } cases[] = {
        {"neither value: the program directory", {}, {}, kBin, kBin},
        {"LogDir gets a backslash", {}, Sz("C:\\logs"), kBin, "C:\\logs\\"},
        {"LogDir keeps its one backslash", {}, Sz("C:\\logs\\"), kBin, "C:\\logs\\"},
        {"Data feeds a missing LogDir", Sz("D:\\data"), {}, "D:\\data\\", "D:\\data\\"},
        {"Data feeds an empty LogDir", Sz("D:\\data"), Sz(""), "D:\\data\\", "D:\\data\\"},
        {"not a string", Raw(RegistryRead::kNotString), {}, kBin, kBin},
        {"too long", Raw(RegistryRead::kTooLong), {}, kBin, kBin},
        {"empty counts as missing", Sz(""), {}, kBin, kBin},
        {"no bytes at all", Raw(RegistryRead::kOk), {}, kBin, kBin},
        {"empty text before junk",
         Raw(RegistryRead::kOk, std::string("\0junk", 5)),
         {},
         kBin,
         kBin},
        {"text ends at its terminator",
         Raw(RegistryRead::kOk, std::string("D:\\d\0junk", 9)),
         {},
         "D:\\d\\",
         "D:\\d\\"},
        {"no terminator at all", Raw(RegistryRead::kOk, "D:\\d"), {}, "D:\\d\\", "D:\\d\\"},
        {"more than there was room for",
         Raw(RegistryRead::kOk, std::string(257, 'x')),
         {},
         kBin,
         kBin},
        // 255 characters and the terminator fill the 256 bytes exactly; 256 bytes without a
        // terminator are the text; either way the backslash goes after them.
        {"all 256 bytes", Sz(std::string(255, 'D')), Raw(RegistryRead::kOk, std::string(256, 'L')),
         std::string(255, 'D') + "\\", std::string(256, 'L') + "\\"},
        {"all 256 bytes ending in a backslash",
         {},
         Raw(RegistryRead::kOk, std::string(255, 'L') + "\\"),
         kBin,
         std::string(255, 'L') + "\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSettingsSource source;
        if (c.data) source.registry["Data"] = *c.data;
        if (c.log_dir) source.registry["LogDir"] = *c.log_dir;
        CmdLine cmd(1, source);
        EXPECT_EQ(Str(cmd.ProgramDirectory()), kBin);
        EXPECT_EQ(Str(cmd.DataDirectory()), c.expected_data);
        EXPECT_EQ(Str(cmd.LogDirectory()), c.expected_log);
    }
}

TEST(CmdLineTest, RegistryValueEndingInADoubleByteCharacter) {
    // 0x95 0x5C is one character in code page 932: its trail byte is no backslash.
    FakeSettingsSource source;
    pm::LeadByteTable rules = pm::LeadByteTable::CodePage932();
    source.SetString("LogDir", "C:\\\x95\x5C");
    source.module_file_name = "C:\\\x95\x5C"
                              "bin.exe";
    CmdLine cmd(1, source, rules);
    EXPECT_STREQ(cmd.LogDirectory(), "C:\\\x95\x5C\\");
    // The program directory ends at the real separator, not at the trail byte.
    EXPECT_STREQ(cmd.ProgramDirectory(), "C:\\");
    EXPECT_GE(rules.LocaleCalls(), 1);
}

TEST(CmdLineTest, CurrentDirectoryOfADriveRootKeepsItsBackslash) {
    const struct {
        std::optional<std::string> cwd;
        const char* expected;
    } cases[] = {
        {std::string("C:\\"), "C:\\"},
        {std::string("C:\\ab"), "C:\\ab\\"},
        {std::string("\\\\srv\\share"), "\\\\srv\\share\\"},
        {std::nullopt, "\\"}, // not readable: the root of the current drive
    };
    for (const auto& c : cases) {
        FakeSettingsSource source;
        source.current_directory = c.cwd;
        source.module_file_name = "quorlent.exe"; // no folder: the current directory is used
        CmdLine cmd(1, source);
        EXPECT_STREQ(cmd.CurrentDirectory(), c.expected);
        EXPECT_STREQ(cmd.ProgramDirectory(), c.expected);
        EXPECT_STREQ(cmd.LogDirectory(), c.expected);
    }
}

TEST(CmdLineTest, ProgramDirectoryEndsAtTheLastSeparator) {
    const struct {
        std::optional<std::string> module;
        const char* expected;
    } cases[] = {
        {std::string("C:\\a\\b\\quorlent.exe"), "C:\\a\\b\\"},
        {std::string("C:/a/quorlent.exe"), "C:/a/"},
        {std::string("C:quorlent.exe"), "C:"},
        {std::string("\\\\srv\\share\\q.exe"), "\\\\srv\\share\\"},
        {std::string("quorlent.exe"), "C:\\work\\"},
        {std::string(""), "C:\\work\\"},
        {std::nullopt, "C:\\work\\"}, // not readable
    };
    for (const auto& c : cases) {
        FakeSettingsSource source;
        source.module_file_name = c.module;
        CmdLine cmd(1, source);
        EXPECT_STREQ(cmd.ProgramDirectory(), c.expected) << c.module.value_or("<none>");
    }
}

} // namespace
