// CmdLine against the real system: the installation values in the registry view of this
// program's bitness (some set with reg.exe, as an installer would), a real response file, a real
// global atom. Every test puts the values back as it found them.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "shared/base/win_handles.h"
#include "shared/cmdline/cmd_line.h"
#include "shared/cmdline/cmd_line_win.h"
#include "tests/e2e_support_win.h"

namespace {

using pm::CmdLine;
using pm::test::ScopedValue;

constexpr const char* kKey = "SOFTWARE\\Orvane\\Kestrane\\CurrentVersion";

std::string Str(const char* s) {
    return s ? s : "<null>";
}

// The Win32 source with the process's command line replaced.
class CommandLineSource : public pm::Win32SettingsSource {
public:
    explicit CommandLineSource(std::string line) : line_(std::move(line)) {}
    bool CommandLine(std::string& out) override {
        out = line_;
        return true;
    }

private:
    std::string line_;
};

// How a test sets one value: not at all, written directly (bytes as stored), or with reg.exe
// (from a 32-bit program that starts the 32-bit reg.exe, so both see the same registry view).
struct Value {
    DWORD type; // 0: absent
    std::string data;
    const char* reg_type; // set with reg.exe as this type
};
Value Absent() {
    return {0, "", nullptr};
}
Value Raw(DWORD type, const std::string& bytes) {
    return {type, bytes, nullptr};
}
Value Sz(const std::string& text) {
    return {REG_SZ, text + '\0', nullptr};
}
Value RegExe(const char* type, const std::string& data) {
    return {0, data, type};
}

// The Data and LogDir values as a case sets them; both are put back on destruction.
struct InstallValues {
    InstallValues(const Value& data, const Value& log)
        : data_(Scoped("Data", data)), log_(Scoped("LogDir", log)) {
        ok = Run("Data", data) && Run("LogDir", log);
    }
    static std::unique_ptr<ScopedValue> Scoped(const char* name, const Value& v) {
        return v.type != 0 ? std::make_unique<ScopedValue>(kKey, name, v.data, v.type)
                           : std::make_unique<ScopedValue>(kKey, name);
    }
    static bool Run(const char* name, const Value& v) {
        return !v.reg_type || pm::test::RunProgram(
                                  "reg.exe", std::string("add \"HKLM\\") + kKey + "\" /v " + name +
                                                 " /t " + v.reg_type + " /d " + v.data + " /f")
                                      .code == 0;
    }
    std::unique_ptr<ScopedValue> data_, log_;
    bool ok = false;
};

TEST(CmdLineWinTest, InstallationValuesAndTheirFallBacks) {
    const std::string module = pm::test::ProgramDir();
    // 255 characters and the terminator: exactly the 256 bytes a value is read into.
    const std::string exact = "C:\\" + std::string(252, 'x');
    const std::string unterminated = "C:\\" + std::string(253, 'z'); // 256 bytes, no terminator
    struct Case {
        const char* name;
        Value data, log;
        std::string want_data, want_log;
        std::string also_log; // another acceptable LogDir, when not empty
    } cases[] = {
        {"neither value", Absent(), Absent(), module, module, ""},
        {"set with reg.exe", RegExe("REG_SZ", "D:\\kdata"), RegExe("REG_SZ", "C:\\logs\\"),
         "D:\\kdata\\", "C:\\logs\\", ""},
        {"empty and not a string", Sz(""), RegExe("REG_DWORD", "7"), module, module, ""},
        // 256 characters do not fit: as if there were none.
        {"filling the buffer", Sz("C:\\" + std::string(253, 'y')), Sz(exact), module, exact + "\\",
         ""},
        // Either the whole 256 bytes were delivered (then they end the text), or the system
        // wanted room for a terminator and the value counts as missing.
        {"unterminated", Absent(), Raw(REG_SZ, unterminated), module, unterminated + "\\", module},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InstallValues values(c.data, c.log);
        ASSERT_TRUE(values.ok);
        CmdLine cmd(1);
        EXPECT_EQ(Str(cmd.DataDirectory()), c.want_data);
        const std::string log = Str(cmd.LogDirectory());
        EXPECT_TRUE(log == c.want_log || (!c.also_log.empty() && log == c.also_log)) << log;
        EXPECT_EQ(Str(cmd.ProgramDirectory()), module);
    }
    // The working directory with its backslash, and the own command line after the program name.
    CmdLine cmd(1);
    char dir[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof dir, dir);
    const std::string cwd = dir, line = GetCommandLineA();
    EXPECT_EQ(Str(cmd.CurrentDirectory()), cwd.size() == 3 ? cwd : cwd + "\\");
    EXPECT_EQ(cmd.ResponseFileError(), 0);
    const std::size_t blank = line.find(' ');
    EXPECT_EQ(Str(cmd.Arguments()), blank == std::string::npos ? "<null>" : line.substr(blank + 1));
}

TEST(CmdLineWinTest, ResponseFileAndItsShareMode) {
    char dir[MAX_PATH] = {}, path[MAX_PATH] = {};
    ASSERT_GT(GetTempPathA(sizeof dir, dir), 0u);
    ASSERT_NE(GetTempFileNameA(dir, "rsp", 0, path), 0u);
    {
        pm::win::unique_hfile file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        const char text[] = "/INIT\r\n/MANAGER\r\n\t/L:\"from file\"\r\n";
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), text, sizeof text - 1, &written, nullptr));
    }
    // Someone else holding the file open: a writer makes opening it (denying writers) fail, a
    // reader does not. The arguments after the file stay in use either way.
    struct Case {
        const char* name;
        DWORD access, share;
        int error, init;
    } cases[] = {{"alone", 0, 0, 0, 1},
                 {"writer", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 1, 0},
                 {"reader", GENERIC_READ, FILE_SHARE_READ, 0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pm::win::unique_hfile other;
        if (c.access != 0) {
            other.reset(CreateFileA(path, c.access, c.share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(other);
        }
        CommandLineSource source(std::string("quorlent.exe @") + path + " /R:after");
        CmdLine cmd(1, source);
        EXPECT_EQ(cmd.ResponseFileError(), c.error);
        EXPECT_EQ(cmd.Init(), c.init);
        EXPECT_STREQ(cmd.R(), "after");
        if (c.error == 0) {
            EXPECT_EQ(cmd.Manager(), 1);
            EXPECT_STREQ(cmd.L(), "from file");
        }
    }
    ASSERT_TRUE(DeleteFileA(path));
    CommandLineSource source(std::string("quorlent.exe @") + path);
    CmdLine cmd(1, source);
    EXPECT_EQ(cmd.ResponseFileError(), 1);
}

TEST(CmdLineWinTest, GlobalAtomHandsOverTheCommandLine) {
    ATOM atom = GlobalAddAtomA("quorlent.exe /L:handed /INIT /N:IPX:ABCDEFGHI:JK");
    ASSERT_NE(atom, 0);
    CommandLineSource source("quorlent.exe /XCL:" + std::to_string(atom) + " /L:own");
    CmdLine cmd(1, source);
    GlobalDeleteAtom(atom);
    EXPECT_STREQ(cmd.L(), "handed");
    EXPECT_EQ(cmd.Init(), 1);
    EXPECT_STREQ(cmd.N(), "IPX:ABCDEFGHI.JK");
    EXPECT_STREQ(cmd.Arguments(), "/L:handed /INIT /N:IPX:ABCDEFGHI:JK");
    // The atom is gone now: the own command line stays in use.
    CmdLine again(1, source);
    EXPECT_STREQ(again.L(), "own");
}

TEST(PathHelpersWinTest, SystemRulesWalkTheAnsiCodePage) {
    // Whatever the code page, ASCII text walks byte by byte.
    char text[16] = "C:\\dir";
    EXPECT_TRUE(pm::AppendBackslash(text, sizeof text));
    EXPECT_STREQ(text, "C:\\dir\\");
    EXPECT_EQ(pm::FindLastBackslash(text), text + 6);
    EXPECT_EQ(pm::FindCharacter(text, "d"), text + 3);
    EXPECT_EQ(pm::FindLastCharacter(text, L':'), text + 1);
    EXPECT_TRUE(pm::RemoveTrailingBackslash(text));
    char file[] = "C:\\dir\\file.txt";
    EXPECT_TRUE(pm::StripFileName(file));
    EXPECT_STREQ(file, "C:\\dir\\");
}

} // namespace
