// Portable: the standard library's mutex and condition variable only.
#include "procman/w32/exec/execution_tracker.h"

#include <chrono>

namespace pm::exec {

bool ExecutionTracker::TryStart() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || running_ >= cap_) return false;
    ++running_;
    ++active_;
    return true;
}

void ExecutionTracker::Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ > 0) --running_;
    if (active_ > 0) --active_;
    changed_.notify_all();
}

void ExecutionTracker::BeginWait() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (active_ > 0) --active_;
    changed_.notify_all();
}

bool ExecutionTracker::EndWait() {
    std::lock_guard<std::mutex> lock(mutex_);
    // Counted active again either way: one that must end does so at once, touching only its
    // own handles, and a Close still waiting for the active ones sees it go.
    ++active_;
    return !gone_;
}

size_t ExecutionTracker::Close(uint32_t wait_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true; // the running ones may still reply
    changed_.wait_for(lock, std::chrono::milliseconds(wait_ms), [&] { return running_ == 0; });
    gone_ = true; // from here on none may
    changed_.wait(lock, [&] { return active_ == 0; });
    return running_;
}

size_t ExecutionTracker::Running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

ExecutionTracker& ProcessExecutions() {
    static ExecutionTracker* tracker = new ExecutionTracker();
    return *tracker;
}

} // namespace pm::exec
