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

// Shared with the thread, so that a node deleted from its own callback can let the thread
// finish on its own after the callback returns.
struct NodeDispatcher::State {
    Callback callback;
    Release release;
    TickSchedule ticks;
    std::mutex mu;
    std::condition_variable cv;
    std::deque<void*> queue;
    bool stopping = false;
    std::thread thread;
    std::thread::id thread_id;

    State(Callback c, Release r, uint32_t period)
        : callback(std::move(c)), release(std::move(r)), ticks(period) {}

    void Run() {
        std::unique_lock<std::mutex> lock(mu);
        ticks.Start(MonotonicMs());
        while (!stopping) {
            if (!queue.empty()) {
                void* m = queue.front();
                queue.pop_front();
                uint32_t since = ticks.SinceLast(MonotonicMs());
                lock.unlock();
                callback(m, since);
                lock.lock();
                continue;
            }
            uint64_t now = MonotonicMs();
            if (ticks.Due(now)) {
                uint32_t elapsed = ticks.Take(now);
                lock.unlock();
                callback(nullptr, elapsed);
                lock.lock();
                continue;
            }
            cv.wait_for(lock, std::chrono::milliseconds(ticks.WaitMs(now)));
        }
        for (void* m : queue)
            release(m);
        queue.clear();
    }
};

NodeDispatcher::NodeDispatcher(Callback callback, Release release, uint32_t period_ms)
    : state_(std::make_shared<State>(std::move(callback), std::move(release), period_ms)) {
    std::shared_ptr<State> s = state_;
    std::lock_guard<std::mutex> lock(s->mu);
    s->thread = std::thread([s] { s->Run(); });
    s->thread_id = s->thread.get_id();
}

NodeDispatcher::~NodeDispatcher() {
    Stop();
}

bool NodeDispatcher::Post(void* message) {
    std::shared_ptr<State> s = state_;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        if (s->stopping) return false;
        s->queue.push_back(message);
    }
    s->cv.notify_one();
    return true;
}

bool NodeDispatcher::OnOwnThread() const {
    return std::this_thread::get_id() == state_->thread_id;
}

void NodeDispatcher::Stop() {
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->stopping = true;
    }
    state_->cv.notify_one();
    if (!state_->thread.joinable()) return;
    if (OnOwnThread()) {
        state_->thread.detach(); // the thread ends when the callback returns
    } else {
        state_->thread.join();
    }
}

} // namespace kavipc
