// Signals and service control against the real system: a test service registered for the run
// and controlled through both commands, and Close Application on a child of this program.
// The test program plays the child itself when PM_SIGNALS_CHILD is set.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "shared/node/command.h"
#include "procman/w32/signals/kill_process.h"
#include "procman/w32/signals/service_command.h"
#include "procman/w32/signals/signal_platform_win.h"
#include "procman/w32/table/raw_table.h"
#include "procman/w32/table/snapshot_platform_win.h"
#include "shared/base/win_handles.h"
#include "tests/signals/signals_test_support.h"

namespace pm::signals::test {
namespace {

constexpr char kChildVariable[] = "PM_SIGNALS_CHILD";
constexpr char kReadyVariable[] = "PM_SIGNALS_READY";
constexpr DWORD kQuitExitCode = 7;

// The child: "sleep" waits to be terminated, "queue" runs a message loop until WM_QUIT.
// Either tells the parent through its event when it is ready.
struct ChildMode {
    ChildMode() {
        const char* mode = std::getenv(kChildVariable);
        if (mode == nullptr) return;
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // the thread's queue exists from here
        if (const char* ready = std::getenv(kReadyVariable)) {
            if (HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready)) {
                SetEvent(e);
                CloseHandle(e);
            }
        }
        if (std::string(mode) == "queue") {
            SetTimer(nullptr, 0, 60000, nullptr); // never waits forever
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                if (msg.message == WM_TIMER) ExitProcess(1);
            }
            ExitProcess(kQuitExitCode);
        }
        Sleep(60000);
        ExitProcess(1);
    }
} g_child_mode;

std::string ExeDir() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p = path;
    return p.substr(0, p.find_last_of('\\') + 1);
}

// ---- the test service -----------------------------------------------------------------------

class ServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        key_ = "PmCfgSignalsSvc" + std::to_string(GetCurrentProcessId());
        display_ = "Pm Signals Test Service " + std::to_string(GetCurrentProcessId());
        win::unique_schandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(scm.valid());
        const std::string bin = "\"" + ExeDir() + "signals_test_service.exe\"";
        win::unique_schandle svc(
            CreateServiceA(scm.get(), key_.c_str(), display_.c_str(), SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                           bin.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(svc.valid()) << GetLastError();
    }
    static void TearDownTestSuite() {
        win::unique_schandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        win::unique_schandle svc(OpenServiceA(scm.get(), key_.c_str(), SERVICE_ALL_ACCESS));
        if (!svc) return;
        SERVICE_STATUS s{};
        if (QueryServiceStatus(svc.get(), &s) && s.dwCurrentState != SERVICE_STOPPED) {
            ControlService(svc.get(), SERVICE_CONTROL_STOP, &s);
            WaitFor(SERVICE_STOPPED);
        }
        DeleteService(svc.get());
    }

    // Polls until the service reports `state` (at most 10 s); answers the last state seen.
    static DWORD WaitFor(DWORD state) {
        win::unique_schandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        win::unique_schandle svc(OpenServiceA(scm.get(), key_.c_str(), SERVICE_QUERY_STATUS));
        SERVICE_STATUS s{};
        for (int i = 0; i < 200; ++i) {
            if (!QueryServiceStatus(svc.get(), &s)) return 0;
            if (s.dwCurrentState == state) break;
            Sleep(50);
        }
        return s.dwCurrentState;
    }

    struct Answer {
        int32_t status;
        size_t items;
        uint32_t error;
    };
    static Answer Os(const std::string& name, uint32_t op) {
        Command c(0x73124545);
        const uint8_t sub[4] = {0x00, 0x01, 0, 0};
        c.AddParam(sub, 4);
        auto n = Compressed(name.c_str());
        c.AddParam(n.data(), static_cast<uint32_t>(n.size()));
        auto o = Pid(op);
        c.AddParam(o.data(), 4);
        Win32SignalPlatform p;
        OsSpecificCommand(c, p);
        Answer a{c.status, c.GetResultCount(), 0};
        if (a.items == 1 && c.GetResultSize(0) == 4) std::memcpy(&a.error, c.GetResult(0), 4);
        return a;
    }
    static uint32_t Kill(uint32_t tab, uint32_t signal, const std::string& display) {
        table::RawTable nt(false);
        auto n = Compressed(display.c_str());
        Win32SignalPlatform p;
        return KillProcess(nt, tab, signal, n.data(), static_cast<uint32_t>(n.size()), p);
    }

    static std::string key_;
    static std::string display_;
};
std::string ServiceTest::key_;
std::string ServiceTest::display_;

