// Messages on a reply subject and the server's errors. Portable: no OS code here.
#include "outside/pmconsole/remote_reply.h"

#include "shared/nats/headers.h"
#include "shared/remote/statuses.h"

namespace pm::console {

bool RemoteReplyCollector::Take(const ReplyView& message, WireReply& reply) {
    if (message.no_responders) {
        reply.outcome = WireOutcome::kNoSuchMachine;
        return true;
    }
    std::string status_text, piece, size;
    remote::GateStatus status;
    if (!message.header || !message.header(remote::kHeaderStatus, status_text) ||
        !remote::ParseGateStatus(status_text, status)) {
        reply.outcome = WireOutcome::kNoReply;
        reply.detail = "an answer without a gate status came";
        return true;
    }
    if (status != remote::GateStatus::kReply) {
        reply.outcome = WireOutcome::kGateStatus;
        reply.gate_status = static_cast<uint32_t>(status);
        return true;
    }
    message.header(remote::kHeaderPiece, piece);
    message.header(remote::kHeaderSize, size);
    switch (pieces_.Add(piece, size, message.data, message.size)) {
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

bool RemoteReplyCollector::Take(const nats::Message& message, WireReply& reply) {
    nats::HeaderBlock headers;
    const bool parsed =
        !message.headers.empty() && nats::ParseHeaderBlock(message.headers, headers);
    ReplyView view;
    view.no_responders = parsed && headers.code == 503;
    if (parsed)
        view.header = [&headers](const char* key, std::string& value) {
            const std::string* found = headers.Find(key);
            if (found) value = *found;
            return found != nullptr;
        };
    view.data = reinterpret_cast<const uint8_t*>(message.payload.data());
    view.size = message.payload.size();
    return Take(view, reply);
}

WireReply RemoteReplyCollector::TimedOut() const {
    WireReply reply;
    reply.outcome = WireOutcome::kNoReply;
    if (pieces_.Received() > 0)
        reply.detail = std::to_string(pieces_.Received()) + " of " +
                       std::to_string(pieces_.Expected()) + " pieces arrived";
    return reply;
}

} // namespace pm::console
