// Presence objects. Portable: no OS code here.
#include "shared/remote/presence.h"

#include "shared/remote/flat_json.h"
#include "shared/remote/subjects.h"
#include "shared/text/json_string.h"

namespace pm::remote {
namespace {

const char* Flag(bool b) {
    return b ? "true" : "false";
}

} // namespace

std::string HelloSubject(const std::string& machine) {
    return std::string(kSubjectRoot) + "." + machine + ".hello";
}

std::string HeartbeatSubject(const std::string& machine) {
    return std::string(kSubjectRoot) + "." + machine + ".heartbeat";
}

std::string PresenceJson(const Presence& p) {
    return "{\"kind\":" + JsonString(p.kind) + ",\"machine\":" + JsonString(p.machine) +
           ",\"gate_version\":" + JsonString(p.gate_version) +
           ",\"agent_running\":" + Flag(p.agent_running) +
           ",\"host_running\":" + Flag(p.host_running) +
           ",\"agent_version\":" + JsonString(p.agent_version) +
           ",\"host_version\":" + JsonString(p.host_version) +
           ",\"uptime_s\":" + std::to_string(p.uptime_s) +
           ",\"heartbeat_s\":" + std::to_string(p.heartbeat_s) + "}";
}

bool ParsePresence(const std::string& json, Presence& out) {
    FlatObject o;
    if (!o.Read(json)) return false;
    Presence p;
    uint64_t heartbeat = p.heartbeat_s;
    if (!o.Text("kind", p.kind) || !o.Text("machine", p.machine) ||
        !o.Text("gate_version", p.gate_version) || !o.Bool("agent_running", p.agent_running) ||
        !o.Bool("host_running", p.host_running) || !o.Text("agent_version", p.agent_version) ||
        !o.Text("host_version", p.host_version) || !o.Unsigned("uptime_s", p.uptime_s) ||
        !o.Unsigned("heartbeat_s", heartbeat))
        return false;
    if (p.kind != "hello" && p.kind != "heartbeat" && p.kind != "discover") return false;
    if (!IsValidMachineName(p.machine)) return false;
    // A period of 0 or of more than a day is no period: the default is kept.
    p.heartbeat_s = heartbeat >= 1 && heartbeat <= 86400 ? static_cast<uint32_t>(heartbeat)
                                                         : kDefaultHeartbeatSeconds;
    out = p;
    return true;
}

const char* MachineStateText(MachineState state) {
    switch (state) {
    case MachineState::kUp:
        return "up";
    case MachineState::kLost:
        return "lost";
    case MachineState::kAgentNotRunning:
        return "agent not running";
    case MachineState::kHostNotRunning:
        return "host not running";
    }
    return "?";
}

MachineState StateOf(const Presence& last, uint64_t silent_ms) {
    if (silent_ms > uint64_t{kMissedHeartbeatsLost} * last.heartbeat_s * 1000u)
        return MachineState::kLost;
    if (!last.agent_running) return MachineState::kAgentNotRunning;
    if (!last.host_running) return MachineState::kHostNotRunning;
    return MachineState::kUp;
}

} // namespace pm::remote
