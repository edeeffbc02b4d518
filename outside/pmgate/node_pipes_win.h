// The agent's nodes through the messaging library: a node runs while the library knows its
// name; a request goes out from the gate's own node on a forwarding thread (writing to a slow
// node's pipe holds up no reading of the server) and completes by the reply or the node's
// time-out; a version is read from the program's file beside the gate.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "outside/pmgate/forwarder.h"
#include "outside/pmgate/local_node.h"
#include "shared/node/messaging_library.h"
#include "shared/node/service_node.h"

namespace pm::gate {

class NodePipes final : public LocalNode {
public:
    // `program_dir` ends with a separator: the installation directory of the gate.
    NodePipes(ServiceNode& node, MessagingLibrary& library, std::string program_dir);

    [[nodiscard]] bool Running(const std::string& node) const override;
    [[nodiscard]] std::string Version(const std::string& node) const override;
    void Send(std::unique_ptr<NodeRequest> request) override;
    // Sends what is queued and ends the forwarding thread; a later request is not sent.
    void Stop();

private:
    ServiceNode& node_;
    MessagingLibrary& library_;
    const std::string program_dir_;
    std::mutex lock_;
    std::unique_ptr<Forwarder> forwarder_;
};

} // namespace pm::gate
