// Kill Process (Close Application on tab 1, service control on tabs 2 and 3 by display name) and
// the OS-Specific Command (service control by display or key name), through a fake platform.
// Both commands decide alike from the service's state.
#include <gtest/gtest.h>

#include "procman/w32/signals/kill_process.h"
#include "procman/w32/signals/service_command.h"
#include "tests/signals/fake_signal_platform.h"
#include "tests/signals/signals_test_support.h"

namespace pm::signals::test {
namespace {

std::unique_ptr<Command> Request(std::vector<std::vector<uint8_t>> params) {
    auto c = std::make_unique<Command>(0x73124545);
    for (const auto& p : params)
        c->AddParam(p.data(), static_cast<uint32_t>(p.size()));
    return c;
}

// A service name whose u-umlaut takes two bytes in compressed unicode.
constexpr char kName[] = "Dienst \xFC";

std::unique_ptr<Command> Os(uint32_t op, FakeSignalPlatform& p) {
    auto c = Request({Pid(0x100), Compressed(kName), Pid(op)});
    OsSpecificCommand(*c, p);
    return c;
}

uint32_t Kill(uint32_t tab, uint32_t signal, FakeSignalPlatform& p) {
    const table::RawTable nt(false);
    auto data = Compressed(kName);
    return KillProcess(nt, tab, signal, data.data(), static_cast<uint32_t>(data.size()), p);
}

uint32_t ErrorItem(const Command& c) {
    EXPECT_EQ(c.GetResultCount(), 1u);
    if (c.GetResultCount() != 1 || c.GetResultSize(0) != 4) return 0xFFFFFFFF;
    const uint8_t* r = c.GetResult(0);
    return r[0] | r[1] << 8 | r[2] << 16 | uint32_t(r[3]) << 24;
}

class KillProcessTest : public ::testing::Test {
protected:
    KillProcessTest() : nt_(false), win95_(true) {
        for (auto* t : {&nt_, &win95_}) {
            auto& procs = t->MutableProcesses();
            procs.push_back(Process(4, "System"));
            procs.push_back(Process(100, "C:\\WINDOWS\\NOTEPAD.EXE"));
            procs.push_back(Process(200, "C:\\WINDOWS\\COMMAND.COM", kConsoleProcessFlag));
            procs.push_back(Process(300, "C:\\WINDOWS\\SYSTEM\\WINOA386.MOD"));
            procs.push_back(Process(400, "C:\\WINDOWS\\SYSTEM\\winoa386.mod"));
            procs.push_back(Process(100, "second entry with the same id"));
        }
    }
    uint32_t Tab1(const table::RawTable& t, uint32_t pid, uint32_t signal, FakeSignalPlatform& p) {
        auto data = Pid(pid);
        return KillProcess(t, 1, signal, data.data(), 4, p);
    }
    bool NothingAsked(const FakeSignalPlatform& p) {
        return p.terminated.empty() && p.quit_asked.empty() && p.service_name.empty();
    }

