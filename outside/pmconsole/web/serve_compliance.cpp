// Portable: the web console's compliance JSON.
#include "outside/pmconsole/web/serve_compliance.h"

#include "outside/pmconsole/fleet/fleet_alerts.h"
#include "shared/monitor/host_text.h"
#include "shared/remote/machine_pattern.h"
#include "shared/text/json_string.h"

namespace pm::console {
namespace {

std::string Text(const std::string& s) {
    return JsonString(host::ValidUtf8(s));
}

std::string ItemJson(const remote::ItemReport& r) {
    return "{\"policy\":" + Text(r.policy) + ",\"revision\":" + std::to_string(r.revision) +
           ",\"kind\":" + Text(remote::ItemKindText(r.kind)) + ",\"name\":" + Text(r.name) +
           ",\"state\":" + Text(remote::ItemStateText(r.state)) + ",\"saw\":" + Text(r.saw) +
           ",\"did\":" + Text(r.did) + ",\"words\":" + Text(ItemWords(r)) + "}";
}

// The standing and its items (all of them, or only those not compliant).
std::string StandingBody(const MachineStanding& s, bool all) {
    std::string items;
    for (const remote::ItemReport& r : s.items)
        if (all || r.state != remote::ItemState::kCompliant)
            items += (items.empty() ? "" : ",") + ItemJson(r);
    return "\"state\":" + Text(StandingWord(s.standing)) + ",\"text\":" + Text(StandingText(s)) +
           ",\"time_utc\":" + Text(s.time_ms != 0 ? UtcText(s.time_ms) : std::string()) +
           ",\"items\":[" + items + "]";
}

} // namespace

std::string MachineComplianceJson(const ComplianceView& view, const std::string& machine,
                                  uint64_t now_ms) {
    return "{" + StandingBody(StandingOf(machine, view, now_ms), true) + "}";
}

std::string PoliciesJson(const ComplianceView& view, const std::vector<std::string>& machines,
                         uint64_t now_ms) {
    std::string out = "[";
    for (const remote::PolicyAt& p : view.policies) {
        if (out.size() > 1) out += ",";
        const remote::Policy& d = p.policy;
        if (p.revision == 0) {
            out += "{\"name\":" + Text(d.name) + ",\"unreadable\":true}";
            continue;
        }
        // compliant, drifted, failed, conflict, not reporting (stale counted there too)
        size_t counts[5] = {};
        std::string rows;
        for (const std::string& m : machines) {
            // A disabled policy names none: StandingOf says kNone.
            if (!remote::MachineMatches(d.machines, m)) continue;
            const MachineStanding s = StandingOf(m, view, now_ms, d.name);
            static const int kSlot[] = {-1, 0, 1, 2, 3, 4, 4}; // by Standing
            const int slot = kSlot[static_cast<size_t>(s.standing)];
            if (slot < 0) continue;
            ++counts[slot];
            if (slot != 0)
                rows += (rows.empty() ? "{\"machine\":" : ",{\"machine\":") + Text(m) + "," +
                        StandingBody(s, false) + "}";
        }
        out += "{\"name\":" + Text(d.name) + ",\"revision\":" + std::to_string(p.revision) +
               ",\"enabled\":" + (d.enabled ? "true" : "false") +
               ",\"machines\":" + Text(d.machines) +
               ",\"interval_s\":" + std::to_string(d.interval_s) +
               ",\"correct\":" + (d.correct ? "true" : "false") + ",\"items\":" +
               std::to_string(d.services.size() + d.monitors.size() + d.forbidden.size()) +
               ",\"counts\":{\"compliant\":" + std::to_string(counts[0]) +
               ",\"drifted\":" + std::to_string(counts[1]) +
               ",\"failed\":" + std::to_string(counts[2]) +
               ",\"conflict\":" + std::to_string(counts[3]) +
               ",\"not reporting\":" + std::to_string(counts[4]) + "},\"rows\":[" + rows + "]}";
    }
    return out + "]";
}

} // namespace pm::console
