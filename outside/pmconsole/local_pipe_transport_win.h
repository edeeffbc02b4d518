// The local path: requests to a node on this machine through the messaging library, from a
// node of the console's own ("pmconsole-<pid>", registered for each request).
#pragma once

#include <functional>
#include <string>

#include "outside/pmconsole/request_transport.h"

namespace pm::console {

class LocalPipeTransport final : public RequestTransport {
public:
    // `err` receives the lines that say why a request could not be sent.
    explicit LocalPipeTransport(std::function<void(const std::string&)> err)
        : err_(std::move(err)) {}
    WireReply Exchange(const WireRequest& request) override;

private:
    std::function<void(const std::string&)> err_;
};

// The name of the console's own node.
std::string LocalNodeName();

} // namespace pm::console
