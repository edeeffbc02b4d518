// The forwarding thread. Portable.
#include "outside/pmgate/forwarder.h"

namespace pm::gate {

Forwarder::Forwarder() : thread_([this] { Loop(); }) {}

Forwarder::~Forwarder() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void Forwarder::Post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void Forwarder::Loop() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        wake_.wait(hold, [this] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty()) return; // stopped, nothing left
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        hold.unlock();
        job();
        hold.lock();
    }
}

} // namespace pm::gate
