// The bookkeeping of running executions: how many there are (capped), and which of them are
// between two touches of what the agent shares (the node, the trace log, the statics). At
// shutdown the agent closes the tracker: no execution starts any more, the running ones get a
// bounded time to send their replies, and those still waiting for their process after that
// end without touching anything shared. Portable: the standard mutex and condition variable.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace pm::exec {

// The most executions running at once; a request beyond answers busy at once.
constexpr size_t kMaxExecutions = 32;
// How long the agent waits at shutdown for running executions to send their replies.
constexpr uint32_t kShutdownWaitMs = 5000;

class ExecutionTracker {
public:
    explicit ExecutionTracker(size_t cap = kMaxExecutions) : cap_(cap) {}
    ExecutionTracker(const ExecutionTracker&) = delete;
    ExecutionTracker& operator=(const ExecutionTracker&) = delete;

    // A new execution, active from here: false when the cap is reached or the agent is
    // stopping (nothing counted then).
    [[nodiscard]] bool TryStart();
    // The execution ends; it touches nothing shared after this.
    void Finish();
    // Around a wait that can last (the execution mutex, the child's output, the child): the
    // execution touches nothing shared in between. EndWait answers false once Close's wait is
    // over: the execution then ends at once, without a reply and without a trace line.
    void BeginWait();
    [[nodiscard]] bool EndWait();

    // Shutdown: refuses new executions, waits up to wait_ms for the running ones to finish
    // (they still reply meanwhile), and then for every one that is not inside a wait (those
    // are never long). Answers how many are still running, all of them inside a wait.
    size_t Close(uint32_t wait_ms);

    [[nodiscard]] size_t Running() const;

private:
    const size_t cap_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    size_t running_ = 0;
    size_t active_ = 0;     // running and not inside a wait
    bool stopping_ = false; // no new execution
    bool gone_ = false;     // the node and the log are going: no execution may touch them
};

// The process's tracker: never destroyed, so that an execution that outlives the agent's
// shutdown can still tell that it must end.
ExecutionTracker& ProcessExecutions();

} // namespace pm::exec
