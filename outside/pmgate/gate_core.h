// The gate's core: what it does with each message of its subscriptions and what it says of its
// machine, whatever carries the messages and wherever the nodes are.
//
//   - A request on procmgr.<machine>.<node>... is forwarded only when its reply subject is a
//     console's inbox (a reply aimed anywhere else would act with this machine's rights), and
//     only when the gate's rules let it through (shared/remote CheckRequest) and fewer than
//     max_in_flight are out; otherwise the console gets a status. The node's reply goes back
//     in pieces of the bus's size; a node that is not running, or silent past the forwarding
//     time-out, is a status too.
//   - Presence: the hello on every new connection, heartbeats, and the answer to discovery on
//     the machine's own hello subject (where the servers vouch for the name), at most once a
//     second (discover_interval_ms) however often anyone asks.
//   - The alert pump's, the queue runner's and the policy runner's messages are handed to them.
//
// Portable: the nodes through LocalNode, the cluster through GateBus, time through GateClock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "outside/pmgate/alert_pump.h"
#include "outside/pmgate/gate_bus.h"
#include "outside/pmgate/gate_clock.h"
#include "outside/pmgate/local_node.h"
#include "outside/pmgate/policy_runner.h"
#include "outside/pmgate/queue_runner.h"
#include "shared/nats/protocol_parser.h"
#include "shared/remote/statuses.h"

namespace pm::gate {

struct GateSettings {
    std::string machine;
    std::string gate_version;
    remote::GateRules rules;
    uint32_t max_in_flight = 32;
    uint32_t heartbeat_s = 30;
    // Longer than the agent's own 15 s wait for the monitor host, shorter than a console's 30 s.
    uint32_t forward_timeout_ms = 25000;
    bool trace_requests = false; // each forwarded request and reply in the trace
    // Discovery is answered at most this often, however often anyone asks.
    uint32_t discover_interval_ms = 1000;
};

class GateCore {
public:
    using TraceFn = std::function<void(const std::string&)>;
    // Called once with the gate status (kReply: `reply` is the node's reply message).
    using Finish = std::function<void(remote::GateStatus status, const std::string& reply)>;

    GateCore(GateSettings settings, GateBus& bus, LocalNode& node, const GateClock& clock,
             TraceFn trace);
    GateCore(const GateCore&) = delete;
    GateCore& operator=(const GateCore&) = delete;

    void SetAlertPump(AlertPump* pump) { pump_ = pump; }
    void SetQueueRunner(QueueRunner* runner) { runner_ = runner; }
    void SetPolicyRunner(PolicyRunner* policies) { policies_ = policies; }
    // The hooks a PolicyRunner of this gate runs with.
    PolicyHooks MakePolicyHooks();
    // The hooks a QueueRunner of this gate runs with: its requests go through Submit.
    QueueHooks MakeQueueHooks();

    // Every message of the gate's subscriptions, from the link's reading thread.
    void OnMessage(const nats::Message& m);
    // A request, live or queued, against the rules and on to its node; `finish` runs once
    // (from any thread) with the outcome.
    void Submit(const std::string& subject, const std::string& payload, Finish finish);

    // The hello for a new connection (the queue is looked at again too).
    BusMessage Hello();
    // A heartbeat, while a server has the connection.
    void Beat();
    // What the gate says of its machine, as `kind` ("hello", "heartbeat", "discover").
    [[nodiscard]] BusMessage PresenceMessage(const std::string& kind,
                                             const std::string& subject) const;

    [[nodiscard]] int InFlight() const { return in_flight_.load(); }
    [[nodiscard]] const std::string& Machine() const { return settings_.machine; }

private:
    struct Forwarded; // what the completion of one request needs
    void Completed(NodeRequest& c, const Forwarded& f);
    void Discover();

    const GateSettings settings_;
    GateBus& bus_;
    LocalNode& node_;
    const GateClock& clock_;
    TraceFn trace_;
    std::atomic<int> in_flight_{0};
    const uint64_t started_ms_;
    std::mutex discover_lock_;
    bool discovered_ = false;
    uint64_t last_discover_ms_ = 0;
    AlertPump* pump_ = nullptr;
    QueueRunner* runner_ = nullptr;
    PolicyRunner* policies_ = nullptr;
};

} // namespace pm::gate
