// The seam between the library's routing and the machine-wide transport (named pipes on
// Windows, a fake in the tests). Portable: no OS code here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "outside/kavipc32/frame.h"

namespace kavipc {

// What the transport hands in from other processes.
class TransportSink {
public:
    virtual ~TransportSink() = default;
    // A complete, checked message frame (a message block the sink takes over).
    virtual void OnIncomingMessage(void* message) = 0;
    // A peer asks the process that owns `node` to quit. This only decides the answer: the
    // transport sends it, then calls CommitQuit when it was kPosted. A process that leaves its
    // loop at once must not end before the peer has its answer.
    virtual QuitAnswer OnIncomingQuit(const std::string& node) = 0;
    virtual void CommitQuit() = 0;
};

class Transport {
public:
    virtual ~Transport() = default;
    // Starts receiving for `node`; false when that name is already registered on the machine
    // or cannot be listened on.
    virtual bool Listen(const std::string& node) = 0;
    // Stops receiving for `node` and waits for its receivers to finish handing frames in.
    virtual void Unlisten(const std::string& node) = 0;
    // True when some process on the machine has registered `node`.
    virtual bool Exists(const std::string& node) = 0;
    // Sends the first `size` bytes of `message` (a library block: the transport may use its
    // headroom, never its bytes) as one frame to the process of `node`; false when it is not
    // there or the connection broke (the message is then still the caller's).
    virtual bool Transmit(const std::string& node, void* message, size_t size) = 0;
    // Asks the process of `node` to quit and waits for its answer.
    virtual QuitAnswer TransmitQuit(const std::string& node) = 0;
    // Stops every receiver and drops the cached connections.
    virtual void Shutdown() = 0;
    // Called now and then (each node's timer tick): closes idle connections and those of
    // nodes that have gone.
    virtual void Maintain() {}
};

} // namespace kavipc
