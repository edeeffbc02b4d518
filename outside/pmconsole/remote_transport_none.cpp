// The remote path in a console built without a NATS client: it says so.
#include "outside/pmconsole/remote_transport.h"

namespace pm::console {

std::unique_ptr<RequestTransport> ConnectRemote(const RemoteSettings&, const std::string&,
                                                std::string& error) {
    error = "this console was built without the remote path";
    return nullptr;
}

} // namespace pm::console
