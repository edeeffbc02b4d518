// One thread per service node that calls the node's callback: for each delivered message in
// arrival order and, between them, for each timer tick. A receiving thread may deliver a
// message itself while the node is idle (TryDeliverHere); a busy flag keeps a node's callback
// from ever running twice at the same time. Portable: standard threads only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "outside/kavipc32/limits.h"

namespace kavipc {

class NodeDispatcher {
public:
    // Called with a message (the callee takes it over) or with null for a timer tick. The
    // second argument is the real milliseconds since the previous tick (for a message: since
    // the last tick, without taking one).
    using Callback = std::function<void(void* message, uint32_t elapsed_ms)>;
    // Releases a message that was queued but never delivered.
    using Release = std::function<void(void* message)>;

    // Throws when the thread cannot be started (the caller refuses the node then).
    NodeDispatcher(Callback callback, Release release, uint32_t period_ms,
                   size_t max_messages = kMaxQueuedMessages, size_t max_bytes = kMaxQueuedBytes);
    ~NodeDispatcher(); // Stop()
    NodeDispatcher(const NodeDispatcher&) = delete;
    NodeDispatcher& operator=(const NodeDispatcher&) = delete;

    // Queues a message of `bytes` bytes; false (the caller keeps it) once the dispatcher has
    // stopped, when the queue is full (messages or bytes), or when memory runs out.
    bool Post(void* message, size_t bytes = 0);

    // Delivers a message on the calling thread when the node is idle (no callback running,
    // nothing queued), which saves a thread switch; false (nothing done, the caller keeps the
    // message) otherwise. Callbacks still never overlap.
    bool TryDeliverHere(void* message);

    // Stops delivery: queued messages are released, and unless called from the callback
    // itself, waits until a callback in progress has returned.
    void Stop();

    // True on the dispatcher's own thread (inside the callback).
    bool OnOwnThread() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// True on a dispatcher thread while it calls a node's callback: whatever that thread waits
// for holds up the node's service.
bool InsideCallback();

// Milliseconds of the monotonic clock the dispatchers use.
uint64_t MonotonicMs();

} // namespace kavipc
