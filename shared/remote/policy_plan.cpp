// Portable: a machine's plan from its policies and what it reports.
#include "shared/remote/policy_plan.h"

#include <algorithm>
#include <map>
#include <set>

#include "shared/monitor/monitor_record.h"
#include "shared/remote/machine_pattern.h"

namespace pm::remote {
namespace {

const char* SeenText(ServiceSeen s) {
    switch (s) {
    case ServiceSeen::kRunning:
        return "running";
    case ServiceSeen::kStopped:
        return "stopped";
    case ServiceSeen::kPaused:
        return "paused";
    case ServiceSeen::kChanging:
        return "changing state";
    }
    return "?";
}

bool Matches(ServiceSeen seen, ServiceWant want) {
    return (seen == ServiceSeen::kRunning && want == ServiceWant::kRunning) ||
           (seen == ServiceSeen::kStopped && want == ServiceWant::kStopped) ||
           (seen == ServiceSeen::kPaused && want == ServiceWant::kPaused);
}

// The step from `seen` toward `want`; a stopped service wanted paused is started first.
ActionKind StepToward(ServiceSeen seen, ServiceWant want) {
    if (want == ServiceWant::kStopped) return ActionKind::kServiceStop;
    if (want == ServiceWant::kPaused && seen == ServiceSeen::kRunning)
        return ActionKind::kServicePause;
    return seen == ServiceSeen::kPaused ? ActionKind::kServiceContinue : ActionKind::kServiceStart;
}

std::string MonitorText(uint8_t conditions, uint16_t start_timeout, uint8_t level) {
    std::string on;
    if (conditions & monitor::kCondRunning) on += "start";
    if (conditions & monitor::kCondTermination) on += std::string(on.empty() ? "" : ",") + "stop";
    if (conditions & monitor::kCondNotStarted)
        on += std::string(on.empty() ? "" : ",") + "not-started after " +
              std::to_string(start_timeout) + " s";
    return "on " + (on.empty() ? std::string("nothing") : on) + ", level " + std::to_string(level);
}

bool SameMonitor(const SeenMonitor& s, const PolicyMonitor& m) {
    const uint8_t known =
        monitor::kCondRunning | monitor::kCondTermination | monitor::kCondNotStarted;
    return NameKey(s.exe) == m.exe && (s.conditions & known) == m.conditions &&
           s.level == m.level &&
           (!(m.conditions & monitor::kCondNotStarted) || s.start_timeout == m.start_timeout);
}

// One item as every applicable policy wants it: the policies' indexes and their wants.
template <typename Want> struct Wanted {
    std::vector<std::pair<size_t, Want>> by; // (policy index, what it wants)
    bool Agreed() const {
        for (const auto& b : by)
            if (!(b.second == by.front().second)) return false;
        return true;
    }
};

class Planner {
public:
    Planner(const std::vector<const PolicyAt*>& applied, const Seen& seen)
        : applied_(applied), seen_(seen) {}

    size_t Report(size_t policy, ItemKind kind, const std::string& name, ItemState state,
                  std::string saw, std::string did = std::string()) {
        ItemReport r;
        r.policy = applied_[policy]->policy.name;
        r.revision = applied_[policy]->revision;
        r.kind = kind;
        r.name = name;
        r.state = state;
        r.saw = std::move(saw);
        r.did = std::move(did);
        plan_.reports.push_back(std::move(r));
        return plan_.reports.size() - 1;
    }

    template <typename Want>
    bool Conflict(const Wanted<Want>& w, ItemKind kind, const std::string& name,
                  std::string (*text)(const Want&)) {
        if (w.Agreed()) return false;
        std::string words;
        for (const auto& b : w.by)
            words += (words.empty() ? "" : ", ") + applied_[b.first]->policy.name + " wants " +
                     text(b.second);
        for (const auto& b : w.by)
            Report(b.first, kind, name, ItemState::kConflict, words, "nothing");
        return true;
    }

    void Services() {
        std::map<std::string, Wanted<ServiceWant>> wanted;
        std::map<std::string, std::string> written;
        for (size_t i = 0; i < applied_.size(); ++i)
            for (const PolicyService& s : applied_[i]->policy.services) {
                wanted[NameKey(s.name)].by.emplace_back(i, s.state);
                written.emplace(NameKey(s.name), s.name);
            }
        for (const auto& [key, w] : wanted) {
            const std::string& name = written[key];
            if (Conflict<ServiceWant>(
                    w, ItemKind::kService, name,
                    [](const ServiceWant& s) -> std::string { return ServiceWantText(s); }))
                continue;
            const SeenService* seen = nullptr;
            for (const SeenService& s : seen_.services)
                if (NameKey(s.name) == key || NameKey(s.key_name) == key) seen = &s;
            const ServiceWant want = w.by.front().second;
            if (seen == nullptr) {
                for (const auto& b : w.by)
                    Report(b.first, ItemKind::kService, name, ItemState::kFailed,
                           "no such service");
                continue;
            }
            if (Matches(seen->state, want)) {
                for (const auto& b : w.by)
                    Report(b.first, ItemKind::kService, name, ItemState::kCompliant,
                           SeenText(seen->state));
                continue;
            }
            // Corrected once when any of the agreeing policies corrects; a service changing
            // state is left to finish.
            bool correct = false;
            for (const auto& b : w.by)
                correct = correct || applied_[b.first]->policy.correct;
            correct = correct && seen->state != ServiceSeen::kChanging;
            Action a;
            a.kind = StepToward(seen->state, want);
            a.name = seen->key_name.empty() ? seen->name : seen->key_name;
            for (const auto& b : w.by)
                a.reports.push_back(Report(b.first, ItemKind::kService, name, ItemState::kDrifted,
                                           SeenText(seen->state),
                                           correct ? ActionText(a.kind, false) : ""));
            if (correct) plan_.actions.push_back(std::move(a));
        }
    }

