// The remote path's transport: a connection to a NATS cluster on which each request goes to
// procmgr.<machine>.<node>.<code>[.<operation>] and its reply comes back, in pieces when it is
// large. Linux: libnats (nats_transport_libnats.cpp); Windows: the project's own connection
// (shared/nats, shared with the gate) under the bus of fleet/connection_bus.h.
#pragma once

#include <memory>
#include <string>

#include "outside/pmconsole/remote_settings.h"
#include "outside/pmconsole/request_transport.h"

namespace pm::console {

// Connects to the servers; null with one line in `error` when no server takes the connection
// (unreachable, TLS refused, user or password wrong). Nothing is retried after a refusal.
std::unique_ptr<RequestTransport> ConnectRemote(const RemoteSettings& settings,
                                                const std::string& password, std::string& error);

class FleetBus;
// The connection of ConnectRemote as the fleet commands' bus (null for another transport).
FleetBus* FleetOf(RequestTransport* transport);

} // namespace pm::console
