// Signals and service control against the real system: a test service registered for the run
// and controlled through both commands, and Close Application on a child of this program.
// The test program plays the child itself when PM_SIGNALS_CHILD is set.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "procman/w32/signals/kill_process.h"
#include "procman/w32/signals/service_command.h"
#include "procman/w32/signals/signal_platform_win.h"
#include "procman/w32/table/raw_table.h"
#include "procman/w32/table/snapshot_platform_win.h"
#include "shared/node/command.h"
#include "tests/e2e_support_win.h"
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

// ---- the test service -----------------------------------------------------------------------

// OS-Specific Command (start 1, stop 2, pause 3, continue 4): the status, and the error item.
int32_t Os(const std::string& name, uint32_t op, size_t* items, uint32_t* error) {
    Command c(0x73124545);
    const uint8_t sub[4] = {0x00, 0x01, 0, 0};
    c.AddParam(sub, 4);
    auto n = Compressed(name.c_str());
    c.AddParam(n.data(), static_cast<uint32_t>(n.size()));
    auto o = Pid(op);
    c.AddParam(o.data(), 4);
    Win32SignalPlatform p;
    OsSpecificCommand(c, p);
    *items = c.GetResultCount();
    if (*items == 1 && c.GetResultSize(0) == 4) std::memcpy(error, c.GetResult(0), 4);
    return c.status;
}

uint32_t Kill(uint32_t tab, uint32_t signal, const std::string& name) {
    table::RawTable nt(false);
    auto n = Compressed(name.c_str());
    Win32SignalPlatform p;
    return KillProcess(nt, tab, signal, n.data(), static_cast<uint32_t>(n.size()), p);
}

TEST(ServiceTest, OsSpecificCommandAndKillProcessWalkTheServiceStates) {
    const std::string pid = std::to_string(GetCurrentProcessId());
    const std::string key = "PmCfgSignalsSvc" + pid, display = "Pm Signals Test Service " + pid;
    pm::test::ScopedService service(key, display,
                                    pm::test::ProgramDir() + "signals_test_service.exe");
    ASSERT_TRUE(service.created()) << GetLastError();
    enum Name { kDisplay, kKey, kUnknown };
    // `tab` 0 is OS-Specific Command with `op`; otherwise Kill Process on that tab with `op` as
    // the signal. `then` is the state the service reaches afterwards.
    struct Step {
        uint32_t tab, op;
        Name name;
        uint32_t want;
        DWORD then;
    };
    const uint32_t wrong = static_cast<uint32_t>(kOsWrongState);
    // The walks the agent's own test makes through the console are not repeated here: what is
    // left are the refusals it does not reach (already in the state, the wrong tab, a signal
    // the tab does not offer) and the system's error for a service that is not there.
    const Step steps[] = {
        {0, kOpStart, kDisplay, 0, SERVICE_RUNNING},
        {0, kOpStart, kKey, wrong, 0}, // by key name, already running
        {0, kOpContinue, kKey, wrong, 0},
        {0, kOpPause, kKey, 0, SERVICE_PAUSED},
        {0, kOpPause, kKey, wrong, 0},
        {2, kSignalPauseService, kDisplay, kKillWrongState, 0},
        {2, kSignalStopService, kDisplay, kKillWrongState, 0}, // paused, not running
        {3, kSignalStartService, kDisplay, kKillWrongState, 0},
        {2, kSignalContinueService, kDisplay, kKillDone, SERVICE_RUNNING},
        {0, kOpStop, kDisplay, 0, SERVICE_STOPPED},
        {0, kOpStart, kUnknown, static_cast<uint32_t>(kOsCannotOpenService), 0},
        {2, kSignalCloseApplication, kDisplay, kKillUnsupported, 0},
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        const Step& s = steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        const std::string name = s.name == kDisplay ? display
                                 : s.name == kKey   ? key
                                                    : "No Such One";
        if (s.tab == 0) {
            size_t items = 0;
            uint32_t error = 0;
            EXPECT_EQ(static_cast<uint32_t>(Os(name, s.op, &items, &error)), s.want);
            EXPECT_EQ(items, s.want == 0 ? 0u : 1u); // failures carry the system's error
            EXPECT_TRUE(s.name != kUnknown || error == ERROR_SERVICE_DOES_NOT_EXIST) << error;
        } else {
            EXPECT_EQ(Kill(s.tab, s.op, name), s.want);
        }
        EXPECT_EQ(s.then != 0 ? service.WaitFor(s.then) : 0, s.then);
    }
}

// ---- Close Application ----------------------------------------------------------------------

// Starts this program as a child in the given mode and waits until it is ready.
pm::test::Child StartChild(const char* mode) {
    const std::string ready = "PmSignalsReady" + std::to_string(GetCurrentProcessId()) + mode;
    win::unique_handle event(CreateEventA(nullptr, TRUE, FALSE, ready.c_str()));
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    SetEnvironmentVariableA(kChildVariable, mode);
    SetEnvironmentVariableA(kReadyVariable, ready.c_str());
    pm::test::Child child = pm::test::Start(exe, "--gtest_filter=None");
    SetEnvironmentVariableA(kChildVariable, nullptr);
    SetEnvironmentVariableA(kReadyVariable, nullptr);
    EXPECT_TRUE(!child.process || WaitForSingleObject(event.get(), 10000) == WAIT_OBJECT_0);
    return child;
}

// Each way ends a ready child with the exit code it leaves: Close Application in the NT family
// (found in a real snapshot), and the two Windows 95/98 ways: WM_QUIT to the first thread, and
// termination with terminate access only.
TEST(CloseApplicationTest, EachWayEndsTheChild) {
    Win32SignalPlatform platform;
    ASSERT_FALSE(platform.IsWin9x()); // the messaging library is not loaded
    struct Way {
        const char* name;
        const char* mode;
        DWORD exit_code;
        std::function<void(DWORD)> end;
    } ways[] = {
        {"close application", "sleep", 0,
         [&](DWORD pid) {
             table::SnapshotState state;
             table::Win32SnapshotPlatform system;
             table::RawTable snapshot(system, state);
             bool listed = false;
             for (const auto& e : snapshot.Processes())
                 listed = listed || e.process_id == pid;
             EXPECT_TRUE(listed);
             auto data = Pid(pid);
             EXPECT_EQ(KillProcess(snapshot, 1, kSignalCloseApplication, data.data(), 4, platform),
                       kKillDone);
         }},
        {"quit message", "queue", kQuitExitCode,
         [&](DWORD pid) {
             QuitAnswer quit = platform.PostQuitToFirstThread(pid);
             EXPECT_TRUE(quit.status.ok()) << quit.status.error();
             EXPECT_NE(quit.thread_id, 0u);
         }},
        {"terminate only", "sleep", 0,
         [&](DWORD pid) {
             EXPECT_TRUE(platform.TerminateProcessById(pid, ProcessAccess::kTerminateOnly).ok());
         }},
    };
    for (const Way& w : ways) {
        SCOPED_TRACE(w.name);
        pm::test::Child child = StartChild(w.mode);
        ASSERT_TRUE(child.process);
        w.end(child.pid);
        EXPECT_EQ(pm::test::Finish(child, 10000), w.exit_code);
        // Ended: no thread left to post to.
        EXPECT_TRUE(platform.PostQuitToFirstThread(child.pid).status.FailedAt(QuitStep::kNoThread));
    }
}

} // namespace
} // namespace pm::signals::test