    table::RawTable nt_;
    table::RawTable win95_;
};

TEST_F(KillProcessTest, RefusedBeforeTheSystemIsAsked) {
    FakeSignalPlatform p;
    for (uint32_t tab : {2u, 3u, 7u}) { // Windows 95 mode has no service tabs
        auto data = Compressed("Spooler");
        EXPECT_EQ(KillProcess(win95_, tab, 9, data.data(), 8, p), kKillNoSuchTab);
    }
    for (uint32_t signal = 0; signal <= 10; ++signal) // not in the snapshot, whatever the signal
        EXPECT_EQ(Tab1(nt_, 999, signal, p), kKillNotFound);
    for (uint32_t signal : {0u, 1u, 2u, 3u, 4u, 6u, 7u, 8u, 9u}) {
        EXPECT_EQ(Tab1(nt_, 100, signal, p), kKillUnsupported) << signal;
        EXPECT_EQ(Tab1(win95_, 100, signal, p), kKillUnsupported) << signal;
    }
    const uint8_t three[] = {100, 0, 0};
    EXPECT_EQ(KillProcess(nt_, 1, 5, three, 3, p), kKillNotFound);
    EXPECT_EQ(KillProcess(nt_, 1, 5, nullptr, 0, p), kKillNotFound);
    for (uint32_t signal : {0u, 1u, 5u, 10u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Kill(2, signal, p), kKillUnsupported) << signal;
        EXPECT_EQ(Kill(3, signal, p), kKillUnsupported) << signal;
    }
    // A service name must end inside its parameter.
    auto data = Compressed("Test Service");
    EXPECT_EQ(KillProcess(nt_, 2, 8, data.data(), static_cast<uint32_t>(data.size() - 1), p),
              kKillCannotOpen);
    EXPECT_EQ(KillProcess(nt_, 2, 8, nullptr, 0, p), kKillCannotOpen);
    EXPECT_TRUE(NothingAsked(p));

    const uint8_t longer[] = {100, 0, 0, 0, 0xFF, 0xFF}; // bytes after the first four ignored
    EXPECT_EQ(KillProcess(nt_, 1, 5, longer, sizeof longer, p), kKillDone);
}

TEST_F(KillProcessTest, CloseApplication) {
    const auto open_fails = Win32Error(TerminateStep::kOpenProcess, 5);
    const auto terminate_fails = Win32Error(TerminateStep::kTerminate, 5);
    QuitAnswer posted{20, Done{}};
    QuitAnswer no_snapshot{0, Win32Error(QuitStep::kThreadSnapshot, 8)};
    QuitAnswer no_thread{0, Win32Error(QuitStep::kNoThread, 0)};
    QuitAnswer post_fails{20, Win32Error(QuitStep::kPost, 1444)};
    enum Expect { kTerminateAll, kTerminateOnly, kQuit };
    struct Case {
        const char* what;
        bool win95_table, win9x;
        uint32_t pid;
        Win32Status<TerminateStep> terminate;
        QuitAnswer quit;
        uint32_t result;
        Expect asked;
    };
    // clang-format off
    const Case cases[] = {
        {"NT terminates", false, false, 100, Done{}, {}, kKillDone, kTerminateAll},
        {"NT cannot open", false, false, 100, open_fails, {}, kKillNotFound, kTerminateAll},
        {"NT terminate fails", false, false, 100, terminate_fails, {}, kKillCallFailed, kTerminateAll},
        // Wine: the toolhelp functions make the table Windows 95 mode; ordinal 37 says NT.
        {"95 table on NT", true, false, 200, Done{}, {}, kKillDone, kTerminateAll},
        {"9x console by flag", true, true, 200, Done{}, {}, kKillDone, kTerminateOnly},
        {"9x console by name", true, true, 300, Done{}, {}, kKillDone, kTerminateOnly},
        {"9x console cannot open", true, true, 200, open_fails, {}, kKillNotFound, kTerminateOnly},
        {"9x console terminate fails", true, true, 200, terminate_fails, {}, kKillCallFailed, kTerminateOnly},
        {"9x name test is case-sensitive", true, true, 400, Done{}, posted, kKillDone, kQuit},
        {"9x windowed gets WM_QUIT", true, true, 100, Done{}, posted, kKillDone, kQuit},
        {"9x no thread snapshot", true, true, 100, Done{}, no_snapshot, kKillNotFound, kQuit},
        {"9x no thread", true, true, 100, Done{}, no_thread, kKillCallFailed, kQuit},
        {"9x post fails", true, true, 100, Done{}, post_fails, kKillCallFailed, kQuit},
    };
    // clang-format on
    for (const auto& c : cases) {
        FakeSignalPlatform p;
        p.win9x = c.win9x;
        p.terminate = c.terminate;
        p.quit = c.quit;
        EXPECT_EQ(Tab1(c.win95_table ? win95_ : nt_, c.pid, kSignalCloseApplication, p), c.result)
            << c.what;
        if (c.asked == kQuit) {
            EXPECT_TRUE(p.terminated.empty()) << c.what;
            EXPECT_EQ(p.quit_asked, std::vector<uint32_t>{c.pid}) << c.what;
        } else {
            EXPECT_TRUE(p.quit_asked.empty()) << c.what;
            ASSERT_EQ(p.terminated.size(), 1u) << c.what;
            EXPECT_EQ(p.terminated[0].first, c.pid) << c.what;
            EXPECT_EQ(p.terminated[0].second, c.asked == kTerminateAll
                                                  ? ProcessAccess::kAll
                                                  : ProcessAccess::kTerminateOnly)
                << c.what;
        }
    }
}

// A refusal carries the system's last error as its item even for a state check; a call that
// fails answers "call failed" on both.
TEST(ServiceControl, BothCommandsByState) {
    const ServiceStatus running{kServiceRunning, kAcceptStop | kAcceptPauseContinue};
    const ServiceStatus running_fixed{kServiceRunning, 0};
    const ServiceStatus paused{kServicePaused, kAcceptPauseContinue};
    const ServiceStatus stopped{kServiceStopped, 0};
    const ServiceStatus pending{2, 0};
    constexpr auto kRefuse = ServiceAction::kRefuse, kControl = ServiceAction::kControl;
    struct Case {
        const char* what;
        uint32_t signal, op;
        ServiceStatus status;
        ServiceAction::Kind kind;
        uint32_t control;
    };
    const Case cases[] = {
        {"pause running", 6, kOpPause, running, kControl, kControlPause},
        {"pause not accepted", 6, kOpPause, running_fixed, kRefuse, 0},
        {"pause paused", 6, kOpPause, paused, kRefuse, 0},
        {"continue paused", 7, kOpContinue, paused, kControl, kControlContinue},
        {"continue running", 7, kOpContinue, running, kRefuse, 0},
        {"stop running", 8, kOpStop, running, kControl, kControlStop},
        {"stop stopped", 8, kOpStop, stopped, kRefuse, 0},
        {"stop not accepted", 8, kOpStop, running_fixed, kRefuse, 0},
        {"start stopped", 9, kOpStart, stopped, ServiceAction::kStart, 0},
        {"start running", 9, kOpStart, running, kRefuse, 0},
        {"start pending", 9, kOpStart, pending, kRefuse, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool done = c.kind != kRefuse;
        FakeSignalPlatform kill[2], os;
        for (uint32_t tab : {2u, 3u}) {
            FakeSignalPlatform& p = kill[tab - 2];
            p.status = c.status;
            EXPECT_EQ(Kill(tab, c.signal, p), done ? kKillDone : kKillWrongState);
            EXPECT_EQ(p.lookup, KeyNameLookup::kDisplayNameOnly); // a key name is not accepted
        }
        os.status = c.status;
        os.last_error = 1062;
        auto reply = Os(c.op, os);
        EXPECT_EQ(reply->status, done ? 0 : kOsWrongState);
        if (done)
            EXPECT_EQ(reply->GetResultCount(), 0u);
        else
            EXPECT_EQ(ErrorItem(*reply), 1062u);
        EXPECT_EQ(os.lookup, KeyNameLookup::kOrKeyName);
        for (const FakeSignalPlatform* p : {&kill[0], &kill[1], &os}) {
            EXPECT_EQ(p->service_name, kName); // converted to ANSI
            ASSERT_EQ(p->actions.size(), 1u);
            EXPECT_EQ(p->actions[0].kind, c.kind);
            EXPECT_EQ(p->actions[0].control, c.control);
        }
        if (!done) continue;
        FakeSignalPlatform failing[2]; // the same requests whose system call fails
        for (FakeSignalPlatform& f : failing)
            f.status = c.status, f.call_fails = true, f.last_error = 1053;
        EXPECT_EQ(Kill(3, c.signal, failing[0]), kKillCallFailed);
        auto f = Os(c.op, failing[1]);
        EXPECT_EQ(f->status, kOsCallFailed);
        EXPECT_EQ(ErrorItem(*f), 1053u);
    }
    // No such operation (none at all when shorter than 4 bytes): nothing done, nothing said.
    for (const auto& op : std::vector<std::vector<uint8_t>>{Pid(0), Pid(5), {2}}) {
        FakeSignalPlatform p;
        auto c = Request({Pid(0x100), Compressed("Test Service"), op});
        OsSpecificCommand(*c, p);
        EXPECT_EQ(c->status, 0);
        EXPECT_EQ(c->GetResultCount(), 0u);
        ASSERT_EQ(p.actions.size(), 1u);
        EXPECT_EQ(p.actions[0].kind, ServiceAction::kNothing);
    }
}

TEST(ServiceControl, StepsThatFailBeforeTheStateIsKnown) {
    const struct {
        ServiceStep step;
        uint32_t kill;
        int32_t os;
    } cases[] = {
        {ServiceStep::kOpenManager, kKillCannotOpen, kOsCannotOpenManager},
        {ServiceStep::kKeyName, kKillCannotOpen, kOsCannotOpenService},
        {ServiceStep::kOpenService, kKillCannotOpen, kOsCannotOpenService},
        {ServiceStep::kQueryStatus, kKillNotFound, kOsCannotQueryStatus},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.step));
        FakeSignalPlatform kill, os;
        kill.reach = os.reach = Win32Error(c.step, 1060 + uint32_t(c.step));
        EXPECT_EQ(Kill(2, kSignalStopService, kill), c.kill);
        auto reply = Os(kOpStart, os);
        EXPECT_EQ(reply->status, c.os);
        EXPECT_EQ(ErrorItem(*reply), 1060 + uint32_t(c.step));
        EXPECT_TRUE(kill.actions.empty() && os.actions.empty());
    }
}

TEST(OsSpecificCommandTest, OtherRequestsLeaveTheCommandAlone) {
    const std::vector<std::vector<std::vector<uint8_t>>> requests = {
        {Pid(0x100), Compressed("Test Service")}, // fewer than three parameters
        {Pid(0xFF), Compressed("Test Service"), Pid(1)},
        {Pid(0x101), Compressed("Test Service"), Pid(1)},
        {Pid(0x10000100), Compressed("Test Service"), Pid(1)},
        {{0x00, 0x01}, Compressed("Test Service"), Pid(1)}, // a short sub-command is not 0x100
    };
    for (const auto& params : requests) {
        FakeSignalPlatform p;
        auto c = Request(params);
        c->status = 77;
        OsSpecificCommand(*c, p);
        EXPECT_EQ(c->status, 77);
        EXPECT_EQ(c->GetResultCount(), 0u);
        EXPECT_TRUE(p.service_name.empty());
    }
}

TEST(OsSpecificCommandTest, UnterminatedNameCannotNameAService) {
    FakeSignalPlatform p;
    auto c = Request({Pid(0x100), {'a', 'b'}, Pid(1)});
    OsSpecificCommand(*c, p);
    EXPECT_EQ(c->status, kOsCannotOpenService);
    EXPECT_EQ(ErrorItem(*c), kErrorInvalidName);
    EXPECT_TRUE(p.service_name.empty());
}

} // namespace
} // namespace pm::signals::test
