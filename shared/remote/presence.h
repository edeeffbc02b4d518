// Presence on the cluster: the short JSON a gate publishes when it connects
// (procmgr.<machine>.hello), every heartbeat (procmgr.<machine>.heartbeat) and as its answer to
// a discovery request (procmgr.discover); and the state a console derives from what it heard.
// Portable: no OS code and no NATS here.
#pragma once

#include <cstdint>
#include <string>

namespace pm::remote {

constexpr const char* kDiscoverSubject = "procmgr.discover";
constexpr const char* kHelloWildcard = "procmgr.*.hello";
constexpr const char* kHeartbeatWildcard = "procmgr.*.heartbeat";
// A gate's heartbeat period unless its configuration says otherwise.
constexpr uint32_t kDefaultHeartbeatSeconds = 30;
// Heartbeats missed before a machine counts as lost.
constexpr uint32_t kMissedHeartbeatsLost = 3;

std::string HelloSubject(const std::string& machine);     // procmgr.<machine>.hello
std::string HeartbeatSubject(const std::string& machine); // procmgr.<machine>.heartbeat

struct Presence {
    std::string kind; // "hello", "heartbeat" or "discover"
    std::string machine;
    std::string gate_version;
    bool agent_running = false; // quorlent's node "ProcMgr" is registered
    bool host_running = false;  // pmhost's node "KAVMonitorClientNC" is registered
    std::string agent_version;  // empty when unknown
    std::string host_version;
    uint64_t uptime_s = 0; // since the gate started
    uint32_t heartbeat_s = kDefaultHeartbeatSeconds;
};

// {"kind":"hello","machine":"web01",...}: one line, every field present.
std::string PresenceJson(const Presence& p);

// Reads a presence object; unknown fields are skipped (newer gates may add some). False with
// `out` untouched when the text is not one flat JSON object, the machine name is not valid,
// the kind is unknown or a field has the wrong type.
bool ParsePresence(const std::string& json, Presence& out);

enum class MachineState : uint8_t { kUp, kLost, kAgentNotRunning, kHostNotRunning };

// "up", "lost", "agent not running", "host not running".
const char* MachineStateText(MachineState state);

// The state of a machine last heard of `silent_ms` ago with `last`: lost once three heartbeat
// periods have passed without a word; otherwise what the gate said of its agent and host.
MachineState StateOf(const Presence& last, uint64_t silent_ms);

} // namespace pm::remote
