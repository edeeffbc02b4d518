// The gate's side of the cluster as its core sees it: messages out (subject, reply subject,
// headers, payload), whether a server has the connection, and the largest piece it takes. The
// gate's own link writes each message as protocol lines; pmsim hands it to libnats. Portable.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace pm::gate {

struct BusMessage {
    std::string subject;
    std::string reply; // empty: none
    std::vector<std::pair<std::string, std::string>> headers;
    std::string payload;
};

class GateBus {
public:
    virtual ~GateBus() = default;
    // True while a server has taken the connection.
    [[nodiscard]] virtual bool Connected() const = 0;
    // Queues the message for the server; from any thread, never waiting on the network.
    virtual void Publish(const BusMessage& m) = 0;
    // The largest payload of one message for the current server.
    [[nodiscard]] virtual size_t PieceSize() const = 0;
};

// "PUB subject [reply] n" for a message without headers, "HPUB ..." with its header block.
std::string BusLines(const BusMessage& m);

} // namespace pm::gate
