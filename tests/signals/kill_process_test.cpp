#include <gtest/gtest.h>

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
    uint32_t Tab1(const table::RawTable& t, uint32_t pid, uint32_t signal, FakeSignalPlatform& p) {
        auto data = Pid(pid);
        return KillProcess(t, 1, signal, data.data(), 4, p);
    }
    uint32_t Service(uint32_t tab, uint32_t signal, FakeSignalPlatform& p,
                     const char* name = "Test Service") {
        auto data = Compressed(name);
        return KillProcess(nt_, tab, signal, data.data(), static_cast<uint32_t>(data.size()), p);
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
        EXPECT_EQ(Service(2, signal, p), kKillUnsupported) << signal;
        EXPECT_EQ(Service(3, signal, p), kKillUnsupported) << signal;
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

TEST_F(KillProcessTest, ServiceNameIsConvertedToAnsi) {
    FakeSignalPlatform p;
    EXPECT_EQ(Service(2, 8, p, "Dienst \xFC"), kKillDone); // u-umlaut takes two bytes
    EXPECT_EQ(p.service_name, "Dienst \xFC");
}

} // namespace
} // namespace pm::signals::test
