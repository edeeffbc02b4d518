// What a machine's gate does about its policies: from the policies that name the machine and
// what its agent and monitor host report, the actions to take and, per policy and item, whether
// the machine complies. Portable: decisions only, no OS code and no NATS here; the gate and the
// simulator run the same plan.
//
// The monitors a policy keeps are marked by their key: 0x5nnnnnnn, the low 28 bits a hash of
// the executable's name. Monitors with other keys (added by a person or a console) are never
// touched; a marked monitor that no enabled policy wants any more is deleted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "shared/remote/policy.h"
#include "shared/remote/policy_bucket.h"

namespace pm::remote {

enum class ServiceSeen : uint8_t { kRunning, kStopped, kPaused, kChanging };
struct SeenService {
    std::string name;     // display name
    std::string key_name; // the service's key name
    ServiceSeen state = ServiceSeen::kStopped;
};
struct SeenProcess {
    uint32_t pid = 0;
    std::string exe; // as the agent reports it
};
struct SeenMonitor {
    uint32_t key = 0;
    std::string exe;
    uint8_t conditions = 0;
    uint16_t start_timeout = 0;
    uint8_t level = 0;
};
struct Seen {
    std::vector<SeenService> services;
    std::vector<SeenProcess> processes;
    std::vector<SeenMonitor> monitors;
};

struct PolicyAt {
    Policy policy;
    uint64_t revision = 0;
};
// The revisions read that parse, each at its revision; `bad` (when given) hears of each that
// does not (only the operator writes the bucket and the console checks each document: one that
// does not read is left out rather than acted on in part).
std::vector<PolicyAt>
PoliciesAt(const std::vector<PolicyRevision>& read,
           const std::function<void(const PolicyRevision& r, const PolicyError& e)>& bad = nullptr);

enum class ItemKind : uint8_t { kService, kMonitor, kForbidden };
enum class ItemState : uint8_t { kCompliant, kDrifted, kConflict, kFailed };
struct ItemReport {
    std::string policy;
    uint64_t revision = 0;
    ItemKind kind = ItemKind::kService;
    std::string name;
    ItemState state = ItemState::kCompliant;
    std::string saw; // what the machine showed, in words
    std::string did; // what the gate did about it, in words ("" when nothing)
};

enum class ActionKind : uint8_t {
    kServiceStart,
    kServiceStop,
    kServicePause,
    kServiceContinue,
    kKill,
    kMonitorAdd,
    kMonitorReplace,
    kMonitorDelete,
};
struct Action {
    ActionKind kind = ActionKind::kServiceStart;
    std::string name; // the service's key name, or the executable
    uint32_t pid = 0;
    uint32_t key = 0; // monitors
    PolicyMonitor monitor;
    std::vector<size_t> reports; // the items whose `did` its outcome completes
};

struct Plan {
    std::vector<Action> actions;
    std::vector<ItemReport> reports; // by policy name, then kind, then item name
};

constexpr uint32_t kPolicyMonitorMark = 0x50000000;
constexpr uint32_t kPolicyMonitorMarkMask = 0xF0000000;
uint32_t PolicyMonitorKey(const std::string& exe);
bool IsPolicyMonitorKey(uint32_t key);

// The enabled policies among `policies` that name `machine`, the items they agree on checked
// against `seen`: services acted on where the policy corrects drift, monitors always kept as the
// policies say, forbidden processes killed where the policy says kill. Items that two policies
// want differently are conflicts: reported for each, never acted on.
Plan PlanFor(const std::string& machine, const std::vector<PolicyAt>& policies, const Seen& seen);

// The shortest interval among the enabled policies that name `machine`, in ms; 0 when none
// names it.
uint64_t ShortestIntervalMs(const std::string& machine, const std::vector<PolicyAt>& policies);

// An action in words, under way ("starting it") or done ("started it").
const char* ActionText(ActionKind k, bool done);

const char* ItemKindText(ItemKind k);   // "service", "monitor", "forbidden"
const char* ItemStateText(ItemState s); // "compliant", "drifted", "conflict", "failed"

} // namespace pm::remote
