// The remote path on Windows: the project's own NATS connection over Winsock and Schannel,
// shared with the gate. The same transport is the fleet commands' bus.
#include "outside/pmconsole/fleet/connection_bus.h"
#include "outside/pmconsole/remote_transport.h"
#include "shared/nats/server_stream_win.h"

namespace pm::console {

std::unique_ptr<RequestTransport> ConnectRemote(const RemoteSettings& settings,
                                                const std::string& password, std::string& error) {
    auto dialer = std::make_unique<nats::WinDialer>(settings.ca_file, nullptr);
    if (!dialer->Ok()) {
        error = "Winsock did not start";
        return nullptr;
    }
    return ConnectOwn(settings, password, std::move(dialer), error);
}

FleetBus* FleetOf(RequestTransport* transport) {
    return dynamic_cast<FleetBus*>(transport);
}

} // namespace pm::console
