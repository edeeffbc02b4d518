// Reply lines and certificate names. Portable: no OS code here.
#include "outside/pmgate/reply_lines.h"

#include "shared/nats/client_state.h"
#include "shared/nats/headers.h"
#include "shared/remote/pieces.h"

namespace pm::gate {
namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool IsIpLiteral(const std::string& host) {
    if (host.find(':') != std::string::npos) return true;
    return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

} // namespace

std::string AlertLines(const remote::AlertRecord& alert, const std::string& reply_subject) {
    return nats::ClientState::HPubLines(
        remote::AlertSubject(alert.machine), reply_subject,
        nats::BuildHeaderBlock({{remote::kMsgIdHeader, alert.MessageId()}}),
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

bool HostMatchesCertificate(const std::string& host, const std::vector<std::string>& dns_names,
                            const std::vector<std::string>& ip_addresses) {
    if (IsIpLiteral(host)) {
        for (const std::string& ip : ip_addresses)
            if (ip == host) return true;
        return false;
    }
    const std::string h = Lower(host);
    for (const std::string& name : dns_names) {
        const std::string n = Lower(name);
        if (n == h) return true;
        if (n.size() > 2 && n.compare(0, 2, "*.") == 0) {
            const size_t dot = h.find('.');
            if (dot != std::string::npos && dot > 0 && h.substr(dot) == n.substr(1)) return true;
        }
    }
    return false;
}

} // namespace pm::gate
