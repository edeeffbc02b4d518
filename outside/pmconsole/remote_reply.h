// What the console makes of the messages on a request's reply subject and of the server's
// errors, for a transport that reads the NATS lines itself (the Windows console). Portable:
// no OS code and no socket here.
#pragma once

#include <string>

#include "outside/pmconsole/request_transport.h"
#include "shared/nats/protocol_parser.h"
#include "shared/remote/pieces.h"

namespace pm::console {

class RemoteReplyCollector {
public:
    // One message on the reply subject; true when it settles the request (`reply` filled).
    // A no-responders status (503) means no such machine; a gate status other than 0 ends the
    // request with it; pieces are collected in any order until all have come.
    bool Take(const nats::Message& message, WireReply& reply);
    // What a time-out leaves: no reply, saying how many pieces came.
    WireReply TimedOut() const;

private:
    remote::PieceAssembler pieces_;
};

// True when a server's -ERR is the permission violation of this request: its publish to
// `subject` or its subscription to `inbox` (the server quotes the subject).
bool IsViolationOf(const std::string& error, const std::string& subject, const std::string& inbox);

} // namespace pm::console
