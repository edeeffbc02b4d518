// Gate statuses and the gate's rules for a request. Portable: no OS code here.
#include "shared/remote/statuses.h"

#include <algorithm>
#include <cstring>

#include "shared/remote/operations.h"
#include "shared/remote/subjects.h"

namespace pm::remote {

const char* GateStatusText(GateStatus status) {
    switch (status) {
    case GateStatus::kReply:
        return "reply";
    case GateStatus::kNotForwarded:
        return "not forwarded: the gate does not allow this request";
    case GateStatus::kOperationMismatch:
        return "refused by the gate: the request is another operation than its subject names";
    case GateStatus::kNodeNotRunning:
        return "agent not running";
    case GateStatus::kBusy:
        return "the gate is busy (too many requests in flight)";
    case GateStatus::kNoReply:
        return "no reply in time from the agent";
    case GateStatus::kMalformed:
        return "refused by the gate: malformed request";
    }
    return "unknown gate status";
}

bool ParseGateStatus(const std::string& text, GateStatus& out) {
    if (text.size() != 1 || text[0] < '0' || text[0] > '0' + kMaxGateStatus) return false;
    out = static_cast<GateStatus>(text[0] - '0');
    return true;
}

bool Forwards(const GateRules& rules, const std::string& node, uint32_t code) {
    return std::find(rules.nodes.begin(), rules.nodes.end(), node) != rules.nodes.end() &&
           std::find(rules.allow.begin(), rules.allow.end(), code) != rules.allow.end();
}

RequestCheck CheckRequest(const Subject& subject, const uint8_t* payload, size_t size,
                          const GateRules& rules) {
    RequestCheck r;
    msg::MessageView v;
    if (payload == nullptr ||
        msg::CheckHeader(payload, size, msg::AddresseeRule::kAnyString, &v) !=
            msg::HeaderCheck::kOk ||
        v.msg_len != size)
        return r; // kMalformed
    if (!Forwards(rules, subject.node, subject.code)) {
        r.status = GateStatus::kNotForwarded;
        return r;
    }
    // Only a plain request goes on: the other types ask the node for acknowledgements or
    // carry replies, none of which a console has reason to send.
    if (v.type != msg::kTypeRequest) {
        r.status = GateStatus::kNotForwarded;
        return r;
    }
    if (v.value != subject.code || std::strcmp(v.addressee, subject.node.c_str()) != 0) {
        r.status = GateStatus::kOperationMismatch;
        return r;
    }
    std::string operation;
    if (!OperationOfPayload(subject.node, payload, size, operation)) {
        r.status = GateStatus::kMalformed;
        return r;
    }
    if (operation != subject.operation) {
        r.status = GateStatus::kOperationMismatch;
        return r;
    }
    r.status = GateStatus::kReply;
    r.view = v;
    r.operation = operation;
    return r;
}

} // namespace pm::remote
