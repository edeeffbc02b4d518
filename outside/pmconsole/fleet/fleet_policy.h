// `pmconsole fleet policy`: the fleet's policies in the cluster's bucket PROCMGR_POLICIES,
// each change a revision. Portable: the cluster comes through FleetBus.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/fleet/fleet_bus.h"

namespace pm::console {

extern const char kPolicyHelp[];
// ARGS after "policy": set FILE | list | show NAME | enable NAME | disable NAME | delete NAME |
// history NAME | rollback NAME REV, each with --json.
int RunPolicy(const std::vector<std::string>& args, FleetBus& bus, ConsoleIo& io);

extern const char kComplianceHelp[];
// ARGS after "compliance": [--machines PATTERN] [--policy NAME] [--json].
int RunCompliance(const std::vector<std::string>& args, FleetBus& bus, ConsoleIo& io);

// Creates the buckets PROCMGR_POLICIES and PROCMGR_COMPLIANCE (`replicas` copies each) or brings
// their settings up to date; false with one line.
bool SetupPolicyBucket(FleetBus& bus, uint32_t replicas, std::string& error);

} // namespace pm::console