    void Monitors() {
        std::map<std::string, Wanted<PolicyMonitor>> wanted;
        for (size_t i = 0; i < applied_.size(); ++i)
            for (const PolicyMonitor& m : applied_[i]->policy.monitors)
                wanted[m.exe].by.emplace_back(i, m);
        std::set<uint32_t> kept;
        for (const auto& [exe, w] : wanted) {
            const uint32_t key = PolicyMonitorKey(exe);
            kept.insert(key); // a conflict leaves the monitor as it is
            if (Conflict<PolicyMonitor>(w, ItemKind::kMonitor, exe, [](const PolicyMonitor& m) {
                    return MonitorText(m.conditions, m.start_timeout, m.level);
                }))
                continue;
            const PolicyMonitor& want = w.by.front().second;
            const SeenMonitor* seen = nullptr;
            for (const SeenMonitor& s : seen_.monitors)
                if (s.key == key) seen = &s;
            if (seen != nullptr && NameKey(seen->exe) != exe) {
                for (const auto& b : w.by)
                    Report(b.first, ItemKind::kMonitor, exe, ItemState::kFailed,
                           "its key " + std::to_string(key) + " is taken by " + seen->exe);
                continue;
            }
            // A monitor of this name that a person keeps is theirs: the plug-in would hold two
            // of one name, and deleting by name could then take theirs.
            const SeenMonitor* other = nullptr;
            for (const SeenMonitor& s : seen_.monitors)
                if (seen == nullptr && !IsPolicyMonitorKey(s.key) && NameKey(s.exe) == exe)
                    other = &s;
            if (other != nullptr) {
                for (const auto& b : w.by)
                    Report(b.first, ItemKind::kMonitor, exe, ItemState::kFailed,
                           "monitored with key " + std::to_string(other->key) +
                               ", which no policy keeps");
                continue;
            }
            if (seen != nullptr && SameMonitor(*seen, want)) {
                for (const auto& b : w.by)
                    Report(b.first, ItemKind::kMonitor, exe, ItemState::kCompliant,
                           MonitorText(want.conditions, want.start_timeout, want.level));
                continue;
            }
            Action a;
            a.kind = seen == nullptr ? ActionKind::kMonitorAdd : ActionKind::kMonitorReplace;
            a.name = exe;
            a.key = key;
            a.monitor = want;
            const std::string saw =
                seen == nullptr ? "not monitored"
                                : MonitorText(seen->conditions, seen->start_timeout, seen->level);
            for (const auto& b : w.by)
                a.reports.push_back(Report(b.first, ItemKind::kMonitor, exe, ItemState::kDrifted,
                                           saw, ActionText(a.kind, false)));
            plan_.actions.push_back(std::move(a));
        }
        for (const SeenMonitor& s : seen_.monitors)
            if (IsPolicyMonitorKey(s.key) && kept.count(s.key) == 0) {
                Action a;
                a.kind = ActionKind::kMonitorDelete;
                a.name = s.exe;
                a.key = s.key;
                plan_.actions.push_back(std::move(a));
            }
    }

    void Forbidden() {
        std::map<std::string, Wanted<ForbiddenAction>> wanted;
        for (size_t i = 0; i < applied_.size(); ++i)
            for (const PolicyForbidden& f : applied_[i]->policy.forbidden)
                wanted[f.exe].by.emplace_back(i, f.action);
        for (const auto& [exe, w] : wanted) {
            if (Conflict<ForbiddenAction>(
                    w, ItemKind::kForbidden, exe,
                    [](const ForbiddenAction& a) -> std::string { return ForbiddenActionText(a); }))
                continue;
            std::vector<uint32_t> pids;
            for (const SeenProcess& p : seen_.processes)
                if (NameKey(p.exe) == exe) pids.push_back(p.pid);
            if (pids.empty()) {
                for (const auto& b : w.by)
                    Report(b.first, ItemKind::kForbidden, exe, ItemState::kCompliant,
                           "not running");
                continue;
            }
            std::string saw = "running, pid";
            for (size_t k = 0; k < pids.size(); ++k)
                saw += (k == 0 ? " " : ", ") + std::to_string(pids[k]);
            const bool kill = w.by.front().second == ForbiddenAction::kKill;
            std::vector<size_t> reports;
            for (const auto& b : w.by)
                reports.push_back(Report(b.first, ItemKind::kForbidden, exe, ItemState::kDrifted,
                                         saw,
                                         kill ? ActionText(ActionKind::kKill, false) : "reported"));
            if (!kill) continue;
            for (uint32_t pid : pids) {
                Action a;
                a.kind = ActionKind::kKill;
                a.name = exe;
                a.pid = pid;
                a.reports = reports;
                plan_.actions.push_back(std::move(a));
            }
        }
    }

