// CmdLine against the real system: the installation values in the registry view of this
// program's bitness (one set with reg.exe, as an installer would), a real response file, a real
// global atom. Every test puts the values back as it found them.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "shared/base/win_handles.h"
#include "shared/cmdline/cmd_line.h"
#include "shared/cmdline/cmd_line_win.h"

namespace {

using pm::CmdLine;

constexpr const char* kKey = "SOFTWARE\\Orvane\\Kestrane\\CurrentVersion";

// Runs reg.exe on the installation key and answers its exit code (-1 when it did not run).
// From a 32-bit program this starts the 32-bit reg.exe, so both see the same registry view.
int RunReg(const std::string& arguments) {
    std::string command = std::string("reg.exe ") + arguments;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi)) {
        return -1;
    }
    pm::win::unique_handle process(pi.hProcess);
    pm::win::unique_handle thread(pi.hThread);
    if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) return -1;
    return static_cast<int>(code);
}

int RegAdd(const char* name, const char* type, const char* data) {
    return RunReg(std::string("add \"HKLM\\") + kKey + "\" /v " + name + " /t " + type + " /d " +
                  data + " /f");
}

// A value as stored, to be put back afterwards.
struct Saved {
    DWORD type = 0;
    std::vector<BYTE> bytes;
};

pm::win::unique_hkey OpenKey(REGSAM access) {
    pm::win::unique_hkey key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, access, nullptr, key.put(), nullptr);
    return key;
}

