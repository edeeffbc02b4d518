// The agent's nodes on this machine as the gate's core sees them: whether a node runs, the
// version of the program behind it, and a request sent to it that completes once with the
// node's reply, a time-out, or "not sent". The gate reaches them through the messaging library
// (node_pipes_win); pmsim answers as a simulated agent. Portable.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "shared/node/command.h"

namespace pm::gate {

// One request on its way to a local node: the command (code, parameters, target, time-out)
// and what its completion runs. Completed as a Command is: `status` is the node's reply status
// with its results, or kStatusTimedOut / kStatusNotSent from the sending side.
class NodeRequest final : public Command {
public:
    using Done = std::function<void(NodeRequest&)>;
    explicit NodeRequest(Done done) : done_(std::move(done)) {}
    void OnComplete() override {
        if (done_) done_(*this);
    }

private:
    Done done_;
};

class LocalNode {
public:
    virtual ~LocalNode() = default;
    // True while a node of this name is registered.
    [[nodiscard]] virtual bool Running(const std::string& node) const = 0;
    // The version of the program behind the node ("1.0.0"); empty when unknown.
    [[nodiscard]] virtual std::string Version(const std::string& node) const = 0;
    // Sends the request to its target; never waits on the node. Its completion runs exactly
    // once, from any thread (also from within Send), after which the request is gone.
    virtual void Send(std::unique_ptr<NodeRequest> request) = 0;
};

} // namespace pm::gate
