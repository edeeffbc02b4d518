// The console's requests and the fleet bus over the project's own NATS connection
// (shared/nats): the Windows console's remote path, and natively testable over the loopback
// dialer. Portable: the socket and TLS are the dialer's.
#pragma once

#include <memory>
#include <string>

#include "outside/pmconsole/fleet/fleet_bus.h"
#include "outside/pmconsole/remote_settings.h"
#include "outside/pmconsole/request_transport.h"
#include "shared/nats/server_stream.h"

namespace pm::console {

// Connects through `dialer`; null with one line in `error` when no server takes the
// connection (unreachable, TLS refused, user or password wrong). The result is also a
// FleetBus.
std::unique_ptr<RequestTransport> ConnectOwn(const RemoteSettings& settings,
                                             const std::string& password,
                                             std::unique_ptr<nats::Dialer> dialer,
                                             std::string& error);

} // namespace pm::console
