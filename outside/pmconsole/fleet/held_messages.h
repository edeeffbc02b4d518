// Messages of one or more subscriptions, held for a reader on another thread: the library's
// thread puts, the reader takes the oldest, waiting at most a given time. Bounded: past the
// bounds new messages are dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "shared/nats/protocol_parser.h"

namespace pm::console {

class HeldMessages {
public:
    // Every machine of the largest fleet twice, and at most 128 MiB.
    static constexpr size_t kMessages = 200000;
    static constexpr size_t kBytes = 128u << 20;

    void Put(nats::Message& m) {
        std::lock_guard<std::mutex> hold(lock_);
        if (messages_.size() >= kMessages || bytes_ + m.payload.size() > kBytes) return;
        bytes_ += m.payload.size();
        messages_.push_back(std::move(m));
        ready_.notify_one();
    }
    bool Take(nats::Message& m, uint32_t wait_ms) {
        std::unique_lock<std::mutex> hold(lock_);
        if (!ready_.wait_for(hold, std::chrono::milliseconds(wait_ms),
                             [this] { return !messages_.empty(); }))
            return false;
        m = std::move(messages_.front());
        messages_.pop_front();
        bytes_ -= m.payload.size();
        return true;
    }

private:
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<nats::Message> messages_;
    size_t bytes_ = 0;
};

} // namespace pm::console