std::optional<Saved> ReadRaw(const char* name) {
    pm::win::unique_hkey key = OpenKey(KEY_READ);
    Saved saved;
    DWORD size = 0;
    if (!key ||
        RegQueryValueExA(key.get(), name, nullptr, &saved.type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    saved.bytes.resize(size);
    if (RegQueryValueExA(key.get(), name, nullptr, &saved.type, saved.bytes.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    saved.bytes.resize(size);
    return saved;
}

bool WriteRaw(const char* name, DWORD type, const std::string& bytes) {
    pm::win::unique_hkey key = OpenKey(KEY_SET_VALUE);
    return key &&
           RegSetValueExA(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

// A REG_SZ value with its terminator.
bool WriteSz(const char* name, const std::string& text) {
    return WriteRaw(name, REG_SZ, text + std::string(1, '\0'));
}

void DeleteValue(const char* name) {
    pm::win::unique_hkey key = OpenKey(KEY_SET_VALUE);
    if (key) RegDeleteValueA(key.get(), name);
}

std::string ModuleDirectory() {
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/:") + 1);
}

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

class CmdLineWinTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 2; ++i) {
            saved_[i] = ReadRaw(kNames[i]);
            DeleteValue(kNames[i]);
            ASSERT_FALSE(ReadRaw(kNames[i]));
        }
    }
    void TearDown() override {
        for (int i = 0; i < 2; ++i) {
            DeleteValue(kNames[i]);
            if (saved_[i]) {
                WriteRaw(kNames[i], saved_[i]->type,
                         std::string(saved_[i]->bytes.begin(), saved_[i]->bytes.end()));
            }
        }
    }

private:
    static constexpr const char* kNames[2] = {"Data", "LogDir"};
    std::optional<Saved> saved_[2];
};

TEST_F(CmdLineWinTest, WithoutValuesEverythingIsTheProgramDirectory) {
    CmdLine cmd(1);
    EXPECT_EQ(Str(cmd.ProgramDirectory()), ModuleDirectory());
    EXPECT_EQ(Str(cmd.DataDirectory()), ModuleDirectory());
    EXPECT_EQ(Str(cmd.LogDirectory()), ModuleDirectory());
    char dir[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof dir, dir);
    const std::string cwd = dir;
    EXPECT_EQ(Str(cmd.CurrentDirectory()), cwd.size() == 3 ? cwd : cwd + "\\");
    EXPECT_EQ(cmd.ResponseFileError(), 0);
}

TEST_F(CmdLineWinTest, ValuesSetWithRegExeAreReadInTheSameView) {
    ASSERT_EQ(RegAdd("LogDir", "REG_SZ", "C:\\logs\\"), 0);
    ASSERT_EQ(RegAdd("Data", "REG_SZ", "D:\\kdata"), 0);
    ASSERT_TRUE(ReadRaw("LogDir")); // reg.exe wrote where this program reads
    CmdLine cmd(1);
    EXPECT_STREQ(cmd.LogDirectory(), "C:\\logs\\");
    EXPECT_STREQ(cmd.DataDirectory(), "D:\\kdata\\");
    EXPECT_EQ(Str(cmd.ProgramDirectory()), ModuleDirectory());
}

TEST_F(CmdLineWinTest, EmptyAndNonStringValuesFallBack) {
    ASSERT_TRUE(WriteSz("Data", ""));
    ASSERT_EQ(RegAdd("LogDir", "REG_DWORD", "7"), 0);
    CmdLine cmd(1);
    EXPECT_EQ(Str(cmd.DataDirectory()), ModuleDirectory());
    EXPECT_EQ(Str(cmd.LogDirectory()), ModuleDirectory());
}

TEST_F(CmdLineWinTest, ValueFillingItsWholeBufferStaysBounded) {
    // 255 characters and the terminator: exactly the 256 bytes it is read into.
    const std::string exact = "C:\\" + std::string(252, 'x');
    ASSERT_TRUE(WriteSz("LogDir", exact));
    // 256 characters do not fit: as if there were none.
    ASSERT_TRUE(WriteSz("Data", "C:\\" + std::string(253, 'y')));
    CmdLine cmd(1);
    EXPECT_EQ(Str(cmd.LogDirectory()), exact + "\\");
    EXPECT_EQ(Str(cmd.DataDirectory()), ModuleDirectory());
}

TEST_F(CmdLineWinTest, UnterminatedValueOfAllTheBytesStaysBounded) {
    // 256 bytes of a string value without a terminator.
    const std::string bytes = "C:\\" + std::string(253, 'z');
    ASSERT_TRUE(WriteRaw("LogDir", REG_SZ, bytes));
    CmdLine cmd(1);
    std::string log = Str(cmd.LogDirectory());
    // Either the whole 256 bytes were delivered (then they end the text), or the system wanted
    // room for a terminator and the value counts as missing.
    EXPECT_TRUE(log == bytes + "\\" || log == ModuleDirectory()) << log.size();
}

TEST_F(CmdLineWinTest, ResponseFileAndItsShareMode) {
    char dir[MAX_PATH] = {};
    ASSERT_GT(GetTempPathA(sizeof dir, dir), 0u);
    char path[MAX_PATH] = {};
    ASSERT_NE(GetTempFileNameA(dir, "rsp", 0, path), 0u);
    {
        pm::win::unique_hfile file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        const char text[] = "/INIT\r\n/MANAGER\r\n\t/L:\"from file\"\r\n";
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), text, sizeof text - 1, &written, nullptr));
    }
    {
        CommandLineSource source(std::string("quorlent.exe @") + path);
        CmdLine cmd(1, source);
        EXPECT_EQ(cmd.Init(), 1);
        EXPECT_EQ(cmd.Manager(), 1);
        EXPECT_STREQ(cmd.L(), "from file");
        EXPECT_EQ(cmd.ResponseFileError(), 0);
    }
    {
        // Someone writing the file: opening it while denying writers fails.
        pm::win::unique_hfile writer(CreateFileA(path, GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(writer);
        CommandLineSource source(std::string("quorlent.exe @") + path + " /R:after");
        CmdLine cmd(1, source);
        EXPECT_EQ(cmd.ResponseFileError(), 1);
        EXPECT_EQ(cmd.Init(), 0);
        EXPECT_STREQ(cmd.R(), "after");
    }
    {
        // Someone else reading it is fine.
        pm::win::unique_hfile reader(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader);
        CommandLineSource source(std::string("quorlent.exe @") + path);
        CmdLine cmd(1, source);
        EXPECT_EQ(cmd.ResponseFileError(), 0);
        EXPECT_EQ(cmd.Init(), 1);
    }
    ASSERT_TRUE(DeleteFileA(path));
    CommandLineSource source(std::string("quorlent.exe @") + path);
    CmdLine cmd(1, source);
    EXPECT_EQ(cmd.ResponseFileError(), 1);
}

TEST_F(CmdLineWinTest, GlobalAtomHandsOverTheCommandLine) {
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

TEST_F(CmdLineWinTest, OwnCommandLineAfterTheProgramName) {
    CmdLine cmd(1);
    std::string line = GetCommandLineA();
    std::size_t blank = line.find(' ');
    if (blank == std::string::npos) {
        EXPECT_EQ(cmd.Arguments(), nullptr);
    } else {
        EXPECT_EQ(Str(cmd.Arguments()), line.substr(blank + 1));
    }
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
