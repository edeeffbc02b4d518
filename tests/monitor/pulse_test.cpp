#include <gtest/gtest.h>

#include <random>

#include "fake_plugin_platform.h"
#include "shared/monitor/monitor_name.h"

namespace pm::monitor {
namespace {

using test::At;
using test::FakePluginPlatform;

constexpr uint8_t kAll = kCondTermination | kCondRunning | kCondNotStarted;

class Pulse : public ::testing::Test {
protected:
    void SetUp() override {
        platform.now = At(3, 12, 0, 0);
        plugin.RecordReferenceDay();
        plugin.InitIndepMonitors("C:\\Data\\");
    }
    ProcMonitor* Watch(const char* name, uint8_t conditions, uint16_t timeout = 0) {
        return plugin.CreateMonitor(MakeRecord(0, 1, conditions, timeout, name).data(), false,
                                    OwnerId{});
    }
    // One pulse 15 s after the previous one; answers the alerts it queued.
    uint32_t Tick(uint32_t elapsed_ms = 15000) {
        platform.now += elapsed_ms / 1000;
        uint32_t n = 0xDEAD;
        EXPECT_EQ(plugin.IndepMonitorPulse(0, elapsed_ms, &n), 15000u);
        return n;
    }
    std::vector<uint8_t> Kinds() {
        std::vector<uint8_t> kinds;
        uint16_t type = 0;
        while (plugin.GenAlert(0, nullptr, nullptr, nullptr, nullptr, &type, nullptr, nullptr))
            kinds.push_back(static_cast<uint8_t>(type == kTypeStarted      ? kAlertStarted
                                                 : type == kTypeTerminated ? kAlertTerminated
                                                                           : kAlertFailedToStart));
        return kinds;
    }

