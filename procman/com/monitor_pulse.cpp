// Portable: the pulse. One enumeration serves every monitor; each process meets only the
// monitors that track its id or whose name its path ends with, taken in visiting order, so the
// outcome is that of matching every process against every monitor. No OS code here.
#include <algorithm>

#include "shared/monitor/monitor_name.h"
#include "procman/com/plugin.h"

namespace pm::monitor {

namespace {
constexpr int64_t kSecondsPerDay = 86400;

uint32_t AddSaturated(uint32_t a, uint32_t b) {
    const uint64_t sum = static_cast<uint64_t>(a) + b;
    return sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(sum);
}

long HhMmSs(const LocalTime& t) {
    return static_cast<long>(t.hour) * 10000 + t.minute * 100 + t.second;
}
} // namespace

uint32_t Plugin::IndepMonitorPulse(uint32_t mon_index, uint32_t elapsed_ms,
                                   uint32_t* alert_count_out) {
    TII(__LINE__, "IndepMonitorPulse() called with mon_index=%d, time since last pulse=%dms",
        static_cast<long>(mon_index), static_cast<long>(elapsed_ms));
    if (mon_index != 0) return kNoSuchMonitorType;
    const size_t queued_before = alerts_.Size();
    uint32_t alerts = 0;
    try {
        alerts = DoPulse(elapsed_ms);
    } catch (...) {
        // A pulse cut short (out of memory) still reports the alerts it queued, or the host
        // would never fetch them.
        alerts = static_cast<uint32_t>(alerts_.Size() - std::min(alerts_.Size(), queued_before));
        TI(__LINE__, "!!IndepMonitorPulse: the pulse failed after queuing %d alerts",
           static_cast<long>(alerts));
    }
    if (alert_count_out) *alert_count_out = alerts;
    return kPulseIntervalMs;
}

void Plugin::IndexMonitors() {
    if (names_dirty_) {
        by_name_.clear();
        longest_name_ = 0;
        size_t order = 0;
        registry_.ForEach([&](ProcMonitor& m) {
            m.visit_order = order++;
            const std::string_view name(m.Name());
            if (name.empty()) return;
            by_name_[name].push_back(&m);
            longest_name_ = std::max(longest_name_, name.size());
        });
        names_dirty_ = false;
    }
    by_pid_.Clear();
    registry_.ForEach([&](ProcMonitor& m) {
        for (uint32_t i = 0; i < m.tracked.size(); ++i)
            by_pid_.Add(m.tracked[i].pid, &m, i);
    });
}

bool Plugin::Enumerate(std::vector<ProcessEntry>& processes) {
    processes.clear();
    if (platform_.ToolhelpUsable() && platform_.IsWin9xFamily()) {
        T0(__LINE__, "ProcMonitor::DoPulse() section for Win9x");
        return platform_.ListToolhelp(processes);
    }
    if (platform_.PsapiUsable()) {
        T0(__LINE__, "ProcMonitor::DoPulse() section for WinNT");
        uint32_t ids = 0;
        platform_.ListPsapi(processes, ids);
        TI(__LINE__, "ProcMonitor::DoPulse() - EnumProcesses() returned len=%d",
           static_cast<long>(ids));
        if (ids == 0) {
            processes.clear();
            return false;
        }
    }
    return true; // no usable enumeration: as if no process were running
}

uint32_t Plugin::DoPulse(uint32_t elapsed_ms) {
    if (registry_.Empty()) {
        T0(__LINE__, "ProcMonitor::DoPulse() returning because there are no process monitors");
        return 0;
    }
    if (!Enumerate(processes_)) return 0;

    uint32_t alert_cnt = 0;
    IndexMonitors();
    // A process that could not be named still keeps its tracked instances running (no false
    // "stopped"); with no name it matches no monitor anew.
    static const std::string kNoName;
    for (const ProcessEntry& p : processes_)
        alert_cnt += ProcessName(p.named ? p.path : kNoName, p.pid);

    UpdateTimes();
    alert_cnt += EndsAndFailures(elapsed_ms);
    TI(__LINE__, "ProcMonitor::DoPulse() returning alert_cnt=%d", static_cast<long>(alert_cnt));
    return alert_cnt;
}

void Plugin::UpdateTimes() {
    const int64_t now = platform_.Now();
    const LocalTime local = platform_.Local(now);
    if (last_time_ == 0) {
        last_time_ = now;
        last_pulse_ = local;
        TII(__LINE__, "ProcMonitor::DoPulse() init last_time=%ld, last_pulse=%ld",
            static_cast<long>(now), HhMmSs(local));
        return;
    }
    // A clock set back gives no negative time.
    int64_t elapsed = std::max<int64_t>(now - last_time_, 0);
    if (local.day_of_month != reference_day_.day_of_month) {
        const int64_t to_midnight =
            kSecondsPerDay - 3600 * last_pulse_.hour - 60 * last_pulse_.minute - last_pulse_.second;
        // Yesterday gets the part of the interval before midnight; when the previous pulse was
        // already past midnight (the day noticed late) there is no such part.
        const int64_t credit = to_midnight <= elapsed ? to_midnight : 0;
        elapsed -= credit;
        reference_day_ = local;
        registry_.ForEach([&](ProcMonitor& m) {
            bool seen = false;
            for (const TrackedProcess& t : m.tracked)
                seen = seen || (t.flags & TrackedProcess::kSeen) != 0;
            m.execution_seconds[kYesterday] =
                m.execution_seconds[kToday] + (seen ? static_cast<uint32_t>(credit) : 0);
            m.new_executions[kYesterday] = m.new_executions[kToday];
            m.max_running[kYesterday] = m.max_running[kToday];
            m.execution_seconds[kToday] = 0;
            m.new_executions[kToday] = 0;
            m.max_running[kToday] = 0;
        });
    }
    registry_.ForEach([&](ProcMonitor& m) {
        uint32_t count = 0;
        for (const TrackedProcess& t : m.tracked)
            count += (t.flags & TrackedProcess::kSeen) ? 1 : 0;
        m.current_count = count;
        TI(__LINE__, "ProcMonitor::DoPulse() - setting current_count=%d", static_cast<long>(count));
        if (m.max_running[kToday] < count) m.max_running[kToday] = count;
        if (count == 0)
            m.running_at_last_pulse = false;
        else if (m.running_at_last_pulse)
            m.execution_seconds[kToday] += static_cast<uint32_t>(elapsed);
        else
            m.running_at_last_pulse = true;
    });
    last_time_ = now;
    last_pulse_ = local;
}

uint32_t Plugin::EndsAndFailures(uint32_t elapsed_ms) {
    uint32_t alert_cnt = 0;
    registry_.ForEach([&](ProcMonitor& m) {
        if (m.tracked.empty()) {
            if (!m.Has(kCondNotStarted)) return;
            const uint64_t limit = static_cast<uint64_t>(m.StartTimeout()) * 1000;
            if (m.not_started_ms < limit &&
                static_cast<uint64_t>(m.not_started_ms) + elapsed_ms >= limit && !m.has_started) {
                ++m.times_failed;
                if (!m.Has(kCondNewServer)) {
                    T0(__LINE__, "ProcMonitor::DoPulse()  Sending indep alert, "
                                 "ALERT_COND_NOT_STARTED (failed to start");
                    alert_cnt += DoAlert(m, kAlertFailedToStart);
                }
            }
            // Saturating: the time never wraps round below the limit to fire again.
            m.not_started_ms = AddSaturated(m.not_started_ms, elapsed_ms);
            return;
        }
        size_t kept = 0;
        for (size_t i = 0; i < m.tracked.size(); ++i) {
            TrackedProcess t = m.tracked[i];
            if (t.flags & TrackedProcess::kSeen) {
                t.flags = static_cast<uint16_t>(t.flags & ~TrackedProcess::kSeen);
                m.tracked[kept++] = t;
                continue;
            }
            if (!m.Has(kCondNewServer) && m.Has(kCondTermination)) {
                T0(__LINE__, "ProcMonitor::DoPulse() Sending indep. alert, ALERT_COND_TERMINATION");
                alert_cnt += DoAlert(m, kAlertTerminated);
            }
            ++m.times_stopped;
        }
        m.tracked.resize(kept);
        if (kept == 0) m.tracked.shrink_to_fit();
    });
    return alert_cnt;
}

void Plugin::AddTrack(ProcMonitor& m, uint32_t pid) {
    TI(__LINE__, "ProcMonitor::AddTrack() starting to track pid=%d", static_cast<long>(pid));
    m.tracked.push_back({TrackedProcess::kSeen, pid});
    by_pid_.Add(pid, &m, static_cast<uint32_t>(m.tracked.size() - 1));
}

uint32_t Plugin::ProcessName(const std::string& path, uint32_t pid) {
    TSI(__LINE__, "ProcMonitor::ProcessName() checking active process pname=%s, pid=%d",
        path.c_str(), static_cast<long>(pid));
    UpperProcessPathInto(path.c_str(), upper_);
    const std::string_view upper(upper_);

    candidates_.clear();
    for (uint32_t s = by_pid_.First(pid); s != PidTable::kNone; s = by_pid_.At(s).next)
        candidates_.push_back(by_pid_.At(s).monitor);
    // Every ending after a backslash that is as short as some monitor's name.
    const size_t shortest_start = upper.size() > longest_name_ ? upper.size() - longest_name_ : 0;
    for (size_t i = shortest_start > 0 ? shortest_start - 1 : 0; i + 1 < upper.size(); ++i) {
        if (upper[i] != '\\') continue;
        auto named = by_name_.find(upper.substr(i + 1));
        if (named != by_name_.end())
            candidates_.insert(candidates_.end(), named->second.begin(), named->second.end());
    }
    if (candidates_.empty()) return 0;
    if (candidates_.size() > 1) {
        std::sort(candidates_.begin(), candidates_.end(),
                  [](const ProcMonitor* a, const ProcMonitor* b) {
                      return a->visit_order < b->visit_order;
                  });
        candidates_.erase(std::unique(candidates_.begin(), candidates_.end()), candidates_.end());
    }

    uint32_t alerts = 0;
    for (ProcMonitor* m : candidates_) {
        bool found = false;
        for (uint32_t s = by_pid_.First(pid); s != PidTable::kNone; s = by_pid_.At(s).next) {
            if (by_pid_.At(s).monitor != m) continue;
            m->tracked[by_pid_.At(s).index].flags |= TrackedProcess::kSeen;
            found = true;
            break;
        }
        if (found) {
            TI(__LINE__, "ProcMonitor::ProcessName() process is still running. pid=%d",
               static_cast<long>(pid));
            continue;
        }
        if (!NameMatches(upper_, m->Name())) continue;
        TI(__LINE__, "ProcMonitor::ProcessName() new process found pid=%d", static_cast<long>(pid));
        AddTrack(*m, pid);
        ++m->new_executions[kToday];
        ++m->times_started;
        if (m->Has(kCondRunning) && !m->Has(kCondNewServer)) {
            TI(__LINE__, "ProcMonitor::ProcessName() calling DoAlert() for pid=%d",
               static_cast<long>(pid));
            T0(__LINE__, "ProcMonitor::DoPulse() Sending indep. alert, ALERT_COND_RUNNING");
            alerts += DoAlert(*m, kAlertStarted);
        } else {
            T0(__LINE__, "ProcMonitor::ProcessName() No alert called bacause of V2 server.");
        }
        m->has_started = true;
    }
    return alerts;
}

} // namespace pm::monitor
