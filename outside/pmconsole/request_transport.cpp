// Portable: the console's request packed, sent through a transport and its reply decoded.
// No OS code here.
#include "outside/pmconsole/request_transport.h"

#include <cstdlib>

#include "outside/pmconsole/secret_buffer.h"
#include "shared/crypto/password_cipher.h"
#include "shared/node/command.h"
#include "shared/remote/operations.h"
#include "shared/remote/statuses.h"

namespace pm::console {

namespace {

// Messages built for a transport live on the C heap.
class HeapMemory final : public MessageMemory {
public:
    void* Allocate(uint32_t size) override { return std::malloc(size ? size : 1); }
    void Free(void* message) override { std::free(message); }
};

Reply::Outcome OutcomeOf(const WireReply& w) {
    switch (w.outcome) {
    case WireOutcome::kReply:
        return Reply::Outcome::kReply;
    case WireOutcome::kNoReply:
        return Reply::Outcome::kNoReply;
    case WireOutcome::kNotPermitted:
        return Reply::Outcome::kNotPermitted;
    case WireOutcome::kNoSuchMachine:
        return Reply::Outcome::kNoSuchMachine;
    case WireOutcome::kGateStatus:
        if (w.gate_status == static_cast<uint32_t>(remote::GateStatus::kNodeNotRunning))
            return Reply::Outcome::kAgentNotRunning;
        // The gate waited for the local node and gave up: no reply in time, as on the pipe.
        if (w.gate_status == static_cast<uint32_t>(remote::GateStatus::kNoReply))
            return Reply::Outcome::kNoReply;
        return Reply::Outcome::kGateRefused;
    case WireOutcome::kAbsentNode:
        return Reply::Outcome::kAbsentNode;
    case WireOutcome::kNotSent:
        return Reply::Outcome::kNotSent;
    case WireOutcome::kConnectionLost:
        return Reply::Outcome::kConnectionLost;
    }
    return Reply::Outcome::kNoReply;
}

// The parameter blocks and the packed request may hold a password (exec): wiped when the
// request is done, on every path.
struct WipedParams {
    Command& command;
    ~WipedParams() {
        for (size_t i = 0; i < command.GetParamCount(); ++i)
            if (command.GetParam(i) != nullptr)
                exec::WipeBytes(const_cast<uint8_t*>(command.GetParam(i)), command.GetParamSize(i));
    }
};

} // namespace

Reply SendThrough(RequestTransport& transport, const Request& request, const std::string& sender) {
    Reply reply;
    reply.outcome = Reply::Outcome::kNotSent;
    HeapMemory memory;
    Command command(request.code);
    const WipedParams wipe_params{command};
    command.SetReturnAddr(sender.c_str());
    command.SetTargetAddr(request.to.c_str());
    for (const std::string& p : request.params) {
        if (!command.AddParam(p.data(), static_cast<uint32_t>(p.size()))) return reply;
    }
    void* packed = command.BuildRequest(memory);
    if (!packed) {
        reply.detail = "the request is too large for one message";
        return reply;
    }
    WireRequest wire;
    wire.node = request.to;
    wire.code = request.code;
    wire.message.assign(static_cast<const char*>(packed), msg::DeclaredLength(packed));
    exec::WipeBytes(packed, wire.message.size());
    memory.Free(packed);
    wire.seq_no = command.seq_no;
    wire.timeout_ms = request.timeout_ms;
    // A monitor command the console cannot name goes without an operation: the gate refuses
    // it with a status of its own.
    if (!remote::OperationOfPayload(request.to,
                                    reinterpret_cast<const uint8_t*>(wire.message.data()),
                                    wire.message.size(), wire.operation))
        wire.operation.clear();

    WireReply w = transport.Exchange(wire);
    WipeWholeString(wire.message);
    reply.outcome = OutcomeOf(w);
    reply.gate_status = w.gate_status;
    reply.detail = w.detail;
    if (reply.outcome != Reply::Outcome::kReply) return reply;
    // The reply must be a whole reply message to this very request.
    if (!command.ParseReply(w.message.data(), w.message.size()) ||
        msg::DeclaredLength(w.message.data()) != w.message.size() ||
        command.status == kStatusReplyNotCopied) {
        reply.outcome = Reply::Outcome::kNoReply;
        reply.detail = "the reply did not answer this request";
        return reply;
    }
    reply.status = static_cast<uint32_t>(command.status);
    for (size_t i = 0; i < command.GetResultCount(); ++i)
        reply.items.emplace_back(reinterpret_cast<const char*>(command.GetResult(i)),
                                 command.GetResultSize(i));
    return reply;
}

} // namespace pm::console