    FakePluginPlatform platform;
    Plugin plugin{platform};
};

TEST_F(Pulse, AnotherMonitorIndexAnswersAllOnesAndLeavesTheCountAlone) {
    uint32_t n = 1234;
    EXPECT_EQ(plugin.IndepMonitorPulse(1, 15000, &n), 0xFFFFFFFFu);
    EXPECT_EQ(n, 1234u);
}

TEST_F(Pulse, FirstPulseCountsRunningInstancesAsNewButNoTime) {
    ProcMonitor* m = Watch("NOTEPAD.EXE", kAll, 60);
    platform.Run({{"C:\\WINNT\\NOTEPAD.EXE", 100}, {"C:\\WINNT\\CALC.EXE", 101}});
    EXPECT_EQ(Tick(), 1u);
    EXPECT_EQ(m->current_count, 0u);
    EXPECT_EQ(m->new_executions[kToday], 1u);
    EXPECT_EQ(m->times_started, 1u);
    EXPECT_TRUE(m->has_started);
    EXPECT_EQ(Kinds(), (std::vector<uint8_t>{kAlertStarted}));

    EXPECT_EQ(Tick(), 0u);
    EXPECT_EQ(m->current_count, 1u);
    EXPECT_EQ(m->execution_seconds[kToday], 0u); // instances first showed up at this pulse
    EXPECT_EQ(Tick(), 0u);
    EXPECT_EQ(m->execution_seconds[kToday], 15u);
}

TEST_F(Pulse, TwoInstancesCountTwiceAndEachEndRaisesItsOwnAlert) {
    ProcMonitor* m = Watch("NOTEPAD.EXE", kAll);
    platform.Run({{"C:\\WINNT\\NOTEPAD.EXE", 100}, {"D:\\notepad.exe", 200}});
    EXPECT_EQ(Tick(), 2u);
    EXPECT_EQ(Tick(), 0u);
    EXPECT_EQ(m->current_count, 2u);
    EXPECT_EQ(m->max_running[kToday], 2u);
    Kinds();
    platform.Run({});
    EXPECT_EQ(Tick(), 2u);
    EXPECT_EQ(m->times_stopped, 2u);
    EXPECT_TRUE(m->tracked.empty());
    EXPECT_EQ(Kinds(), (std::vector<uint8_t>{kAlertTerminated, kAlertTerminated}));
}

TEST_F(Pulse, AnInstanceSeenAtOnlyOnePulseAddsNoTime) {
    ProcMonitor* m = Watch("PING.EXE", 0);
    Tick();
    platform.Run({{"C:\\W\\PING.EXE", 5}});
    Tick();
    platform.Run({});
    Tick();
    EXPECT_EQ(m->execution_seconds[kToday], 0u);
    EXPECT_EQ(m->times_started, 1u);
    EXPECT_EQ(m->times_stopped, 1u);
}

TEST_F(Pulse, NotStartedFiresAtTheFourthPulseAndOnlyOnce) {
    ProcMonitor* m = Watch("NEVER.EXE", kAll, 60);
    const std::vector<uint32_t> expected = {0, 0, 0, 1, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(Tick(), expected[i]) << "pulse " << i + 1;
    EXPECT_EQ(m->times_failed, 1u);
    EXPECT_EQ(Kinds(), (std::vector<uint8_t>{kAlertFailedToStart}));
}

TEST_F(Pulse, NotStartedNeverFiresForATimeoutOfZero) {
    ProcMonitor* m = Watch("NEVER.EXE", kAll, 0);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(Tick(), 0u);
    EXPECT_EQ(m->times_failed, 0u);
}

TEST_F(Pulse, NotStartedNeverWrapsRoundToFireAgain) {
    ProcMonitor* m = Watch("NEVER.EXE", kAll, 1);
    EXPECT_EQ(Tick(1000), 1u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Tick(0x7FFFFFFF), 0u);
    EXPECT_EQ(m->not_started_ms, 0xFFFFFFFFu);
    EXPECT_EQ(m->times_failed, 1u);
}

TEST_F(Pulse, AProcessRunningAtLoadNeverFiresNotStarted) {
    ProcMonitor* m = Watch("PING.EXE", kAll, 30);
    platform.Run({{"C:\\W\\PING.EXE", 5}});
    Tick();
    platform.Run({});
    for (int i = 0; i < 6; ++i)
        Tick();
    EXPECT_EQ(m->times_failed, 0u);
    EXPECT_EQ(Kinds(), (std::vector<uint8_t>{kAlertTerminated, kAlertStarted}));
}

TEST_F(Pulse, NewServerCountsEverythingButQueuesNothing) {
    ProcMonitor* seen = Watch("PING.EXE", kAll | kCondNewServer, 15);
    ProcMonitor* never = Watch("NEVER.EXE", kAll | kCondNewServer, 15);
    platform.Run({{"C:\\W\\PING.EXE", 5}});
    EXPECT_EQ(Tick(), 0u);
    platform.Run({});
    EXPECT_EQ(Tick(), 0u);
    EXPECT_EQ(seen->times_started, 1u);
    EXPECT_EQ(seen->times_stopped, 1u);
    EXPECT_EQ(never->times_failed, 1u);
    EXPECT_TRUE(plugin.Alerts().Empty());
}

TEST_F(Pulse, DayChangeCreditsYesterdayUpToMidnightAndTodayTheRest) {
    ProcMonitor* m = Watch("PING.EXE", 0);
    platform.Run({{"C:\\W\\PING.EXE", 5}});
    platform.now = At(3, 23, 59, 20);
    plugin.IndepMonitorPulse(0, 15000, nullptr); // first pulse
    platform.now = At(3, 23, 59, 35);
    plugin.IndepMonitorPulse(0, 15000, nullptr); // running from here
    platform.now = At(3, 23, 59, 50);
    plugin.IndepMonitorPulse(0, 15000, nullptr);
    EXPECT_EQ(m->execution_seconds[kToday], 15u);
    platform.now = At(4, 0, 0, 5);
    plugin.IndepMonitorPulse(0, 15000, nullptr);
    EXPECT_EQ(m->execution_seconds[kYesterday], 15u + 10u);
    EXPECT_EQ(m->execution_seconds[kToday], 5u);
    EXPECT_EQ(m->new_executions[kYesterday], 1u);
    EXPECT_EQ(m->new_executions[kToday], 0u);
    EXPECT_EQ(m->max_running[kYesterday], 1u);
    EXPECT_EQ(m->max_running[kToday], 1u);
}

TEST_F(Pulse, ADayChangeAfterAPulsePastMidnightCreditsYesterdayNothing) {
    // Loaded on day 3, first pulse already on day 4: the next pulse notices the new day.
    ProcMonitor* m = Watch("PING.EXE", 0);
    platform.Run({{"C:\\W\\PING.EXE", 5}});
    platform.now = At(4, 0, 0, 10);
    plugin.IndepMonitorPulse(0, 15000, nullptr);
    platform.now = At(4, 0, 0, 25);
    plugin.IndepMonitorPulse(0, 15000, nullptr);
    platform.now = At(4, 0, 0, 40);
    plugin.IndepMonitorPulse(0, 15000, nullptr);
    EXPECT_EQ(m->execution_seconds[kYesterday], 0u);
    EXPECT_EQ(m->execution_seconds[kToday], 15u);
}

TEST_F(Pulse, AClockSetBackAddsNoTime) {
    ProcMonitor* m = Watch("PING.EXE", 0);
    platform.Run({{"C:\\W\\PING.EXE", 5}});
    Tick();
    Tick();
    platform.now -= 3600;
    Tick();
    EXPECT_EQ(m->execution_seconds[kToday], 0u);
}

TEST_F(Pulse, ToolhelpIsUsedOnTheWindows95FamilyWithFullPaths) {
    ProcMonitor* m = Watch("PING.EXE", kCondRunning);
    platform.win9x = true;
    platform.Run({{"C:\\WINDOWS\\PING.EXE", 9}});
    EXPECT_EQ(Tick(), 1u);
    EXPECT_EQ(platform.toolhelp_lists, 1);
    EXPECT_EQ(platform.psapi_lists, 0);
    EXPECT_EQ(m->times_started, 1u);
}

TEST_F(Pulse, PsapiIsUsedOnTheNtFamilyOrWithoutToolhelp) {
    Watch("PING.EXE", kCondRunning);
    platform.Run({{"C:\\WINDOWS\\PING.EXE", 9}});
    EXPECT_EQ(Tick(), 1u);
    platform.win9x = true;
    platform.toolhelp_usable = false;
    platform.Run({{"C:\\WINDOWS\\PING.EXE", 10}});
    EXPECT_EQ(Tick(), 1u);
    EXPECT_EQ(platform.toolhelp_lists, 0);
    EXPECT_EQ(platform.psapi_lists, 2);
}

TEST_F(Pulse, AFailedEnumerationEndsThePulseWithNothingChanged) {
    ProcMonitor* m = Watch("PING.EXE", kAll, 15);
    platform.win9x = true;
    platform.toolhelp_fails = true;
    EXPECT_EQ(Tick(), 0u);
    EXPECT_EQ(m->not_started_ms, 0u);
    platform.win9x = false;
    platform.processes.clear(); // PSAPI lists no id
    EXPECT_EQ(Tick(), 0u);
    EXPECT_EQ(m->not_started_ms, 0u);
}

TEST_F(Pulse, WithoutAnyEnumerationNotStartedStillCounts) {
    ProcMonitor* m = Watch("PING.EXE", kAll, 15);
    platform.toolhelp_usable = platform.psapi_usable = false;
    EXPECT_EQ(Tick(), 1u);
    EXPECT_EQ(m->times_failed, 1u);
}

TEST_F(Pulse, OneProcessFeedsEveryMonitorWhoseNameMatches) {
    ProcMonitor* a = Watch("PING.EXE", kCondRunning);
    ProcMonitor* b = Watch("C:\\other\\ping.exe", kCondRunning);
    Watch("", kCondRunning);
    platform.Run({{"C:\\W\\PING.EXE", 9}});
    EXPECT_EQ(Tick(), 2u);
    EXPECT_EQ(a->times_started, 1u);
    EXPECT_EQ(b->times_started, 1u);
}

TEST_F(Pulse, AnEmptyRegistryPulsesNothing) {
    EXPECT_EQ(Tick(), 0u);
    EXPECT_EQ(platform.psapi_lists, 0);
}

// The straightforward pulse, every process against every monitor, as a reference for the
// indexed one: the same alerts in the same order and the same statistics.
struct RefMonitor {
    std::string name;
    uint8_t conditions;
    std::vector<std::pair<uint32_t, bool>> tracked;
    uint32_t started = 0, stopped = 0;
};

std::vector<std::pair<std::string, uint8_t>>
ReferencePulse(std::vector<RefMonitor*>& visit, const std::vector<ProcessEntry>& procs) {
    std::vector<std::pair<std::string, uint8_t>> queued;
    for (const ProcessEntry& p : procs) {
        const std::string upper = UpperProcessPath(p.path.c_str());
        for (RefMonitor* m : visit) {
            bool found = false;
            for (auto& t : m->tracked)
                if (t.first == p.pid) {
                    t.second = true;
                    found = true;
                    break;
                }
            if (found || !NameMatches(upper, m->name)) continue;
            m->tracked.push_back({p.pid, true});
            ++m->started;
            if (m->conditions & kCondRunning) queued.push_back({m->name, kAlertStarted});
        }
    }
    for (RefMonitor* m : visit) {
        std::vector<std::pair<uint32_t, bool>> kept;
        for (auto& t : m->tracked) {
            if (t.second) {
                kept.push_back({t.first, false});
                continue;
            }
            if (m->conditions & kCondTermination) queued.push_back({m->name, kAlertTerminated});
            ++m->stopped;
        }
        m->tracked = kept;
    }
    return queued;
}

TEST_F(Pulse, IndexedPulseGivesTheResultsOfMatchingEveryPair) {
    std::mt19937 rng(7);
    const char* names[] = {"A.EXE", "B.EXE", "C.EXE", "D.EXE", "A.EXE"};
    const char* dirs[] = {"C:\\", "C:\\X\\", "\\\\S\\A.EXE\\", "D:\\B.EXE\\Y\\"};
    std::vector<RefMonitor> refs;
    for (size_t i = 0; i < 5; ++i) {
        const uint8_t cond = static_cast<uint8_t>(rng() % 4);
        Watch(names[i], cond);
        refs.push_back({names[i], cond, {}});
    }
    // Visiting order: first created, then the others newest first.
    std::vector<RefMonitor*> visit = {&refs[0], &refs[4], &refs[3], &refs[2], &refs[1]};
    std::vector<std::pair<std::string, uint8_t>> expected;
    std::vector<std::pair<std::string, uint8_t>> got;
    for (int pulse = 0; pulse < 40; ++pulse) {
        platform.processes = {{"C:\\SYS.EXE", 1000}};
        const size_t count = rng() % 12;
        for (size_t i = 0; i < count; ++i) {
            const std::string path = std::string(dirs[rng() % 4]) + names[rng() % 4];
            platform.processes.push_back({path, static_cast<uint32_t>(rng() % 10)});
        }
        auto queued = ReferencePulse(visit, platform.processes);
        expected.insert(expected.end(), queued.rbegin(), queued.rend());
        Tick();
        const char* name = nullptr;
        uint16_t type = 0;
        std::vector<std::pair<std::string, uint8_t>> fetched;
        while (plugin.GenAlert(0, nullptr, nullptr, nullptr, nullptr, &type, nullptr, &name))
            fetched.push_back({name, static_cast<uint8_t>(
                                         type == kTypeStarted ? kAlertStarted : kAlertTerminated)});
        got.insert(got.end(), fetched.begin(), fetched.end());
    }
    EXPECT_EQ(got, expected);
    size_t i = 0;
    plugin.Registry().ForEach([&](ProcMonitor& m) {
        EXPECT_EQ(m.times_started, visit[i]->started) << i;
        EXPECT_EQ(m.times_stopped, visit[i]->stopped) << i;
        ++i;
    });
}

} // namespace
} // namespace pm::monitor
