// What the web console shows of the fleet's policies: each machine's standing and items, and
// per policy how its machines stand. Every text of a record is a machine's (hostile): it goes
// out as JSON strings only, and the page sets it as text. Portable: no OS code, no NATS here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outside/pmconsole/fleet/fleet_compliance.h"

namespace pm::console {

// {"state": "drifted", "text": "2 drifted", "time_utc": "...", "items": [{"policy", "revision",
// "kind", "name", "state", "saw", "did", "words"}]}: the items of the enabled policies that name
// the machine, each in words ("service Spooler drifted: running; stopped it").
std::string MachineComplianceJson(const ComplianceView& view, const std::string& machine,
                                  uint64_t now_ms);

// One object per stored policy: {"name", "revision", "enabled", "machines", "interval_s",
// "correct", "items", "counts": {"compliant", "drifted", "failed", "conflict", "not reporting"},
// "rows": [{"machine", "state", "time_utc", "items": [...]}]}, the rows only of the machines
// `machines` holds that it names and that are not compliant (a fleet of thousands that complies
// is a count, not a list). A document that does not read is {"name", "unreadable": true}.
std::string PoliciesJson(const ComplianceView& view, const std::vector<std::string>& machines,
                         uint64_t now_ms);

} // namespace pm::console
