// Portable: discovery, the fleet view and machine patterns.
#include "outside/pmconsole/fleet/fleet_machines.h"

#include <algorithm>
#include <chrono>

#include "shared/remote/subjects.h"
#include "shared/text/json_string.h"

namespace pm::console {
namespace {

std::string Ago(uint64_t ms) {
    const uint64_t s = ms / 1000;
    if (s < 120) return std::to_string(s) + " s ago";
    if (s < 7200) return std::to_string(s / 60) + " min ago";
    return std::to_string(s / 3600) + " h ago";
}

std::string Running(bool running, const std::string& version) {
    if (!running) return "-";
    return version.empty() ? "running" : version;
}

} // namespace

std::string Pad(const std::string& s, size_t width) {
    return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' ');
}

uint64_t UtcNowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

bool MachineOrder(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9')
                ++ei;
            while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9')
                ++ej;
            // Leading zeros aside, the longer run is the larger number.
            size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0')
                ++si;
            while (sj + 1 < ej && b[sj] == '0')
                ++sj;
            if (ei - si != ej - sj) return ei - si < ej - sj;
            const int c = a.compare(si, ei - si, b, sj, ej - sj);
            if (c != 0) return c < 0;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;
}

bool FleetView::Heard(const std::string& subject, const std::string& payload, uint64_t now_ms) {
    remote::Presence p;
    if (payload.size() > kMaxPresenceBytes || !remote::ParsePresence(payload, p)) return false;
    // Believed only of the machine whose login could publish on the subject.
    const std::string kind = p.kind == "heartbeat" ? "heartbeat" : "hello";
    if (remote::MachineOfSubject(subject, kind.c_str()) != p.machine) {
        ++impostors_;
        return false;
    }
    Heard(p, now_ms);
    return true;
}

void FleetView::Heard(const remote::Presence& p, uint64_t now_ms) {
    // An uptime in whole seconds puts a start up to a second late.
    constexpr uint64_t kStartSlackMs = 2000;
    const uint64_t up_ms = p.uptime_s * 1000, start = now_ms > up_ms ? now_ms - up_ms : 0;
    auto it = machines_.find(p.machine);
    if (it == machines_.end()) {
        if (machines_.size() < kMaxMachines) machines_[p.machine] = {p, now_ms, start};
        return;
    }
    Machine& m = it->second;
    // Held up for longer than it takes to count as lost, or a run started whose hello this
    // console missed: a second message of the same start says which.
    const uint64_t lost_ms =
        uint64_t{remote::kMissedHeartbeatsLost} * std::max<uint32_t>(p.heartbeat_s, 1) * 1000;
    const bool new_run =
        p.kind == "hello" || (start > m.start_ms + lost_ms && m.next_start != 0 &&
                              start + kStartSlackMs >= m.next_start &&
                              start <= m.next_start + kStartSlackMs && up_ms > m.next_up_ms);
    if (new_run) {
        m = {p, now_ms, p.kind == "hello" ? start : std::min(start, m.next_start)};
        return;
    }
    if (start > m.start_ms + lost_ms) {
        m.next_start = start;
        m.next_up_ms = up_ms;
        return;
    }
    if (start + kStartSlackMs < m.start_ms) return; // an earlier run's, delivered late
    m.start_ms = std::min(m.start_ms, start);
    const uint64_t said = std::min(now_ms, m.start_ms + up_ms);
    if (said < m.heard_ms) return; // older than what it said since
    m.presence = p;
    m.heard_ms = said;
}

std::vector<FleetMachine> FleetView::Machines(uint64_t now_ms) const {
    std::vector<FleetMachine> out;
    out.reserve(machines_.size());
    for (const auto& [name, heard] : machines_) {
        FleetMachine m;
        m.presence = heard.presence;
        m.silent_ms = now_ms > heard.heard_ms ? now_ms - heard.heard_ms : 0;
        m.state = remote::StateOf(m.presence, m.silent_ms);
        out.push_back(m);
    }
    std::sort(out.begin(), out.end(), [](const FleetMachine& x, const FleetMachine& y) {
        return MachineOrder(x.presence.machine, y.presence.machine);
    });
    return out;
}

std::vector<FleetMachine> DiscoverMachines(FleetBus& bus, const DiscoveryWait& wait,
                                           uint64_t* impostors) {
    FleetView view;
    const uint64_t start = bus.NowMs();
    if (!bus.AskPresence()) return view.Machines(start);
    // Every presence heard meanwhile counts, until the wait ends or it goes quiet after the
    // first answer.
    std::string subject, payload;
    uint64_t last = 0;
    for (uint64_t now = start;; now = bus.NowMs()) {
        uint64_t until = start + wait.timeout_ms;
        if (last != 0 && last + wait.quiet_ms < until) until = last + wait.quiet_ms;
        if (now >= until) break;
        if (!bus.NextPresence(subject, payload, static_cast<uint32_t>(until - now))) continue;
        if (view.Heard(subject, payload, start)) last = bus.NowMs();
    }
    if (impostors != nullptr) *impostors += view.Impostors();
    return view.Machines(start);
}

