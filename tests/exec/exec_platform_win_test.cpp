// The Win32 edge of Execute Command against the real functions (under Wine: LogonUserA accepts
// anyone and answers a token that is not a real handle, so the SID step fails with error 6).
#include <windows.h>

#include <gtest/gtest.h>

#include "procman/w32/exec/ace_grants.h"
#include "procman/w32/exec/exec_platform_win.h"
#include "shared/node/node_platform.h"
#include "procman/w32/table/snapshot_platform_win.h"
#include "shared/base/win_handles.h"
#include "tests/e2e_support_win.h"

namespace pm::exec {
namespace {

std::string RunCaptured(const std::string& line, uint32_t* exit_code, const char* dir = "") {
    StartSpec spec;
    spec.command_line = line;
    spec.working_directory = dir;
    spec.capture = true;
    spec.no_window = true;
    StartResult r = SystemExecPlatform().Start(spec);
    EXPECT_EQ(r.failure, StartResult::Failure::kNone) << r.error;
    if (!r.process) return "<not started>";
    OutputBuffer buffer;
    size_t wanted = 0;
    EXPECT_EQ(ReadOutput(r.process->Output(), false, buffer, &wanted, nullptr),
              ReadOutcome::kEnded);
    uint32_t error = 0;
    EXPECT_EQ(r.process->Wait(10000, exit_code, &error), WaitOutcome::kEnded);
    size_t n = buffer.Bytes();
    MallocBlock block(buffer.Take());
    return block ? std::string(reinterpret_cast<char*>(block.get()), n) : "";
}

// The NT family's read loop on a real pipe (quorlent under Wine reads in Windows 95 mode, and
// a missing program fails there end to end).
TEST(ExecPlatformWin, CaptureOfBothStreamsAndTheExitCode) {
    uint32_t code = 99;
    EXPECT_EQ(RunCaptured("cmd /c echo one& echo two 1>&2& exit 3", &code), "one\r\ntwo \r\n");
    EXPECT_EQ(code, 3u);
}

TEST(ExecPlatformWin, WorkingDirectoryIsRestored) {
    char before[MAX_PATH], after[MAX_PATH], windows[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, before);
    GetWindowsDirectoryA(windows, MAX_PATH);
    uint32_t code = 99;
    EXPECT_EQ(RunCaptured("cmd /c cd", &code, windows), std::string(windows) + "\r\n");
    GetCurrentDirectoryA(MAX_PATH, after);
    EXPECT_STREQ(before, after);
}

TEST(ExecPlatformWin, VariablesFromTheEnvironmentAndTheRegistry) {
    VariableSource& v = SystemExecPlatform().Variables();
    SetEnvironmentVariableA("PM_EXEC_WIN_TEST", std::string(3000, 'v').c_str());
    std::string value;
    ASSERT_TRUE(v.EnvironmentValue("PM_EXEC_WIN_TEST", &value));
    EXPECT_EQ(value.size(), 3000u); // whole, so that the caller can refuse it
    SetEnvironmentVariableA("PM_EXEC_WIN_TEST", nullptr);
    EXPECT_FALSE(v.EnvironmentValue("PM_EXEC_WIN_TEST", &value));
    std::string expanded;
    ASSERT_TRUE(v.ExpandReferences("%WINDIR%\\x", &expanded));
    char windows[MAX_PATH];
    GetEnvironmentVariableA("WINDIR", windows, MAX_PATH);
    EXPECT_EQ(expanded, std::string(windows) + "\\x");
}

TEST(ExecPlatformWin, UserStepsAgainstWine) {
    ExecPlatform& p = SystemExecPlatform();
    uint32_t error = 0;
    std::unique_ptr<LogonToken> token = p.LogOn("nobody", "anything", &error);
    ASSERT_NE(token, nullptr) << error;
    std::string sid;
    if (!p.TokenUserSid(*token, &sid, &error)) {
        EXPECT_NE(error, 0u); // Wine's token is not a real handle
    } else {
        EXPECT_EQ(SidLength(reinterpret_cast<const uint8_t*>(sid.data()), sid.size()), sid.size());
    }
    std::unique_ptr<UserObject> station = p.OpenInteractiveStation(&error);
    ASSERT_NE(station, nullptr) << error;
    std::unique_ptr<UserObject> desktop = p.OpenDefaultDesktop(&error);
    ASSERT_NE(desktop, nullptr) << error;
    std::vector<uint8_t> dacl;
    DaclKind kind = DaclKind::kAbsent;
    if (station->ReadDacl(&dacl, &kind, &error) && kind == DaclKind::kPresent) {
        EXPECT_NE(AclBytesInUse(dacl.data(), dacl.size()), 0u);
    }
}

std::string ChildPath() {
    return "\"" + pm::test::ProgramDir() + "exec_child.exe\"";
}

// A child gets only its own ends to inherit, even while the agent holds an inheritable handle
// of its own (say, a log a library opened so).
TEST(ExecPlatformWin, AChildInheritsOnlyItsOwnEnds) {
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    const std::string name =
        std::string(tmp) + "pm-inherit-probe-" + std::to_string(GetCurrentProcessId()) + ".log";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    win::unique_hfile probe(CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                        CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    ASSERT_TRUE(probe.valid());
    uint32_t code = 99;
    std::string listed = RunCaptured(ChildPath() + " handles", &code);
    EXPECT_NE(listed.find("walk sees files"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("pm-inherit-probe"), std::string::npos) << listed;
}

// A failed impersonation starts nothing (under Wine the logon's token is not a real handle).
TEST(ExecPlatformWin, AFailedImpersonationStartsNothing) {
    uint32_t error = 0;
    std::unique_ptr<LogonToken> token = SystemExecPlatform().LogOn("nobody", "x", &error);
    ASSERT_NE(token, nullptr);
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    const std::string marker =
        std::string(tmp) + "pm-impersonated-" + std::to_string(GetCurrentProcessId());
    StartSpec spec;
    spec.command_line = ChildPath() + " touch \"" + marker + "\"";
    spec.token = token.get();
    spec.variant = 3;
    StartResult r = SystemExecPlatform().Start(spec);
    if (r.process) {
        uint32_t code = 0;
        r.process->Wait(10000, &code, &error);
    }
    EXPECT_EQ(r.failure, StartResult::Failure::kImpersonate);
    EXPECT_NE(r.error, 0u);
    EXPECT_EQ(GetFileAttributesA(marker.c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileA(marker.c_str());
}

DWORD WINAPI TakeAndEnd(void* parameter) {
    auto* hold = static_cast<std::unique_ptr<ExecutionLock>*>(parameter);
    *hold = SystemExecPlatform().HoldExecutionMutex(1000);
    (void)hold->release(); // the thread ends owning the mutex
    return 0;
}

DWORD WINAPI LockAndEnd(void* parameter) {
    static_cast<Mutex*>(parameter)->Lock();
    return 0;
}

TEST(ExecPlatformWin, AbandonedLocksAreTaken) {
    table::CreateExecutionMutexOnce();
    std::unique_ptr<ExecutionLock> hold;
    win::unique_handle t(CreateThread(nullptr, 0, &TakeAndEnd, &hold, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(t.get(), 10000), WAIT_OBJECT_0);
    std::unique_ptr<ExecutionLock> mine = SystemExecPlatform().HoldExecutionMutex(1000);
    EXPECT_NE(mine, nullptr); // abandoned: owned all the same
    mine.reset();

    std::unique_ptr<Mutex> lock = SystemNodePlatform().NewMutex();
    win::unique_handle t2(CreateThread(nullptr, 0, &LockAndEnd, lock.get(), 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(t2.get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(lock->Lock());
    lock->Unlock();
}

} // namespace
} // namespace pm::exec
