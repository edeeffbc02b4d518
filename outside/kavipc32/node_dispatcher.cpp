// Per-node dispatcher thread. Portable: standard threads only.
#include "outside/kavipc32/node_dispatcher.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "outside/kavipc32/tick_schedule.h"

namespace kavipc {

uint64_t MonotonicMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {
thread_local bool t_inside_callback = false;

struct InCallback {
    InCallback() { t_inside_callback = true; }
    ~InCallback() { t_inside_callback = false; }
};
} // namespace

bool InsideCallback() {
    return t_inside_callback;
}

// Shared with the thread, so that a node deleted from its own callback can let the thread
// finish on its own after the callback returns.
struct NodeDispatcher::State {
    Callback callback;
    Release release;
    TickSchedule ticks;
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::pair<void*, size_t>> queue;
    size_t queued_bytes = 0;
    size_t max_messages;
    size_t max_bytes;
    bool stopping = false;
    // A callback is running (on the dispatcher's thread or on a thread delivering in place).
    bool busy = false;
    // Threads waiting for `busy` to clear. Only they are woken when a callback ends: waking the
    // dispatcher from its timed wait after every delivery in place would cost a thread switch
    // per message.
    int busy_waiters = 0;
    std::thread::id busy_thread;
    std::thread thread;
    std::thread::id thread_id;

    // Runs one callback with `busy` set; called and returning with the lock held.
    void Call(std::unique_lock<std::mutex>& lock, void* m, uint32_t elapsed) {
        busy = true;
        busy_thread = std::this_thread::get_id();
        lock.unlock();
        {
            InCallback inside;
            callback(m, elapsed);
        }
        lock.lock();
        busy = false;
        if (busy_waiters > 0) cv.notify_all();
    }

    void WaitWhileBusy(std::unique_lock<std::mutex>& lock) {
        ++busy_waiters;
        cv.wait(lock);
        --busy_waiters;
    }

    State(Callback c, Release r, uint32_t period, size_t max_m, size_t max_b)
        : callback(std::move(c)), release(std::move(r)), ticks(period), max_messages(max_m),
          max_bytes(max_b) {}

    void Run() {
        std::unique_lock<std::mutex> lock(mu);
        ticks.Start(MonotonicMs());
        while (!stopping) {
            if (busy) { // a delivery in place is running: never two callbacks at once
                WaitWhileBusy(lock);
                continue;
            }
            if (!queue.empty()) {
                void* m = queue.front().first;
                queued_bytes -= queue.front().second;
                queue.pop_front();
                Call(lock, m, ticks.SinceLast(MonotonicMs()));
                continue;
            }
            uint64_t now = MonotonicMs();
            if (ticks.Due(now)) {
                Call(lock, nullptr, ticks.Take(now));
                continue;
            }
            cv.wait_for(lock, std::chrono::milliseconds(ticks.WaitMs(now)));
        }
        for (auto& m : queue)
            release(m.first);
        queue.clear();
        queued_bytes = 0;
    }
};

NodeDispatcher::NodeDispatcher(Callback callback, Release release, uint32_t period_ms,
                               size_t max_messages, size_t max_bytes)
    : state_(std::make_shared<State>(std::move(callback), std::move(release), period_ms,
                                     max_messages, max_bytes)) {
    std::shared_ptr<State> s = state_;
    std::lock_guard<std::mutex> lock(s->mu);
    s->thread = std::thread([s] { s->Run(); });
    s->thread_id = s->thread.get_id();
}

NodeDispatcher::~NodeDispatcher() {
    Stop();
}

bool NodeDispatcher::Post(void* message, size_t bytes) {
    std::shared_ptr<State> s = state_;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        if (s->stopping || s->queue.size() >= s->max_messages ||
            bytes > s->max_bytes - s->queued_bytes) {
            return false;
        }
        try {
            s->queue.emplace_back(message, bytes);
        } catch (...) {
            return false; // out of memory: this message is refused, the node goes on
        }
        s->queued_bytes += bytes;
    }
    s->cv.notify_one();
    return true;
}

bool NodeDispatcher::TryDeliverHere(void* message) {
    std::shared_ptr<State> s = state_; // outlives this object if the callback deletes the node
    std::unique_lock<std::mutex> lock(s->mu);
    if (s->stopping || s->busy || !s->queue.empty()) return false;
    s->Call(lock, message, s->ticks.SinceLast(MonotonicMs()));
    return true;
}

bool NodeDispatcher::OnOwnThread() const {
    return std::this_thread::get_id() == state_->thread_id;
}

void NodeDispatcher::Stop() {
    {
        std::unique_lock<std::mutex> lock(state_->mu);
        state_->stopping = true;
        state_->cv.notify_all();
        // A callback delivered in place on another thread is waited for, unless it is the
        // caller's own.
        while (state_->busy && state_->busy_thread != std::this_thread::get_id() &&
               state_->busy_thread != state_->thread_id)
            state_->WaitWhileBusy(lock);
    }
    if (!state_->thread.joinable()) return;
    if (OnOwnThread()) {
        state_->thread.detach(); // the thread ends when the callback returns
    } else {
        state_->thread.join();
    }
}

} // namespace kavipc
