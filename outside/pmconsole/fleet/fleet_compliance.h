// How machines stand against the fleet's policies, from the records their gates keep in the
// bucket PROCMGR_COMPLIANCE: their reading (one consumer of the bucket's last values
// where the bus has one, else one request per machine) and the words `fleet list`, `fleet
// compliance` and the web console show. Portable: the cluster comes through FleetBus.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "outside/pmconsole/fleet/fleet_bus.h"
#include "shared/remote/compliance.h"

namespace pm::console {

// The policies and the machines' records as read at one time.
struct ComplianceView {
    bool read = false;                      // false: not read (the column shows "?")
    std::vector<remote::PolicyAt> policies; // revision 0: a document that does not read
    // By machine; a record is believed only for the machine whose key it is stored under (each
    // machine may write its own key alone).
    std::map<std::string, remote::Compliance> records;
};

// Reads the policies and the records of the machines `pattern` matches ("" every one); false
// with one line in `error`. A cluster without the buckets (never set up) reads as no policies.
bool ReadCompliance(FleetBus& bus, const std::string& pattern, ComplianceView& out,
                    std::string& error);

// How one machine stands. kNone: no enabled policy names it; kNotReporting: no record of it;
// kStale: its record is older than three of its policies' shortest interval (a gate that
// stopped, or a machine that is off); else from the items of the policies that name it (one
// conflict makes it kConflict, then one failed item kFailed, then one drifted kDrifted).
enum class Standing : uint8_t {
    kNone,
    kCompliant,
    kDrifted,
    kFailed,
    kConflict,
    kNotReporting,
    kStale,
};
struct MachineStanding {
    Standing standing = Standing::kNone;
    size_t compliant = 0, drifted = 0, failed = 0, conflicts = 0;
    uint64_t time_ms = 0;                  // the record's, 0 when none
    std::vector<remote::ItemReport> items; // the items counted
};

// Against the enabled policies that name `machine` (only the one called `only` when given);
// `record` may be null. A fresh record that holds no item of those policies (its gate has not
// applied them yet) is kNotReporting.
MachineStanding StandingOf(const std::string& machine,
                           const std::vector<remote::PolicyAt>& policies,
                           const remote::Compliance* record, uint64_t now_ms,
                           const std::string& only = std::string());
MachineStanding StandingOf(const std::string& machine, const ComplianceView& view, uint64_t now_ms,
                           const std::string& only = std::string());

// "none", "compliant", "drifted", "failed", "conflict", "not reporting", "stale".
const char* StandingWord(Standing s);
// The short form of a table's cell: "-", "compliant", "2 drifted", "1 conflict, 1 failed",
// "not reporting", "stale".
std::string StandingText(const MachineStanding& s);
// One item in words: "service Spooler drifted: running; stopped it".
std::string ItemWords(const remote::ItemReport& r);

} // namespace pm::console
