// A real machine's hands for its policies: what the machine shows, read from its agent as a
// console reads it (processes and services through Get Updates; the monitors through the
// agent's forwarding to the monitor host), and each action sent to the agent the same way. Every
// request passes the gate's own rules first (its node exposed, its code allowed): a policy acts
// with no more rights than a console. Portable: the requests go through LocalNode, the services'
// key names come from a seam (the agent's list carries display names only).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "outside/pmgate/local_node.h"
#include "outside/pmgate/policy_keeper.h"
#include "shared/remote/statuses.h"

namespace pm::gate {

struct ServiceName {
    std::string key_name;
    std::string display_name; // UTF-8
};
// The machine's services by key and display name; false when they cannot be read.
using ServiceNames = std::function<bool(std::vector<ServiceName>& out)>;

class AgentHands {
public:
    AgentHands(LocalNode& node, remote::GateRules rules, ServiceNames names,
               uint32_t wait_ms = 30000);

    PolicyHands Hands();
    bool Observe(remote::Seen& seen);
    std::string Act(const remote::Action& a); // "" when done, else why not, in words
    // Ends a wait under way and refuses every later request (the gate is stopping).
    void Cancel();
    // Why the last Observe failed.
    [[nodiscard]] const std::string& ObserveError() const { return observe_error_; }

    struct Answer {
        std::string error; // empty: the node answered with `status` and `items`
        int32_t status = 0;
        std::vector<std::string> items;
    };
    // One request to a local node, waited for.
    Answer Ask(const std::string& node, uint32_t code, const std::vector<std::string>& params);

private:
    Answer Monitor(const std::string& command);

    LocalNode& node_;
    const remote::GateRules rules_;
    ServiceNames names_;
    const uint32_t wait_ms_;
    std::vector<remote::SeenMonitor> monitors_; // as last observed (deletions go by name)
    std::string observe_error_;
    std::mutex cancel_lock_;
    bool cancelled_ = false;
    std::shared_ptr<void> waiting_; // the Shared of the request waited for
    std::function<void()> wake_waiting_;
};

} // namespace pm::gate