std::string StandingJson(const MachineStanding& s) {
    std::string out = "{\"state\": " + JsonString(StandingWord(s.standing));
    if (s.standing == Standing::kNone) return out + "}";
    out += ", \"text\": " + JsonString(StandingText(s)) +
           ", \"compliant\": " + std::to_string(s.compliant) +
           ", \"drifted\": " + std::to_string(s.drifted) +
           ", \"failed\": " + std::to_string(s.failed) +
           ", \"conflicts\": " + std::to_string(s.conflicts);
    if (s.time_ms != 0) out += ", \"time_ms\": " + std::to_string(s.time_ms);
    return out + "}";
}

std::string FormatMachines(const std::vector<FleetMachine>& machines,
                           const ComplianceView* compliance, uint64_t now_ms) {
    std::string out = Pad("MACHINE", 20) + Pad("STATE", 18) + Pad("LAST HEARD", 12) +
                      Pad("AGENT", 10) + Pad("HOST", 10) + Pad("GATE", 8) + Pad("UPTIME", 12) +
                      "COMPLIANCE\n";
    const bool read = compliance != nullptr && compliance->read;
    size_t counts[4] = {};
    // compliant, drifted (failed counted here too), conflicts, not reporting (or stale)
    size_t standing[4] = {}, named = 0;
    for (const FleetMachine& m : machines) {
        const remote::Presence& p = m.presence;
        ++counts[static_cast<size_t>(m.state)];
        std::string cell = "?";
        if (read) {
            const MachineStanding s = StandingOf(p.machine, *compliance, now_ms);
            cell = StandingText(s);
            static const size_t kSlot[] = {0, 0, 1, 1, 2, 3, 3}; // by Standing
            if (s.standing != Standing::kNone) {
                ++named;
                ++standing[kSlot[static_cast<size_t>(s.standing)]];
            }
        }
        out += Pad(p.machine, 20) + Pad(remote::MachineStateText(m.state), 18) +
               Pad(Ago(m.silent_ms), 12) + Pad(Running(p.agent_running, p.agent_version), 10) +
               Pad(Running(p.host_running, p.host_version), 10) + Pad(p.gate_version, 8) +
               Pad(std::to_string(p.uptime_s) + " s", 12) + cell + "\n";
    }
    out += std::to_string(machines.size()) + " machines, " + std::to_string(counts[0]) + " up";
    for (size_t k = 1; k < 4; ++k)
        if (counts[k] > 0)
            out += ", " + std::to_string(counts[k]) + " " +
                   remote::MachineStateText(static_cast<remote::MachineState>(k));
    out += "\n";
    if (named > 0)
        out += "compliance: " + std::to_string(standing[0]) + " compliant, " +
               std::to_string(standing[1]) + " drifted, " + std::to_string(standing[2]) +
               " conflicts, " + std::to_string(standing[3]) + " not reporting\n";
    return out;
}

std::string FormatMachinesJson(const std::vector<FleetMachine>& machines,
                               const ComplianceView* compliance, uint64_t now_ms) {
    const bool read = compliance != nullptr && compliance->read;
    std::string out;
    for (const FleetMachine& m : machines) {
        const remote::Presence& p = m.presence;
        out += "{\"machine\": " + JsonString(p.machine) +
               ", \"state\": " + JsonString(remote::MachineStateText(m.state)) +
               ", \"last_heard_ms\": " + std::to_string(m.silent_ms) +
               ", \"agent_running\": " + (p.agent_running ? "true" : "false") +
               ", \"host_running\": " + (p.host_running ? "true" : "false") +
               ", \"agent_version\": " + JsonString(p.agent_version) +
               ", \"host_version\": " + JsonString(p.host_version) +
               ", \"gate_version\": " + JsonString(p.gate_version) +
               ", \"uptime_s\": " + std::to_string(p.uptime_s) +
               ", \"heartbeat_s\": " + std::to_string(p.heartbeat_s) + ", \"compliance\": " +
               (read ? StandingJson(StandingOf(p.machine, *compliance, now_ms))
                     : std::string("{\"state\": \"unknown\"}")) +
               "}\n";
    }
    return out;
}

} // namespace pm::console
