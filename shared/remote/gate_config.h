// pmgate.conf: where the gate connects, who it is and what it forwards. Portable.
//
//   servers = URL[,URL...]        nats://host:port or tls://host:port (required)
//   ca_file = FILE                the CA that server certificates must chain to
//   credentials = FILE            first line user, second line password
//   cert_file = FILE, key_file = FILE   optional client certificate
//   machine = NAME                default: the computer name, lower-cased
//   nodes = ProcMgr,KAVMonitorClientNC
//   allow = CODE[,CODE...]        default: every documented code of the agent and the host
//   max_in_flight = N             default 32
//   heartbeat = S                 seconds between heartbeats, default 30 (1..3600)
//   trace = 0|1
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shared/remote/presence.h"

namespace pm::remote {

constexpr uint32_t kDefaultMaxInFlight = 32;
constexpr uint32_t kMaxMaxInFlight = 4096;

struct GateConfig {
    std::vector<std::string> servers;
    std::string ca_file;
    std::string credentials;
    std::string cert_file;
    std::string key_file;
    std::string machine; // empty: from the computer name
    std::vector<std::string> nodes;
    std::vector<uint32_t> allow;
    uint32_t max_in_flight = kDefaultMaxInFlight;
    uint32_t heartbeat_s = kDefaultHeartbeatSeconds;
    bool trace = false;
};

// The documented codes of the agent and the host.
std::vector<uint32_t> DefaultAllowList();

// Parses the file's text; false with one line in `error` ("line 3: unknown key 'sever'",
// "servers missing", "machine 'Web01!' is not [a-z0-9_-]+", ...).
bool ParseGateConfig(const std::string& text, GateConfig& out, std::string& error);

// The credentials file: user on the first line, password on the second (a trailing '\r'
// dropped). False when either is missing or empty.
bool ParseCredentials(const std::string& text, std::string& user, std::string& password);

} // namespace pm::remote
