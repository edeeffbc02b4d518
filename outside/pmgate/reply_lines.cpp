// Reply lines. Portable: no OS code here.
#include "outside/pmgate/reply_lines.h"

#include "shared/nats/client_state.h"
#include "shared/nats/headers.h"
#include "shared/remote/pieces.h"

namespace pm::gate {

std::string AlertLines(const remote::AlertRecord& alert, const std::string& reply_subject,
                       const std::string& id_key) {
    const std::string id = id_key.empty() ? alert.MessageId() : alert.MessageId() + "." + id_key;
    return nats::ClientState::HPubLines(remote::AlertSubject(alert.machine), reply_subject,
                                        nats::BuildHeaderBlock({{remote::kMsgIdHeader, id}}),
                                        remote::AlertJson(alert));
}

std::string StatusLines(const std::string& reply_subject, remote::GateStatus status) {
    return nats::ClientState::HPubLines(
        reply_subject, "", nats::BuildHeaderBlock(remote::StatusHeaders(status)), std::string());
}

std::string ReplyLines(const std::string& reply_subject, const std::string& reply,
                       size_t piece_size) {
    const uint32_t count = remote::PieceCount(reply.size(), piece_size);
    std::string out;
    for (uint32_t i = 0; i < count; ++i) {
        const std::string headers =
            nats::BuildHeaderBlock(remote::PieceHeaders(i + 1, count, reply.size()));
        out += nats::ClientState::HPubLines(reply_subject, "", headers,
                                            reply.substr(i * piece_size, piece_size));
    }
    return out;
}

} // namespace pm::gate
