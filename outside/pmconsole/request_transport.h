// Where the console's requests travel: the messaging library's local pipe, or a NATS cluster
// to a machine's gate. Every transport carries the same bytes: the request message packed as
// on the local pipe, and the reply message as the node packed it. Portable: no OS code and no
// NATS here.
#pragma once

#include <cstdint>
#include <string>

#include "outside/pmconsole/console_request.h"

namespace pm::console {

struct WireRequest {
    std::string node;      // the addressee: "ProcMgr", "KAVMonitorClientNC"
    uint32_t code = 0;     // the request's command code
    std::string operation; // the operation a shared code carries ("list"), else empty
    std::string message;   // the request message, packed as on the local pipe
    uint32_t seq_no = 0;   // the message's sequence number; the reply carries it back
    uint32_t timeout_ms = kDefaultTimeoutMs;
};

enum class WireOutcome {
    kReply,          // `message` holds the reply message (every piece, in order)
    kNoReply,        // nothing (or not every piece) in time
    kNotPermitted,   // the server refused the request's subject to this user
    kNoSuchMachine,  // nobody answers for the machine (the server's no-responders answer)
    kGateStatus,     // the gate answered a status of its own (`gate_status`, nonzero)
    kAbsentNode,     // local pipe: the addressee is not registered
    kNotSent,        // the request was not sent (refused, or no connection)
    kConnectionLost, // the connection dropped while the request was in flight
};

struct WireReply {
    WireOutcome outcome = WireOutcome::kNoReply;
    uint32_t gate_status = 0;
    std::string message;
    std::string detail; // one line for the person, when the transport knows more
};

class RequestTransport {
public:
    virtual ~RequestTransport() = default;
    // Sends one request and waits for its reply or an outcome; never throws. A request is
    // sent at most once: nothing is repeated after a lost connection (kill, exec and the
    // monitor changes must not run twice).
    virtual WireReply Exchange(const WireRequest& request) = 0;
};

// Packs the request (sender `sender`, the next sequence number), names its operation, sends
// it through the transport and decodes the reply message into a Reply. A reply message that
// does not hold together, or answers another request, counts as no reply.
Reply SendThrough(RequestTransport& transport, const Request& request, const std::string& sender);

} // namespace pm::console
