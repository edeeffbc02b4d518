// Which machines are there: discovery on the cluster, the view a console keeps of the hellos
// and heartbeats it hears, and machine-name patterns. Portable: talks through FleetBus.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "outside/pmconsole/fleet/fleet_bus.h"
#include "outside/pmconsole/fleet/fleet_compliance.h"
#include "shared/remote/machine_pattern.h"
#include "shared/remote/presence.h"

namespace pm::console {

struct FleetMachine {
    remote::Presence presence; // what the machine said last
    uint64_t silent_ms = 0;    // since it was last heard of
    remote::MachineState state = remote::MachineState::kUp;
};

// How long discovery waits: the whole wait, and the quiet after the last answer that ends it.
struct DiscoveryWait {
    uint32_t timeout_ms = 2000;
    uint32_t quiet_ms = 300;
};
constexpr size_t kMaxMachines = 100000;
// A presence object is a few hundred bytes; a longer one is not read.
constexpr size_t kMaxPresenceBytes = 4096;

// Every machine that answered discovery, by name; answers that do not read as presence objects
// are dropped, a name that answers twice (a reinstalled machine) is one machine.
// `impostors`, when given, counts the answers in another machine's name than their subject's.
std::vector<FleetMachine> DiscoverMachines(FleetBus& bus, const DiscoveryWait& wait,
                                           uint64_t* impostors = nullptr);

// The machines a console has heard of and when, by name. When is when the gate spoke, as far
// as the console can tell: a heartbeat held up in a server that was stopped, and delivered when
// it went on, says the gate was there when it sent it, not when it came. Each gate run's start
// is learned from its least delayed message (its uptime against this console's clock), and a
// message counts from start + uptime. A hello starts a run, and so do two messages of the same
// later start.
class FleetView {
public:
    // A presence payload heard on `subject` at `now_ms`; false when it is not one, or when it
    // speaks for another machine than the one its subject names (counted).
    bool Heard(const std::string& subject, const std::string& payload, uint64_t now_ms);
    void Heard(const remote::Presence& p, uint64_t now_ms);
    [[nodiscard]] std::vector<FleetMachine> Machines(uint64_t now_ms) const;
    // Presence objects that named another machine than their subject, dropped.
    [[nodiscard]] uint64_t Impostors() const { return impostors_; }

private:
    struct Machine {
        remote::Presence presence; // the newest said
        uint64_t heard_ms = 0;     // when it was said
        uint64_t start_ms = 0;     // when its gate run started
        uint64_t next_start = 0;   // a message that fits no run: its start (0: none) and uptime
        uint64_t next_up_ms = 0;
    };
    std::map<std::string, Machine> machines_;
    uint64_t impostors_ = 0;
};

// A table's cell: `s` padded to `width`, or followed by one space when it fills it.
std::string Pad(const std::string& s, size_t width);
// Milliseconds since 1970, UTC.
uint64_t UtcNowMs();

// Names in the order a person expects: runs of digits by their value (sim2 before sim10).
bool MachineOrder(const std::string& a, const std::string& b);

// The fleet's machine patterns (shared/remote/machine_pattern.h).
using remote::MachineMatches;
using remote::ValidMachinePattern;

// The table a person reads (MACHINE STATE LAST-HEARD AGENT HOST GATE UPTIME COMPLIANCE), and a
// summary; with a line of compliance counts when a policy names a machine shown. `compliance`
// null or not read: the column shows "?". `now_ms` is UTC (the records' clock).
std::string FormatMachines(const std::vector<FleetMachine>& machines,
                           const ComplianceView* compliance = nullptr, uint64_t now_ms = 0);
// One JSON object per machine, a line each; "compliance" is {"state": "none"} when no policy
// names the machine, {"state": "unknown"} when the records were not read.
std::string FormatMachinesJson(const std::vector<FleetMachine>& machines,
                               const ComplianceView* compliance = nullptr, uint64_t now_ms = 0);
// A machine's standing as a JSON object: {"state": "drifted", "text": "2 drifted", "compliant":
// 3, "drifted": 2, "failed": 0, "conflicts": 0, "time_ms": ...}.
std::string StandingJson(const MachineStanding& s);

} // namespace pm::console
