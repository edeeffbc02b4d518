#include <gtest/gtest.h>

#include <algorithm>

#include "procman/w32/signals/kill_process.h"
#include "tests/signals/fake_signal_platform.h"
#include "tests/signals/signals_test_support.h"

namespace pm::signals::test {
namespace {

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
    uint32_t Tab1(const table::RawTable& t, uint32_t pid, uint32_t signal = 5) {
        auto data = Pid(pid);
        return KillProcess(t, 1, signal, data.data(), 4, p_);
    }
    uint32_t Service(uint32_t tab, uint32_t signal, const char* name = "Test Service") {
        auto data = Compressed(name);
        return KillProcess(nt_, tab, signal, data.data(), static_cast<uint32_t>(data.size()), p_);
    }

    table::RawTable nt_;
    table::RawTable win95_;
    FakeSignalPlatform p_;
    TraceRecorder trace_;
};

// ---- before anything is looked at -----------------------------------------------------------

TEST_F(KillProcessTest, Windows95ModeHasNoServiceTabs) {
    for (uint32_t tab : {2u, 3u, 7u}) {
        auto data = Compressed("Spooler");
        EXPECT_EQ(KillProcess(win95_, tab, 9, data.data(), 8, p_), kKillNoSuchTab);
    }
    EXPECT_TRUE(p_.calls.empty());
    EXPECT_TRUE(trace_.Has("->RawTable::KillProcess: Sending signal 9 to process in tab #2\n"));
    EXPECT_TRUE(trace_.Has("!!KillProcess: Tab #3 does not exist for Windows 95\n"));
}

TEST_F(KillProcessTest, ProcessNotInTheSnapshotWhateverTheSignal) {
    for (uint32_t signal = 0; signal <= 10; ++signal)
        EXPECT_EQ(Tab1(nt_, 999, signal), kKillNotFound);
    EXPECT_TRUE(p_.calls.empty());
    EXPECT_TRUE(trace_.Has("!!KillProcess: Process 999 not found on cached list\n"));
}

TEST_F(KillProcessTest, OtherSignalsOnTheProcessTabAreUnsupported) {
    for (uint32_t signal : {0u, 1u, 2u, 3u, 4u, 6u, 7u, 8u, 9u}) {
        EXPECT_EQ(Tab1(nt_, 100, signal), kKillUnsupported) << signal;
        EXPECT_EQ(Tab1(win95_, 100, signal), kKillUnsupported) << signal;
    }
    EXPECT_TRUE(p_.calls.empty());
    EXPECT_TRUE(trace_.Has("<-RawTable::KillProcess: Unsupported Signal ID=6 for Tab #1\n"));
}

TEST_F(KillProcessTest, ShortProcessIdParameterFindsNoProcess) {
    const uint8_t three[] = {100, 0, 0};
    EXPECT_EQ(KillProcess(nt_, 1, 5, three, 3, p_), kKillNotFound);
    EXPECT_EQ(KillProcess(nt_, 1, 5, nullptr, 0, p_), kKillNotFound);
    EXPECT_TRUE(p_.calls.empty());
    EXPECT_TRUE(trace_.Has("!!KillProcess: process id parameter of 3 bytes is too short\n"));
    // Bytes after the first four are ignored.
    const uint8_t longer[] = {100, 0, 0, 0, 0xFF, 0xFF};
    EXPECT_EQ(KillProcess(nt_, 1, 5, longer, sizeof longer, p_), kKillDone);
}

// ---- NT family: termination -----------------------------------------------------------------

TEST_F(KillProcessTest, NtTerminatesTheProcess) {
    EXPECT_EQ(Tab1(nt_, 100), kKillDone);
    EXPECT_EQ(p_.calls, (std::vector<std::string>{"IsWin9x", "OpenProcess 100 all",
                                                  "TerminateProcess 0", "CloseProcess"}));
    EXPECT_TRUE(p_.AllClosed());
    EXPECT_EQ(trace_.lines().back(), "<-RawTable::KillProcess(): successful\n");
}

TEST_F(KillProcessTest, NtProcessThatCannotBeOpened) {
    p_.open_process_ok = false;
    EXPECT_EQ(Tab1(nt_, 100), kKillNotFound);
    EXPECT_TRUE(p_.AllClosed());
    const std::vector<std::string> expected = {
        "->RawTable::KillProcess: Sending signal 5 to process in tab #1\n",
        "!!KillProcess: Windows cannot get the handle for process ID=100\n",
        "<-RawTable::KillProcess(): failed\n"};
    EXPECT_EQ(trace_.lines(), expected);
}

TEST_F(KillProcessTest, NtTerminationFails) {
    p_.terminate_ok = false;
    EXPECT_EQ(Tab1(nt_, 100), kKillCallFailed);
    EXPECT_EQ(p_.calls.back(), "CloseProcess");
    EXPECT_TRUE(p_.AllClosed());
    EXPECT_EQ(trace_.lines().back(), "<-RawTable::KillProcess(): failed\n");
}

TEST_F(KillProcessTest, WindowsNinetyFiveModeTableOnNtAlsoTerminates) {
    // Wine: the toolhelp functions make the table Windows 95 mode; ordinal 37 says NT.
    EXPECT_EQ(Tab1(win95_, 100), kKillDone);
    EXPECT_EQ(p_.calls[1], "OpenProcess 100 all");
}

// ---- Windows 95/98: console processes -------------------------------------------------------

TEST_F(KillProcessTest, Win9xConsoleProcessByFlagIsTerminated) {
    p_.win9x = 1;
    EXPECT_EQ(Tab1(win95_, 200), kKillDone);
    EXPECT_EQ(p_.calls, (std::vector<std::string>{"IsWin9x", "OpenProcess 200 terminate",
                                                  "TerminateProcess 0", "CloseProcess"}));
    EXPECT_TRUE(p_.AllClosed());
    EXPECT_EQ(trace_.lines().back(), "<-RawTable::KillProcess(): successful\n");
}

TEST_F(KillProcessTest, Win9xConsoleProcessByName) {
    p_.win9x = 1;
    EXPECT_EQ(Tab1(win95_, 300), kKillDone);
    EXPECT_EQ(p_.calls[1], "OpenProcess 300 terminate");
    // The name test is case-sensitive: a lower-case name is a windowed program.
    p_.calls.clear();
    p_.threads = {{41, 400}};
    EXPECT_EQ(Tab1(win95_, 400), kKillDone);
    EXPECT_EQ(p_.posted_threads, std::vector<uint32_t>{41});
}

TEST_F(KillProcessTest, Win9xConsoleProcessThatCannotBeOpened) {
    p_.win9x = 1;
    p_.open_process_ok = false;
    EXPECT_EQ(Tab1(win95_, 200), kKillNotFound);
    EXPECT_TRUE(p_.AllClosed());
    EXPECT_EQ(trace_.lines().back(),
              "!!KillProcess: Windows cannot get the handle for console process ID=200\n");
}

TEST_F(KillProcessTest, Win9xConsoleTerminationFails) {
    p_.win9x = 1;
    p_.terminate_ok = false;
    p_.last_error = 5;
    EXPECT_EQ(Tab1(win95_, 200), kKillCallFailed);
    EXPECT_TRUE(p_.AllClosed());
    EXPECT_TRUE(trace_.Has(
        "!!KillProcess: System call to terminate console process ID=200 failed with code 5\n"));
    EXPECT_EQ(trace_.lines().back(), "<-RawTable::KillProcess(): failed\n");
}

// ---- Windows 95/98: WM_QUIT to the first thread ---------------------------------------------

TEST_F(KillProcessTest, Win9xWindowedProgramGetsQuitOnItsFirstThread) {
    p_.win9x = 1;
    p_.threads = {{10, 4}, {20, 100}, {30, 100}};
    EXPECT_EQ(Tab1(win95_, 100), kKillDone);
    EXPECT_EQ(p_.posted_threads, std::vector<uint32_t>{20});
    EXPECT_EQ(p_.calls, (std::vector<std::string>{"IsWin9x", "OpenThreadSnapshot",
                                                  "CloseThreadSnapshot", "PostQuit 20"}));
    EXPECT_TRUE(p_.AllClosed());
    EXPECT_EQ(trace_.lines().back(), "<-RawTable::KillProcess() successful\n");
}

TEST_F(KillProcessTest, Win9xThreadSnapshotFails) {
    p_.win9x = 1;
    p_.snapshot_ok = false;
    EXPECT_EQ(Tab1(win95_, 100), kKillNotFound);
    EXPECT_EQ(trace_.lines().back(),
              "!!KillProcess: Windows cannot get the handle for process ID=100\n");
}

TEST_F(KillProcessTest, Win9xNoThreadOfTheProcess) {
    p_.win9x = 1;
    p_.threads = {{10, 4}};
    EXPECT_EQ(Tab1(win95_, 100), kKillCallFailed);
    EXPECT_TRUE(p_.AllClosed());
    EXPECT_TRUE(p_.posted_threads.empty());
    EXPECT_EQ(trace_.lines().back(),
              "!!KillProcess: Windows cannot locate main thread for process ID=100\n");
}

TEST_F(KillProcessTest, Win9xPostFails) {
    p_.win9x = 1;
    p_.threads = {{20, 100}};
    p_.post_ok = false;
    EXPECT_EQ(Tab1(win95_, 100), kKillCallFailed);
    EXPECT_TRUE(p_.AllClosed());
    EXPECT_EQ(trace_.lines().back(),
              "!!KillProcess: System call to terminate thread ID=20 for process ID=100 failed\n");
}

// ---- services -------------------------------------------------------------------------------

struct ServiceCase {
    const char* what;
    uint32_t signal;
    ServiceStatus status;
    uint32_t result;
    std::vector<uint32_t> controls;
    bool started;
    const char* trace; // the line before the closing one, or null for none
};

TEST_F(KillProcessTest, ServiceControlsByState) {
    const ServiceStatus running{kServiceRunning, kAcceptStop | kAcceptPauseContinue};
    const ServiceStatus running_fixed{kServiceRunning, 0};
    const ServiceStatus paused{kServicePaused, kAcceptStop | kAcceptPauseContinue};
    const ServiceStatus stopped{kServiceStopped, 0};
    const ServiceStatus pending{2, 0};
    const ServiceCase cases[] = {
        {"pause running", 6, running, kKillDone, {kControlPause}, false, nullptr},
        {"pause not accepted", 6, running_fixed, kKillWrongState, {}, false, nullptr},
        {"pause paused", 6, paused, kKillWrongState, {}, false, nullptr},
        {"continue paused", 7, paused, kKillDone, {kControlContinue}, false, nullptr},
        {"continue running",
         7,
         running,
         kKillWrongState,
         {},
         false,
         "--KillProcess(group=2, signal=7, key=Test Service):\ncannot resume service because "
         "service is not paused\n"},
        {"stop running", 8, running, kKillDone, {kControlStop}, false, nullptr},
        {"stop stopped",
         8,
         stopped,
         kKillWrongState,
         {},
         false,
         "--KillProcess(group=2, signal=8, key=Test Service):\ncannot stop service because "
         "service is not running or service does not allow being stopped\n"},
        {"stop not accepted",
         8,
         running_fixed,
         kKillWrongState,
         {},
         false,
         "--KillProcess(group=2, signal=8, key=Test Service):\ncannot stop service because "
         "service is not running or service does not allow being stopped\n"},
        {"start stopped", 9, stopped, kKillDone, {}, true, nullptr},
        {"start running",
         9,
         running,
         kKillWrongState,
         {},
         false,
         "--KillProcess(group=2, signal=9, key=Test Service):\ncannot start service because "
         "service is not stopped\n"},
        {"start pending",
         9,
         pending,
         kKillWrongState,
         {},
         false,
         "--KillProcess(group=2, signal=9, key=Test Service):\ncannot start service because "
         "service is not stopped\n"},
    };
    for (const auto& c : cases) {
        FakeSignalPlatform p;
        p.status = c.status;
        TraceRecorder trace;
        auto data = Compressed("Test Service");
        EXPECT_EQ(KillProcess(nt_, 2, c.signal, data.data(), static_cast<uint32_t>(data.size()), p),
                  c.result)
            << c.what;
        EXPECT_EQ(p.controls, c.controls) << c.what;
        EXPECT_EQ(std::count(p.calls.begin(), p.calls.end(), "StartService"), c.started ? 1 : 0)
            << c.what;
        EXPECT_TRUE(p.AllClosed()) << c.what;
        EXPECT_EQ(p.key_name_asked, "Test Service");
        EXPECT_EQ(p.opened_service, "TestSvc");
        const auto& l = trace.lines();
        ASSERT_GE(l.size(), 2u) << c.what;
        EXPECT_EQ(l.back(),
                  "<-RawTable::KillProcess(group=2, signal=" + std::to_string(c.signal) +
                      ", key=Test Service): " + (c.result == 0 ? "successful" : "failed") + "\n")
            << c.what;
        if (c.trace != nullptr) {
            EXPECT_EQ(l[l.size() - 2], c.trace) << c.what;
        } else {
            EXPECT_EQ(l.size(), 2u) << c.what; // entry and closing lines only
        }
    }
}

TEST_F(KillProcessTest, ServiceCallsThatFail) {
    struct Case {
        uint32_t signal;
        ServiceStatus status;
        const char* trace;
    };
    const Case cases[] = {
        {6, {kServiceRunning, kAcceptPauseContinue}, "system call to pause service failed"},
        {7, {kServicePaused, 0}, "system call to resume paused service failed"},
        {8, {kServiceRunning, kAcceptStop}, "system call to stop service failed"},
        {9, {kServiceStopped, 0}, "system call to start service failed"},
    };
    for (const auto& c : cases) {
        FakeSignalPlatform p;
        p.status = c.status;
        p.control_ok = false;
        p.start_ok = false;
        TraceRecorder trace;
        auto data = Compressed("Test Service");
        EXPECT_EQ(KillProcess(nt_, 3, c.signal, data.data(), static_cast<uint32_t>(data.size()), p),
                  kKillCallFailed);
        EXPECT_TRUE(p.AllClosed());
        EXPECT_TRUE(trace.Has("!!KillProcess(group=3, signal=" + std::to_string(c.signal) +
                              ", key=Test Service):\n" + c.trace + "\n"))
            << c.trace;
    }
}

TEST_F(KillProcessTest, ServiceManagerCannotBeOpened) {
    p_.manager_ok = false;
    EXPECT_EQ(Service(2, 8), kKillCannotOpen);
    EXPECT_TRUE(p_.AllClosed());
    EXPECT_EQ(trace_.lines().size(), 1u); // no trace of its own
}

TEST_F(KillProcessTest, ServiceKeyNameOrServiceCannotBeFound) {
    p_.key_name_ok = false;
    EXPECT_EQ(Service(2, 8), kKillCannotOpen);
    EXPECT_TRUE(p_.AllClosed());
    EXPECT_EQ(p_.calls.back(), "CloseServiceManager");
    EXPECT_EQ(trace_.lines().back(), "<-KillProcess(group=2, signal=8, key=Test Service):\nsystem "
                                     "call to get service handle failed\n");

    FakeSignalPlatform p;
    p.open_service_ok = false;
    auto data = Compressed("Test Service");
    EXPECT_EQ(KillProcess(nt_, 2, 8, data.data(), static_cast<uint32_t>(data.size()), p),
              kKillCannotOpen);
    EXPECT_TRUE(p.AllClosed());
}

TEST_F(KillProcessTest, ServiceStatusCannotBeRead) {
    p_.query_ok = false;
    EXPECT_EQ(Service(2, 6), kKillNotFound);
    EXPECT_TRUE(p_.AllClosed());
    EXPECT_EQ(trace_.lines().back(), "<-KillProcess(group=2, signal=6, key=Test Service):\nsystem "
                                     "call to query service status failed\n");
}

TEST_F(KillProcessTest, ServiceTabsRefuseOtherSignals) {
    for (uint32_t signal : {0u, 1u, 5u, 10u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Service(2, signal), kKillUnsupported) << signal;
        EXPECT_EQ(Service(3, signal), kKillUnsupported) << signal;
    }
    EXPECT_TRUE(p_.calls.empty());
    EXPECT_TRUE(trace_.Has("<-RawTable::KillProcess: Unsupported Signal ID=5 for Tab #3\n"));
}

TEST_F(KillProcessTest, ServiceNameMustEndInsideTheParameter) {
    auto data = Compressed("Test Service");
    EXPECT_EQ(KillProcess(nt_, 2, 8, data.data(), static_cast<uint32_t>(data.size() - 1), p_),
              kKillCannotOpen);
    EXPECT_EQ(KillProcess(nt_, 2, 8, nullptr, 0, p_), kKillCannotOpen);
    EXPECT_TRUE(p_.calls.empty());
    EXPECT_TRUE(trace_.Has("!!KillProcess(group=2, signal=8): service name is not terminated\n"));
}

TEST_F(KillProcessTest, ServiceNameIsConvertedToAnsi) {
    EXPECT_EQ(Service(2, 8, "Dienst \xFC"), kKillDone); // u-umlaut takes two bytes
    EXPECT_EQ(p_.key_name_asked, "Dienst \xFC");
}

} // namespace
} // namespace pm::signals::test
