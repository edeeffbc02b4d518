// The gate's messages. Portable: no OS code here.
#include "outside/pmgate/gate_messages.h"

#include <cstdio>
#include <random>

#include "shared/remote/pieces.h"
#include "shared/remote/queue.h"
#include "shared/remote/subjects.h"

namespace pm::gate {

BusMessage AlertMessage(const remote::AlertRecord& alert, const std::string& message_id,
                        uint64_t expect, const std::string& reply_subject) {
    return {remote::AlertSubject(alert.machine),
            reply_subject,
            {{remote::kMsgIdHeader, message_id},
             {remote::kExpectedLastSubjectSeqHeader, std::to_string(expect)}},
            remote::AlertJson(alert)};
}

BusMessage StatusMessage(const std::string& reply_subject, remote::GateStatus status) {
    return {reply_subject, "", remote::StatusHeaders(status), std::string()};
}

std::vector<BusMessage> ReplyPieces(const std::string& reply_subject, const std::string& reply,
                                    size_t piece_size) {
    const uint32_t count = remote::PieceCount(reply.size(), piece_size);
    std::vector<BusMessage> out;
    out.reserve(count);
    for (uint32_t i = 0; i < count; ++i)
        out.push_back({reply_subject, "", remote::PieceHeaders(i + 1, count, reply.size()),
                       reply.substr(i * piece_size, piece_size)});
    return out;
}

std::string AnswerPrefix(const std::string& machine, char kind) {
    std::random_device random;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(random()));
    return std::string(remote::kSubjectRoot) + "." + machine + ".acks." + kind + hex + "-";
}

} // namespace pm::gate
