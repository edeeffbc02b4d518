// What the gate answers in the header of every reply ("Pm-Status: N"), and what a console
// tells its user for each. Portable: no OS code here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shared/node/message_layout.h"
#include "shared/remote/subjects.h"

namespace pm::remote {

constexpr const char* kHeaderStatus = "Pm-Status";
constexpr const char* kHeaderPiece = "Pm-Piece";
constexpr const char* kHeaderSize = "Pm-Size";

enum class GateStatus : int {
    kReply = 0,             // the node's reply follows in the payload
    kNotForwarded = 1,      // node or code not in the allow-list, or a request that stops a node
    kOperationMismatch = 2, // the payload is another operation than the subject names
    kNodeNotRunning = 3,    // the local node is not registered
    kBusy = 4,              // too many requests in flight
    kNoReply = 5,           // the local node did not answer in time
    kMalformed = 6,         // the payload is no request message
};
constexpr int kMaxGateStatus = 6;

// One line for people, e.g. "not forwarded by the gate (not in its allow-list)".
const char* GateStatusText(GateStatus status);

// Reads "N" (decimal, 0..kMaxGateStatus); false otherwise.
bool ParseGateStatus(const std::string& text, GateStatus& out);

// Where a request stands against the gate's rules.
struct RequestCheck {
    GateStatus status = GateStatus::kMalformed;
    msg::MessageView view; // valid when status is kReply
    std::string operation;
};

struct GateRules {
    std::vector<std::string> nodes; // exposed nodes
    std::vector<uint32_t> allow;    // allowed codes
};

// True when the rules let a request of `code` through to `node`.
bool Forwards(const GateRules& rules, const std::string& node, uint32_t code);

// The gate's decision for one request before it reaches the node: kReply (forward it),
// kMalformed (no request message, or one the gate could not forward: it is wholly the payload),
// kNotForwarded (node not exposed, code not allowed, not a plain request),
// kOperationMismatch (code, addressee or operation differ from the subject).
RequestCheck CheckRequest(const Subject& subject, const uint8_t* payload, size_t size,
                          const GateRules& rules);

} // namespace pm::remote
