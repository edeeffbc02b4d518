// Messages on a reply subject and the server's errors. Portable: no OS code here.
#include "outside/pmconsole/remote_reply.h"

#include "shared/nats/headers.h"
#include "shared/remote/statuses.h"

namespace pm::console {

bool RemoteReplyCollector::Take(const nats::Message& message, WireReply& reply) {
    nats::HeaderBlock headers;
    if (message.headers.empty() || !nats::ParseHeaderBlock(message.headers, headers)) {
        reply.outcome = WireOutcome::kNoReply;
        reply.detail = "an answer without a gate status came";
        return true;
    }
    if (headers.code == 503) {
        reply.outcome = WireOutcome::kNoSuchMachine;
        return true;
    }
    const std::string* status_text = headers.Find(remote::kHeaderStatus);
    remote::GateStatus status;
    if (status_text == nullptr || !remote::ParseGateStatus(*status_text, status)) {
        reply.outcome = WireOutcome::kNoReply;
        reply.detail = "an answer without a gate status came";
        return true;
    }
    if (status != remote::GateStatus::kReply) {
        reply.outcome = WireOutcome::kGateStatus;
        reply.gate_status = static_cast<uint32_t>(status);
        return true;
    }
    const std::string* piece = headers.Find(remote::kHeaderPiece);
    const std::string* size = headers.Find(remote::kHeaderSize);
    switch (pieces_.Add(piece ? *piece : std::string(), size ? *size : std::string(),
                        reinterpret_cast<const uint8_t*>(message.payload.data()),
                        message.payload.size())) {
    case remote::PieceAssembler::Result::kNeedMore:
        return false;
    case remote::PieceAssembler::Result::kComplete:
        reply.outcome = WireOutcome::kReply;
        reply.message = pieces_.Reply();
        return true;
    case remote::PieceAssembler::Result::kBad:
        break;
    }
    reply.outcome = WireOutcome::kNoReply;
    reply.detail = "the reply's pieces disagree";
    return true;
}

WireReply RemoteReplyCollector::TimedOut() const {
    WireReply reply;
    reply.outcome = WireOutcome::kNoReply;
    if (pieces_.Received() > 0)
        reply.detail = std::to_string(pieces_.Received()) + " of " +
                       std::to_string(pieces_.Expected()) + " pieces arrived";
    return reply;
}

bool IsViolationOf(const std::string& error, const std::string& subject, const std::string& inbox) {
    if (error.find("Permissions Violation") == std::string::npos) return false;
    return error.find('"' + subject + '"') != std::string::npos ||
           error.find('"' + inbox + '"') != std::string::npos;
}

} // namespace pm::console
