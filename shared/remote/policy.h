// A fleet policy: how the machines it names should be (services in a state, processes
// monitored, processes that must not run), declared once as a JSON document and kept in the
// cluster's key-value bucket PROCMGR_POLICIES, one key per policy. Portable: no OS code and no
// NATS here.
//
//   {"name": "web-baseline", "machines": "web*,db0?", "enabled": true,
//    "interval": 60, "correct": false,
//    "services": {"Spooler": "running", "RemoteRegistry": "stopped"},
//    "monitors": {"SQLSERVR.EXE": {"on": ["stop", "not-started"], "start_timeout": 60}},
//    "forbidden": {"XMRIG.EXE": "kill", "NC.EXE": "alert"}}
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pm::remote {

constexpr const char* kPolicyBucket = "PROCMGR_POLICIES";
constexpr size_t kMaxPolicyBytes = 64 * 1024;
constexpr size_t kMaxPolicyItems = 256; // per section
constexpr uint32_t kMinPolicyInterval = 5;
constexpr uint32_t kMaxPolicyInterval = 86400;
constexpr uint32_t kDefaultPolicyInterval = 60;

enum class ServiceWant : uint8_t { kRunning, kStopped, kPaused };
enum class ForbiddenAction : uint8_t { kAlert, kKill };

struct PolicyService {
    std::string name; // a display or key name, as written
    ServiceWant state = ServiceWant::kRunning;
    const std::string& Name() const { return name; }
    bool operator==(const PolicyService& o) const { return name == o.name && state == o.state; }
};

struct PolicyMonitor {
    std::string exe;            // upper case, as the agent reports names
    uint8_t conditions = 0;     // the monitor record's kCond* bits
    uint16_t start_timeout = 0; // seconds; with not-started only
    uint8_t level = 1;
    const std::string& Name() const { return exe; }
    bool operator==(const PolicyMonitor& o) const {
        return exe == o.exe && conditions == o.conditions && start_timeout == o.start_timeout &&
               level == o.level;
    }
};

struct PolicyForbidden {
    std::string exe; // upper case
    ForbiddenAction action = ForbiddenAction::kAlert;
    const std::string& Name() const { return exe; }
    bool operator==(const PolicyForbidden& o) const { return exe == o.exe && action == o.action; }
};

struct Policy {
    std::string name;
    std::string machines; // the fleet's machine pattern
    bool enabled = true;
    uint32_t interval_s = kDefaultPolicyInterval;
    bool correct = false; // false: drift is reported, not corrected
    std::vector<PolicyService> services;
    std::vector<PolicyMonitor> monitors;
    std::vector<PolicyForbidden> forbidden;
    bool operator==(const Policy& o) const {
        return name == o.name && machines == o.machines && enabled == o.enabled &&
               interval_s == o.interval_s && correct == o.correct && services == o.services &&
               monitors == o.monitors && forbidden == o.forbidden;
    }
};

// What is wrong with a document: the line (1-based; 0 when not known), the key's path
// ("services.Spooler"), the value as written, and why.
struct PolicyError {
    size_t line = 0;
    std::string key;
    std::string value;
    std::string message;
};
// "line 4: services.Spooler = "runing": must be running, stopped or paused"
std::string PolicyErrorText(const PolicyError& e);

// A policy name, also its key in the bucket: 1..64 of [A-Za-z0-9_-].
bool ValidPolicyName(const std::string& name);

// Reads a whole document: every key known, every value in range, no name twice (names compare
// without case); each section ordered by name without case. False with the first fault in `error`;
// `out` is left as it was.
bool ParsePolicy(const std::string& text, Policy& out, PolicyError& error);

// The document of a policy on one line, its keys in a fixed order (what the bucket stores):
// ParsePolicy gives the same policy back.
std::string PolicyJson(const Policy& p);

// The form names compare in: ASCII letters in upper case (as the agent reports executables).
std::string NameKey(std::string name);

const char* ServiceWantText(ServiceWant s);         // "running", "stopped", "paused"
const char* ForbiddenActionText(ForbiddenAction a); // "alert", "kill"

} // namespace pm::remote
