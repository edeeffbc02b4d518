// What the console makes of the messages on a request's reply subject and of the server's
// errors, whichever client received them: the project's own (the Windows console) or libnats
// (Linux), each through a view of its message. Portable: no OS code and no socket here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "outside/pmconsole/request_transport.h"
#include "shared/nats/protocol_parser.h"
#include "shared/remote/pieces.h"

namespace pm::console {

// One message on a reply subject as a client hands it over.
struct ReplyView {
    bool no_responders = false; // the server's status 503: nobody subscribes to the subject
    // A header's first value; false when the message has no such header.
    std::function<bool(const char* key, std::string& value)> header;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

class RemoteReplyCollector {
public:
    // One message on the reply subject; true when it settles the request (`reply` filled).
    // No responders means no such machine; a gate status other than 0 ends the request with
    // it; pieces are collected in any order until all have come.
    bool Take(const ReplyView& message, WireReply& reply);
    // The same for a message of the project's own client (its header block still in bytes).
    bool Take(const nats::Message& message, WireReply& reply);
    // What a time-out leaves: no reply, saying how many pieces came.
    WireReply TimedOut() const;
    size_t Received() const { return pieces_.Received(); }

private:
    remote::PieceAssembler pieces_;
};

} // namespace pm::console