TEST_F(ServiceTest, OsSpecificCommandStartsPausesContinuesAndStops) {
    Answer a = Os(display_, kOpStop); // not running
    EXPECT_EQ(a.status, kOsWrongState);
    EXPECT_EQ(a.items, 1u);

    a = Os(display_, kOpStart); // by display name
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.items, 0u);
    ASSERT_EQ(WaitFor(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));

    a = Os(key_, kOpStart); // by key name, already running
    EXPECT_EQ(a.status, kOsWrongState);
    EXPECT_EQ(a.items, 1u);
    EXPECT_EQ(Os(key_, kOpContinue).status, kOsWrongState);

    a = Os(key_, kOpPause);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(WaitFor(SERVICE_PAUSED), static_cast<DWORD>(SERVICE_PAUSED));
    EXPECT_EQ(Os(key_, kOpPause).status, kOsWrongState);

    EXPECT_EQ(Os(display_, kOpContinue).status, 0);
    EXPECT_EQ(WaitFor(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));

    EXPECT_EQ(Os(display_, kOpStop).status, 0);
    EXPECT_EQ(WaitFor(SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));

    a = Os("No Such Service Anywhere", kOpStart);
    EXPECT_EQ(a.status, kOsCannotOpenService);
    EXPECT_EQ(a.items, 1u);
    EXPECT_EQ(a.error, static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceTest, KillProcessServiceTab) {
    ASSERT_EQ(WaitFor(SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(Kill(2, kSignalStopService, display_), kKillWrongState);
    EXPECT_EQ(Kill(2, kSignalContinueService, display_), kKillWrongState);

    EXPECT_EQ(Kill(2, kSignalStartService, display_), kKillDone);
    ASSERT_EQ(WaitFor(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Kill(3, kSignalStartService, display_), kKillWrongState);

    EXPECT_EQ(Kill(2, kSignalPauseService, display_), kKillDone);
    EXPECT_EQ(WaitFor(SERVICE_PAUSED), static_cast<DWORD>(SERVICE_PAUSED));
    EXPECT_EQ(Kill(2, kSignalPauseService, display_), kKillWrongState);
    EXPECT_EQ(Kill(2, kSignalStopService, display_), kKillWrongState); // paused, not running

    EXPECT_EQ(Kill(2, kSignalContinueService, display_), kKillDone);
    EXPECT_EQ(WaitFor(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));

    EXPECT_EQ(Kill(2, kSignalStopService, display_), kKillDone);
    EXPECT_EQ(WaitFor(SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));

    EXPECT_EQ(Kill(2, kSignalStartService, key_), kKillCannotOpen); // needs the display name
    EXPECT_EQ(Kill(2, 5, display_), kKillUnsupported);
}

// ---- Close Application ----------------------------------------------------------------------

// Starts this program as a child in the given mode and waits until it is ready.
win::unique_handle StartChild(const char* mode, DWORD* pid) {
    const std::string ready = "PmSignalsReady" + std::to_string(GetCurrentProcessId()) + mode;
    win::unique_handle event(CreateEventA(nullptr, TRUE, FALSE, ready.c_str()));
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string cmd = std::string("\"") + exe + "\" --gtest_filter=None";
    SetEnvironmentVariableA(kChildVariable, mode);
    SetEnvironmentVariableA(kReadyVariable, ready.c_str());
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    BOOL ok = CreateProcessA(exe, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableA(kChildVariable, nullptr);
    SetEnvironmentVariableA(kReadyVariable, nullptr);
    if (!ok) return win::unique_handle();
    CloseHandle(pi.hThread);
    win::unique_handle process(pi.hProcess);
    *pid = pi.dwProcessId;
    EXPECT_EQ(WaitForSingleObject(event.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    return process;
}

bool InSnapshot(const table::RawTable& t, DWORD pid) {
    for (const auto& e : t.Processes())
        if (e.process_id == pid) return true;
    return false;
}

TEST(CloseApplicationTest, NtFamilyTerminatesTheChild) {
    DWORD pid = 0;
    win::unique_handle child = StartChild("sleep", &pid);
    ASSERT_TRUE(child.valid());
    table::SnapshotState state;
    table::Win32SnapshotPlatform system;
    table::RawTable snapshot(system, state);
    ASSERT_TRUE(InSnapshot(snapshot, pid));

    Win32SignalPlatform platform;
    ASSERT_FALSE(platform.IsWin9x()); // the messaging library is not loaded
    auto data = Pid(pid);
    EXPECT_EQ(KillProcess(snapshot, 1, kSignalCloseApplication, data.data(), 4, platform),
              kKillDone);
    EXPECT_EQ(WaitForSingleObject(child.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 1;
    GetExitCodeProcess(child.get(), &code);
    EXPECT_EQ(code, 0u);
}

// The two Windows 95/98 ways: WM_QUIT to the first thread, and termination with terminate
// access only.
TEST(CloseApplicationTest, Win9xWaysEndTheChild) {
    DWORD pid = 0;
    win::unique_handle child = StartChild("queue", &pid);
    ASSERT_TRUE(child.valid());
    Win32SignalPlatform platform;
    QuitAnswer quit = platform.PostQuitToFirstThread(pid);
    EXPECT_TRUE(quit.status.ok()) << quit.status.error();
    EXPECT_NE(quit.thread_id, 0u);
    EXPECT_EQ(WaitForSingleObject(child.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 1;
    GetExitCodeProcess(child.get(), &code);
    EXPECT_EQ(code, kQuitExitCode);
    // Ended: no thread left to post to.
    EXPECT_TRUE(platform.PostQuitToFirstThread(pid).status.FailedAt(QuitStep::kNoThread));

    win::unique_handle sleeper = StartChild("sleep", &pid);
    ASSERT_TRUE(sleeper.valid());
    EXPECT_TRUE(platform.TerminateProcessById(pid, ProcessAccess::kTerminateOnly).ok());
    EXPECT_EQ(WaitForSingleObject(sleeper.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    GetExitCodeProcess(sleeper.get(), &code);
    EXPECT_EQ(code, 0u);
}

} // namespace
} // namespace pm::signals::test
