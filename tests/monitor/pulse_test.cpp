#include <algorithm>
#include <new>
#include <random>

#include "plugin_fixture.h"
#include "shared/monitor/monitor_name.h"

namespace pm::monitor {
namespace {

using test::At;
using test::FakePluginPlatform;

constexpr uint8_t kAll = kCondTermination | kCondRunning | kCondNotStarted;

class MonitorPulse : public test::PluginTest {
protected:
    void SetUp() override {
        platform.now = At(3, 12, 0, 0);
        plugin.RecordReferenceDay();
        PluginTest::SetUp();
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
};

TEST_F(MonitorPulse, AnotherMonitorIndexAnswersAllOnesAndAnEmptyRegistryPulsesNothing) {
    uint32_t n = 1234;
    EXPECT_EQ(plugin.IndepMonitorPulse(1, 15000, &n), 0xFFFFFFFFu);
    EXPECT_EQ(n, 1234u);
    EXPECT_EQ(Pulse(), 0u);
    EXPECT_EQ(platform.psapi_lists, 0);
}

// Instances running at the first pulse count as new; each instance counts and each end raises
// its own alert.
TEST_F(MonitorPulse, EveryInstanceCountsAndEachEndRaisesItsOwnAlert) {
    ProcMonitor* m = Watch("NOTEPAD.EXE", kAll, 1, 60);
    platform.Run({{"C:\\WINNT\\NOTEPAD.EXE", 100}, {"D:\\notepad.exe", 200}, {"C:\\CALC.EXE", 1}});
    EXPECT_EQ(Pulse(), 2u);
    EXPECT_EQ(m->current_count, 0u);
    EXPECT_EQ(m->new_executions[kToday], 2u);
    EXPECT_EQ(m->times_started, 2u);
    EXPECT_TRUE(m->has_started);
    EXPECT_EQ(Kinds(), (std::vector<uint8_t>{kAlertStarted, kAlertStarted}));
    EXPECT_EQ(Pulse(), 0u);
    EXPECT_EQ(m->current_count, 2u);
    EXPECT_EQ(m->max_running[kToday], 2u);
    platform.Run({});
    EXPECT_EQ(Pulse(), 2u);
    EXPECT_EQ(m->times_stopped, 2u);
    EXPECT_TRUE(m->tracked.empty());
    EXPECT_EQ(Kinds(), (std::vector<uint8_t>{kAlertTerminated, kAlertTerminated}));
}

// Time counts between two pulses that both saw the process (not for an instance seen at one
// pulse, not for a clock set back); at a change of day yesterday gets the part before midnight,
// nothing when the previous pulse was already past it.
TEST(MonitorPulseTime, CountedBetweenPulsesThatSawTheProcessAndSplitAtMidnight) {
    const struct {
        const char* what;
        int64_t first;         // the first pulse
        std::vector<int> gaps; // seconds to each next pulse
        const char* running;   // PING.EXE at each pulse
        uint32_t today, yesterday;
    } cases[] = {
        {"two pulses", At(3, 12, 0, 15), {15}, "++", 0, 0},
        {"three pulses", At(3, 12, 0, 15), {15, 15}, "+++", 15, 0},
        {"seen at one pulse", At(3, 12, 0, 15), {15, 15}, "-+-", 0, 0},
        {"clock set back", At(3, 12, 0, 15), {15, -3600}, "+++", 0, 0},
        {"day change", At(3, 23, 59, 20), {15, 15, 15}, "++++", 5, 15 + 10},
        {"first pulse past midnight", At(4, 0, 0, 10), {15, 15}, "+++", 15, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakePluginPlatform p;
        p.now = At(3, 12, 0, 0);
        Plugin plugin(p);
        plugin.RecordReferenceDay();
        plugin.InitIndepMonitors("C:\\Data\\");
        ProcMonitor* m =
            plugin.CreateMonitor(MakeRecord(0, 1, 0, 0, "PING.EXE").data(), false, OwnerId{});
        p.now = c.first;
        for (size_t i = 0; c.running[i]; ++i) {
            p.now += i ? c.gaps[i - 1] : 0;
            c.running[i] == '+' ? p.Run({{"C:\\W\\PING.EXE", 5}}) : p.Run({});
            plugin.IndepMonitorPulse(0, 15000, nullptr);
        }
        EXPECT_EQ(m->execution_seconds[kToday], c.today);
        EXPECT_EQ(m->execution_seconds[kYesterday], c.yesterday);
        EXPECT_EQ(m->times_started, 1u);
        if (c.yesterday != 0) { // the day's counts move with its time
            EXPECT_EQ(m->new_executions[kYesterday], 1u);
            EXPECT_EQ(m->new_executions[kToday], 0u);
            EXPECT_EQ(m->max_running[kYesterday], 1u);
            EXPECT_EQ(m->max_running[kToday], 1u);
        }
    }
}

// A tracked process whose module cannot be named still runs: no "stopped", and with no name it
// starts no tracking of its own.
TEST_F(MonitorPulse, AProcessThatCannotBeNamedKeepsItsTrackingAndStartsNone) {
    ProcMonitor* m = Watch("NOTEPAD.EXE", kAll);
    platform.Run({{"C:\\WINNT\\NOTEPAD.EXE", 100}});
    EXPECT_EQ(Pulse(), 1u);
    platform.processes.back() = {"", 100, false};
    platform.processes.push_back({"C:\\WINNT\\NOTEPAD.EXE", 200, false});
    EXPECT_EQ(Pulse(), 0u);
    EXPECT_EQ(m->times_stopped, 0u);
    EXPECT_EQ(m->current_count, 1u);
    EXPECT_EQ(m->tracked.size(), 1u);
}

// A clock that fails (as an allocation can) once `readings` have been taken.
class FailingClockPlatform : public FakePluginPlatform {
public:
    int readings = -1;
    int64_t Now() override {
        if (readings == 0) throw std::bad_alloc();
        if (readings > 0) --readings;
        return now;
    }
};

TEST(MonitorPulseFailure, APulseCutShortReportsTheAlertsItQueued) {
    FailingClockPlatform platform;
    Plugin plugin(platform);
    plugin.InitIndepMonitors("C:\\Data\\");
    for (const char* name : {"A.EXE", "B.EXE"})
        plugin.CreateMonitor(MakeRecord(1, 1, kCondRunning, 0, name).data(), false, OwnerId{});
    platform.Run({{"C:\\A.EXE", 10}, {"C:\\B.EXE", 11}});
    platform.readings = 2; // the two alerts' times, then the pulse's own reading fails
    uint32_t n = 0xDEAD;
    EXPECT_EQ(plugin.IndepMonitorPulse(0, 15000, &n), 15000u);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(plugin.Alerts().Size(), 2u);
}

// A monitor whose process never comes fires once, at the pulse where the time-out is reached;
// a time-out of 0 never fires, and the counted time never wraps round to fire again.
TEST_F(MonitorPulse, NotStartedFiresOnceWhenItsTimeOutIsReached) {
    struct Case {
        uint16_t timeout_s;
        uint32_t first_ms, then_ms;
        int pulses, fires_at;
    } cases[] = {{60, 15000, 15000, 9, 4}, {0, 15000, 15000, 10, 0}, {1, 1000, 0x7FFFFFFF, 4, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timeout_s);
        plugin.DeleteAllMonitors();
        ProcMonitor* m = Watch("NEVER.EXE", kAll, 1, c.timeout_s);
        for (int i = 1; i <= c.pulses; ++i)
            EXPECT_EQ(Pulse(i == 1 ? c.first_ms : c.then_ms), i == c.fires_at ? 1u : 0u) << i;
        EXPECT_EQ(m->times_failed, c.fires_at ? 1u : 0u);
        EXPECT_TRUE(c.then_ms != 0x7FFFFFFF || m->not_started_ms == 0xFFFFFFFFu);
        EXPECT_EQ(Kinds(),
                  c.fires_at ? std::vector<uint8_t>{kAlertFailedToStart} : std::vector<uint8_t>{});
    }
}

TEST_F(MonitorPulse, AProcessRunningAtLoadNeverFiresNotStarted) {
    ProcMonitor* m = Watch("PING.EXE", kAll, 1, 30);
    platform.Run({{"C:\\W\\PING.EXE", 5}});
    Pulse();
    platform.Run({});
    for (int i = 0; i < 6; ++i)
        Pulse();
    EXPECT_EQ(m->times_failed, 0u);
    EXPECT_EQ(Kinds(), (std::vector<uint8_t>{kAlertTerminated, kAlertStarted}));
}

TEST_F(MonitorPulse, NewServerCountsEverythingButQueuesNothing) {
    ProcMonitor* seen = Watch("PING.EXE", kAll | kCondNewServer, 1, 15);
    ProcMonitor* never = Watch("NEVER.EXE", kAll | kCondNewServer, 1, 15);
    platform.Run({{"C:\\W\\PING.EXE", 5}});
    EXPECT_EQ(Pulse(), 0u);
    platform.Run({});
    EXPECT_EQ(Pulse(), 0u);
    EXPECT_EQ(seen->times_started, 1u);
    EXPECT_EQ(seen->times_stopped, 1u);
    EXPECT_EQ(never->times_failed, 1u);
    EXPECT_TRUE(plugin.Alerts().Empty());
}

// Toolhelp (full paths) on the Windows 95 family, PSAPI otherwise; an enumeration that fails
// changes nothing, and without any the not-started time still counts.
TEST_F(MonitorPulse, TheEnumerationOfTheFamilyAndWhenItFails) {
    struct Case {
        const char* what;
        bool win9x, toolhelp, psapi, toolhelp_fails, ids;
        int toolhelp_lists, psapi_lists;
        uint32_t started, failed;
    } cases[] = {
        {"NT family", false, true, true, false, true, 0, 1, 1, 0},
        {"95 family", true, true, true, false, true, 1, 0, 1, 0},
        {"95 family without toolhelp", true, false, true, false, true, 0, 1, 1, 0},
        {"toolhelp fails", true, true, true, true, true, 1, 0, 0, 0},
        {"PSAPI lists no id", false, true, true, false, false, 0, 1, 0, 0},
        {"no enumeration", false, false, false, false, true, 0, 0, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakePluginPlatform p;
        p.win9x = c.win9x;
        p.toolhelp_usable = c.toolhelp;
        p.psapi_usable = c.psapi;
        p.toolhelp_fails = c.toolhelp_fails;
        p.Run({{"C:\\WINDOWS\\PING.EXE", 9}});
        if (!c.ids) p.processes.clear();
        Plugin plugin(p);
        plugin.InitIndepMonitors("C:\\Data\\");
        ProcMonitor* m =
            plugin.CreateMonitor(MakeRecord(0, 1, kAll, 15, "PING.EXE").data(), false, OwnerId{});
        uint32_t n = 0;
        plugin.IndepMonitorPulse(0, 15000, &n);
        EXPECT_EQ(n, c.started + c.failed);
        EXPECT_EQ(p.toolhelp_lists, c.toolhelp_lists);
        EXPECT_EQ(p.psapi_lists, c.psapi_lists);
        EXPECT_EQ(m->times_started, c.started);
        EXPECT_EQ(m->times_failed, c.failed);
        EXPECT_TRUE(c.started + c.failed > 0 || m->not_started_ms == 0);
    }
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
            auto seen = std::find_if(m->tracked.begin(), m->tracked.end(),
                                     [&](const auto& t) { return t.first == p.pid; });
            if (seen != m->tracked.end()) seen->second = true;
            if (seen != m->tracked.end() || !NameMatches(upper, m->name)) continue;
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

TEST_F(MonitorPulse, IndexedPulseGivesTheResultsOfMatchingEveryPair) {
    std::mt19937 rng(7);
    // One process feeds every monitor whose name matches (two are A.EXE), none the nameless.
    const char* names[] = {"A.EXE", "B.EXE", "C.EXE", "D.EXE", "A.EXE", ""};
    const char* dirs[] = {"C:\\", "C:\\X\\", "\\\\S\\A.EXE\\", "D:\\B.EXE\\Y\\"};
    std::vector<RefMonitor> refs;
    for (size_t i = 0; i < 6; ++i) {
        const uint8_t cond = static_cast<uint8_t>(rng() % 4);
        Watch(names[i], cond);
        refs.push_back({names[i], cond, {}});
    }
    // Visiting order: first created, then the others newest first.
    std::vector<RefMonitor*> visit = {&refs[0], &refs[5], &refs[4], &refs[3], &refs[2], &refs[1]};
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
        Pulse();
        const char* name = nullptr;
        uint16_t type = 0;
        while (plugin.GenAlert(0, nullptr, nullptr, nullptr, nullptr, &type, nullptr, &name))
            got.push_back({name, type == kTypeStarted ? kAlertStarted : kAlertTerminated});
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