    Plan Take() {
        // Reports in a stable order whatever the maps' order was: the actions keep indexes.
        std::vector<size_t> order(plan_.reports.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            const ItemReport& x = plan_.reports[a];
            const ItemReport& y = plan_.reports[b];
            if (x.policy != y.policy) return x.policy < y.policy;
            if (x.kind != y.kind) return x.kind < y.kind;
            return x.name < y.name;
        });
        std::vector<size_t> where(order.size());
        std::vector<ItemReport> sorted;
        for (size_t i = 0; i < order.size(); ++i) {
            where[order[i]] = i;
            sorted.push_back(std::move(plan_.reports[order[i]]));
        }
        plan_.reports = std::move(sorted);
        for (Action& a : plan_.actions)
            for (size_t& r : a.reports)
                r = where[r];
        return std::move(plan_);
    }

private:
    const std::vector<const PolicyAt*>& applied_;
    const Seen& seen_;
    Plan plan_;
};

} // namespace

std::vector<PolicyAt>
PoliciesAt(const std::vector<PolicyRevision>& read,
           const std::function<void(const PolicyRevision& r, const PolicyError& e)>& bad) {
    std::vector<PolicyAt> out;
    for (const PolicyRevision& r : read) {
        PolicyAt p;
        PolicyError e;
        p.revision = r.revision;
        if (ParsePolicy(r.document, p.policy, e))
            out.push_back(std::move(p));
        else if (bad)
            bad(r, e);
    }
    return out;
}

uint32_t PolicyMonitorKey(const std::string& exe) {
    uint32_t h = 2166136261u; // FNV-1a over the upper-case name
    for (char c : NameKey(exe)) {
        h ^= static_cast<uint8_t>(c);
        h *= 16777619u;
    }
    return kPolicyMonitorMark | (h & ~kPolicyMonitorMarkMask);
}

bool IsPolicyMonitorKey(uint32_t key) {
    return (key & kPolicyMonitorMarkMask) == kPolicyMonitorMark;
}

Plan PlanFor(const std::string& machine, const std::vector<PolicyAt>& policies, const Seen& seen) {
    std::vector<const PolicyAt*> applied;
    for (const PolicyAt& p : policies)
        if (p.policy.enabled && MachineMatches(p.policy.machines, machine)) applied.push_back(&p);
    Planner planner(applied, seen);
    planner.Services();
    planner.Monitors();
    planner.Forbidden();
    return planner.Take();
}

uint64_t ShortestIntervalMs(const std::string& machine, const std::vector<PolicyAt>& policies) {
    uint64_t shortest = 0;
    for (const PolicyAt& p : policies)
        if (p.policy.enabled && MachineMatches(p.policy.machines, machine) &&
            (shortest == 0 || p.policy.interval_s * 1000ull < shortest))
            shortest = p.policy.interval_s * 1000ull;
    return shortest;
}

const char* ActionText(ActionKind k, bool done) {
    switch (k) {
    case ActionKind::kServiceStart:
        return done ? "started it" : "starting it";
    case ActionKind::kServiceStop:
        return done ? "stopped it" : "stopping it";
    case ActionKind::kServicePause:
        return done ? "paused it" : "pausing it";
    case ActionKind::kServiceContinue:
        return done ? "continued it" : "continuing it";
    case ActionKind::kKill:
        return done ? "ended it" : "ending it";
    case ActionKind::kMonitorAdd:
        return done ? "added it" : "adding it";
    case ActionKind::kMonitorReplace:
        return done ? "replaced it" : "replacing it";
    case ActionKind::kMonitorDelete:
        return done ? "deleted it" : "deleting it";
    }
    return "";
}

const char* ItemKindText(ItemKind k) {
    return k == ItemKind::kService ? "service" : k == ItemKind::kMonitor ? "monitor" : "forbidden";
}

const char* ItemStateText(ItemState s) {
    switch (s) {
    case ItemState::kCompliant:
        return "compliant";
    case ItemState::kDrifted:
        return "drifted";
    case ItemState::kConflict:
        return "conflict";
    case ItemState::kFailed:
        return "failed";
    }
    return "?";
}

} // namespace pm::remote
