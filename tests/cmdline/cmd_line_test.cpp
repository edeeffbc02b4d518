// CmdLine over a fake settings source: reading order, directory fallbacks, registry values at
// their limits, atoms, response files and the option table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/cmdline/cmd_line.h"
#include "tests/cmdline/fake_settings_source.h"

namespace {

using pm::CmdLine;
using pm::RegistryRead;
using pm::testing::FakeSettingsSource;

constexpr const char* kKey = "SOFTWARE\\Orvane\\Kestrane\\CurrentVersion";

std::string Str(const char* s) {
    return s ? s : "<null>";
}

// A fake source with the code page 932 lead-byte rules.
struct Reading {
    FakeSettingsSource source;
    pm::LeadByteTable rules = pm::LeadByteTable::CodePage932();
};

TEST(CmdLineTest, WithoutTheReadFlagEverythingIsEmptyAndNothingIsAsked) {
    FakeSettingsSource source;
    CmdLine cmd(0, source);
    EXPECT_TRUE(source.calls.empty());
    for (const char* s : {cmd.LogDirectory(), cmd.DataDirectory(), cmd.ProgramDirectory(),
                          cmd.CurrentDirectory(), cmd.Arguments(), cmd.N(), cmd.N2(), cmd.N3(),
                          cmd.L(), cmd.R(), cmd.S(), cmd.Uid(), cmd.Mn(), cmd.Gn()}) {
        EXPECT_EQ(s, nullptr);
    }
    EXPECT_EQ(cmd.AddressGiven(), 0);
    EXPECT_EQ(cmd.Manager(), 0);
    EXPECT_EQ(cmd.Init(), 0);
    EXPECT_EQ(cmd.ResponseFileError(), 0);
}

TEST(CmdLineTest, ReadsInItsOrder) {
    FakeSettingsSource source;
    source.command_line = "quorlent.exe /XCL:49152";
    source.atoms[49152] = "quorlent.exe @r1";
    source.files["r1"] = "/INIT";
    CmdLine cmd(1, source);
    const std::vector<std::string> expected = {
        "cwd",
        "cmdline",
        "module",
        "atom 49152",
        std::string("reg ") + kKey + " Data",
        std::string("reg ") + kKey + " LogDir",
        "file r1",
    };
    EXPECT_EQ(source.calls, expected);
}

TEST(CmdLineTest, WithoutRegistryValuesTheLogDirectoryIsTheProgramDirectory) {
    FakeSettingsSource source;
    CmdLine cmd(1, source);
    EXPECT_STREQ(cmd.ProgramDirectory(), "C:\\Kestrane\\bin\\");
    EXPECT_STREQ(cmd.DataDirectory(), "C:\\Kestrane\\bin\\");
    EXPECT_STREQ(cmd.LogDirectory(), "C:\\Kestrane\\bin\\");
    EXPECT_STREQ(cmd.CurrentDirectory(), "C:\\work\\");
    EXPECT_EQ(cmd.Arguments(), nullptr); // no blank after the program name
}

TEST(CmdLineTest, LogDirGetsOneTrailingBackslash) {
    for (const char* value : {"C:\\logs", "C:\\logs\\"}) {
        FakeSettingsSource source;
        source.SetString("LogDir", value);
        CmdLine cmd(1, source);
        EXPECT_STREQ(cmd.LogDirectory(), "C:\\logs\\") << value;
        EXPECT_STREQ(cmd.DataDirectory(), "C:\\Kestrane\\bin\\") << value;
    }
}

TEST(CmdLineTest, DataFeedsTheLogDirectoryWhenLogDirIsMissing) {
    FakeSettingsSource source;
    source.SetString("Data", "D:\\data");
    CmdLine cmd(1, source);
    EXPECT_STREQ(cmd.DataDirectory(), "D:\\data\\");
    EXPECT_STREQ(cmd.LogDirectory(), "D:\\data\\");
}

TEST(CmdLineTest, RegistryFallbacks) {
    const struct {
        RegistryRead result;
        std::string raw;
        const char* data;
    } cases[] = {
        {RegistryRead::kMissing, "", "C:\\Kestrane\\bin\\"},
        {RegistryRead::kNotString, "", "C:\\Kestrane\\bin\\"},
        {RegistryRead::kTooLong, "", "C:\\Kestrane\\bin\\"},
        {RegistryRead::kOk, std::string(1, '\0'), "C:\\Kestrane\\bin\\"}, // empty counts as missing
        {RegistryRead::kOk, "", "C:\\Kestrane\\bin\\"},                   // no bytes at all
        {RegistryRead::kOk, std::string("\0junk", 5), "C:\\Kestrane\\bin\\"},
        {RegistryRead::kOk, std::string("D:\\d\0junk", 9), "D:\\d\\"},     // ends at its terminator
        {RegistryRead::kOk, "D:\\d", "D:\\d\\"},                           // no terminator at all
        {RegistryRead::kOk, std::string(257, 'x'), "C:\\Kestrane\\bin\\"}, // more than was room for
    };
    for (const auto& c : cases) {
        FakeSettingsSource source;
        source.registry["Data"] = {c.result, c.raw};
        CmdLine cmd(1, source);
        EXPECT_STREQ(cmd.DataDirectory(), c.data) << static_cast<int>(c.result) << " " << c.raw;
        EXPECT_STREQ(cmd.LogDirectory(), c.data);
    }
}

TEST(CmdLineTest, EmptyLogDirFallsBackToData) {
    FakeSettingsSource source;
    source.SetString("Data", "D:\\data");
    source.SetString("LogDir", "");
    CmdLine cmd(1, source);
    EXPECT_STREQ(cmd.LogDirectory(), "D:\\data\\");
}

TEST(CmdLineTest, ValueFillingAllItsBytesStaysBounded) {
    // 256 bytes and no terminator: the text is those 256 bytes, then the backslash.
    const std::string full(256, 'L');
    FakeSettingsSource source;
    source.registry["LogDir"] = {RegistryRead::kOk, full};
    // 255 characters and the terminator fill the buffer exactly.
    const std::string exact(255, 'D');
    source.SetString("Data", exact);
    CmdLine cmd(1, source);
    EXPECT_EQ(Str(cmd.LogDirectory()), full + "\\");
    EXPECT_EQ(Str(cmd.DataDirectory()), exact + "\\");
    // Already ending in a backslash: unchanged.
    FakeSettingsSource again;
    again.registry["LogDir"] = {RegistryRead::kOk, std::string(255, 'L') + "\\"};
    CmdLine cmd2(1, again);
    EXPECT_EQ(Str(cmd2.LogDirectory()), std::string(255, 'L') + "\\");
}

TEST(CmdLineTest, RegistryValueEndingInADoubleByteCharacter) {
    // 0x95 0x5C is one character in code page 932: its trail byte is no backslash.
    Reading r;
    r.source.SetString("LogDir", "C:\\\x95\x5C");
    r.source.module_file_name = "C:\\\x95\x5C"
                                "bin.exe";
    CmdLine cmd(1, r.source, r.rules);
    EXPECT_STREQ(cmd.LogDirectory(), "C:\\\x95\x5C\\");
    // The program directory ends at the real separator, not at the trail byte.
    EXPECT_STREQ(cmd.ProgramDirectory(), "C:\\");
    EXPECT_GE(r.rules.LocaleCalls(), 1);
}

TEST(CmdLineTest, CurrentDirectoryOfADriveRootKeepsItsBackslash) {
    const struct {
        std::optional<std::string> cwd;
        const char* expected;
    } cases[] = {
        {std::string("C:\\"), "C:\\"},
        {std::string("C:\\work"), "C:\\work\\"},
        {std::string("\\\\srv\\share"), "\\\\srv\\share\\"},
        {std::string("C:\\ab"), "C:\\ab\\"},
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
        const char* module;
        const char* expected;
    } cases[] = {
        {"C:\\a\\b\\quorlent.exe", "C:\\a\\b\\"},
        {"C:/a/quorlent.exe", "C:/a/"},
        {"C:quorlent.exe", "C:"},
        {"\\\\srv\\share\\q.exe", "\\\\srv\\share\\"},
        {"quorlent.exe", "C:\\work\\"},
        {"", "C:\\work\\"},
    };
    for (const auto& c : cases) {
        FakeSettingsSource source;
        source.module_file_name = c.module;
        CmdLine cmd(1, source);
        EXPECT_STREQ(cmd.ProgramDirectory(), c.expected) << c.module;
    }
    FakeSettingsSource failing;
    failing.module_file_name.reset();
    CmdLine cmd(1, failing);
    EXPECT_STREQ(cmd.ProgramDirectory(), "C:\\work\\");
}

} // namespace
