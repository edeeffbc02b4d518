// The gate's core. Portable: no OS code here.
#include "outside/pmgate/gate_core.h"

#include <cstdlib>
#include <memory>

#include "outside/pmgate/gate_messages.h"
#include "shared/node/message_layout.h"
#include "shared/node/service_node.h"
#include "shared/remote/operations.h"
#include "shared/remote/presence.h"
#include "shared/remote/subjects.h"

namespace pm::gate {
namespace {

class HeapMemory final : public MessageMemory {
public:
    void* Allocate(uint32_t size) override { return std::malloc(size ? size : 1); }
    void Free(void* m) override { std::free(m); }
};

} // namespace

struct GateCore::Forwarded {
    std::string node;
    std::string console; // the request's sender: the reply's addressee
    uint32_t console_seq = 0;
    uint8_t console_tag = 0;
    uint64_t sent_ms = 0;
    Finish finish;
};

GateCore::GateCore(GateSettings settings, GateBus& bus, LocalNode& node, const GateClock& clock,
                   TraceFn trace)
    : settings_(std::move(settings)), bus_(bus), node_(node), clock_(clock),
      trace_(std::move(trace)), started_ms_(clock.MonotonicMs()) {}

QueueHooks GateCore::MakeQueueHooks() {
    QueueHooks hooks;
    hooks.connected = [this] { return bus_.Connected(); };
    hooks.node_running = [this](const std::string& n) { return node_.Running(n); };
    hooks.publish = [this](const BusMessage& m) { bus_.Publish(m); };
    hooks.run = [this](const remote::QueuedRequest& q, QueueHooks::Done done) {
        Submit(q.subject, q.request, [done](remote::GateStatus status, const std::string& bytes) {
            done(static_cast<uint32_t>(status), bytes);
        });
    };
    hooks.now_ms = [this] { return clock_.UtcMs(); };
    hooks.trace = trace_;
    return hooks;
}

PolicyHooks GateCore::MakePolicyHooks() {
    PolicyHooks hooks;
    hooks.connected = [this] { return bus_.Connected(); };
    hooks.publish = [this](const BusMessage& m) { bus_.Publish(m); };
    hooks.now_ms = [this] { return clock_.UtcMs(); };
    hooks.trace = trace_;
    return hooks;
}

void GateCore::OnMessage(const nats::Message& m) {
    if (runner_ != nullptr && runner_->OnAnswer(m)) return;
    if (policies_ != nullptr && policies_->OnMessage(m)) return;
    if (pump_ != nullptr && pump_->OnAnswer(m)) return;
    if (m.subject == remote::kDiscoverSubject) {
        Discover();
        return;
    }
    // Only a console's inbox is answered: a reply aimed anywhere else (the JetStream API,
    // another machine, the gate's own answers) would act with this machine's rights. Such a
    // request is not forwarded at all.
    if (!remote::IsConsoleInbox(m.reply)) {
        trace_("!!" + m.subject + ": not forwarded, its reply subject is no console's inbox");
        return;
    }
    const std::string reply = m.reply;
    if (settings_.trace_requests) trace_("->" + m.subject + " to " + reply);
    Submit(m.subject, m.payload,
           [this, reply](remote::GateStatus status, const std::string& bytes) {
               if (status != remote::GateStatus::kReply) {
                   bus_.Publish(StatusMessage(reply, status));
                   return;
               }
               if (settings_.trace_requests)
                   trace_("<-" + reply + ": " + std::to_string(bytes.size()) + " bytes");
               for (const BusMessage& piece : ReplyPieces(reply, bytes, bus_.PieceSize()))
                   bus_.Publish(piece);
           });
}

void GateCore::Discover() {
    // Answered on the machine's own hello subject, where the servers vouch for the name.
    {
        std::lock_guard<std::mutex> hold(discover_lock_);
        const uint64_t now = clock_.MonotonicMs();
        if (discovered_ && now - last_discover_ms_ < settings_.discover_interval_ms) return;
        discovered_ = true;
        last_discover_ms_ = now;
    }
    bus_.Publish(PresenceMessage("discover", remote::HelloSubject(settings_.machine)));
}

void GateCore::Submit(const std::string& subject_text, const std::string& payload, Finish finish) {
    remote::Subject subject;
    if (!remote::ParseSubject(subject_text, subject) || subject.machine != settings_.machine) {
        finish(remote::GateStatus::kMalformed, std::string());
        return;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(payload.data());
    const remote::RequestCheck check =
        remote::CheckRequest(subject, bytes, payload.size(), settings_.rules);
    if (check.status != remote::GateStatus::kReply) {
        trace_("--" + subject_text + ": " + remote::GateStatusText(check.status));
        finish(check.status, std::string());
        return;
    }
    if (in_flight_.fetch_add(1) >= static_cast<int>(settings_.max_in_flight)) {
        in_flight_.fetch_sub(1);
        finish(remote::GateStatus::kBusy, std::string());
        return;
    }
    auto f = std::make_shared<Forwarded>();
    f->node = subject.node;
    f->console = check.view.sender; // NUL-terminated in the checked view
    f->console_seq = check.view.seq_no;
    f->console_tag = check.view.tag;
    f->finish = std::move(finish);
    auto request = std::make_unique<NodeRequest>([this, f](NodeRequest& c) { Completed(c, *f); });
    if (!request->ParseRequest(check.view)) {
        in_flight_.fetch_sub(1);
        f->finish(remote::GateStatus::kMalformed, std::string());
        return;
    }
    request->SetTargetAddr(subject.node.c_str());
    request->timeout_ms = settings_.forward_timeout_ms;
    f->sent_ms = clock_.MonotonicMs();
    node_.Send(std::move(request));
}

void GateCore::Completed(NodeRequest& c, const Forwarded& f) {
    in_flight_.fetch_sub(1);
    // A node that is not running fails the send; the node's own time-out is told apart from a
    // reply that carries a time-out status.
    if (c.status == kStatusNotSent && c.GetResultCount() == 0) {
        f.finish(node_.Running(f.node) ? remote::GateStatus::kNoReply
                                       : remote::GateStatus::kNodeNotRunning,
                 std::string());
        return;
    }
    const bool own_timeout =
        clock_.MonotonicMs() - f.sent_ms >= c.timeout_ms && c.GetResultCount() == 0;
    if (c.status == kStatusTimedOut && own_timeout) {
        f.finish(remote::GateStatus::kNoReply, std::string());
        return;
    }
    HeapMemory memory;
    void* reply = c.PackResultsAsReply(memory, f.console_tag, f.node.c_str(), f.console.c_str(),
                                       static_cast<uint32_t>(c.status), f.console_seq);
    if (reply == nullptr) {
        f.finish(remote::GateStatus::kNoReply, std::string());
        return;
    }
    const std::string bytes(static_cast<const char*>(reply), msg::DeclaredLength(reply));
    memory.Free(reply);
    f.finish(remote::GateStatus::kReply, bytes);
}

BusMessage GateCore::Hello() {
    if (runner_ != nullptr) runner_->Kick();
    if (policies_ != nullptr) policies_->Kick();
    return PresenceMessage("hello", remote::HelloSubject(settings_.machine));
}

void GateCore::Beat() {
    if (bus_.Connected())
        bus_.Publish(PresenceMessage("heartbeat", remote::HeartbeatSubject(settings_.machine)));
}

BusMessage GateCore::PresenceMessage(const std::string& kind, const std::string& subject) const {
    remote::Presence p;
    p.kind = kind;
    p.machine = settings_.machine;
    p.gate_version = settings_.gate_version;
    p.agent_running = node_.Running(remote::kAgentNode);
    p.host_running = node_.Running(remote::kHostNode);
    if (p.agent_running) p.agent_version = node_.Version(remote::kAgentNode);
    if (p.host_running) p.host_version = node_.Version(remote::kHostNode);
    p.uptime_s = (clock_.MonotonicMs() - started_ms_) / 1000;
    p.heartbeat_s = settings_.heartbeat_s;
    return {subject, "", {}, remote::PresenceJson(p)};
}

} // namespace pm::gate
