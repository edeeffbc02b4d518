// The node's OS pieces for the tests: re-entrant locks that count, events that record, and a
// scripted window-message queue.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "shared/node/node_platform.h"

namespace pm::test {

class FakeMutex final : public Mutex {
public:
    explicit FakeMutex(int& depth_sum) : depth_sum_(depth_sum) {}
    bool Lock() override {
        m_.lock();
        ++depth_sum_;
        return true;
    }
    void Unlock() override {
        --depth_sum_;
        m_.unlock();
    }

private:
    std::recursive_mutex m_;
    int& depth_sum_;
};

class FakeEvent : public Event {
public:
    void Set() override { ++sets; }
    void Reset() override { ++resets; }
    void Wait() override {}
    int sets = 0, resets = 0;
};

class FakePlatform final : public NodePlatform {
public:
    std::unique_ptr<Mutex> NewMutex() override { return std::make_unique<FakeMutex>(locks_held); }
    std::unique_ptr<Event> NewEvent() override { return std::make_unique<FakeEvent>(); }
    uint32_t CurrentThreadId() override { return thread_id; }
    bool PostToThread(uint32_t tid, uint32_t message) override {
        posted.push_back({tid, message});
        return true;
    }
    int NextMessage(WindowMessage& msg) override {
        ++get_calls;
        if (on_get) on_get();
        if (queue.empty()) return 0; // as a WM_QUIT would
        msg = queue.front();
        queue.pop_front();
        return msg.message == kWmQuit ? 0 : 1;
    }
    void TranslateAndDispatch(const WindowMessage& msg) override {
        dispatched.push_back(msg.message);
    }
    void PostQuitMessage(int code) override { quits.push_back(code); }
    void ExitProcess(unsigned code) override { exits.push_back(code); }

    void Queue(uint32_t message) {
        WindowMessage m;
        m.message = message;
        queue.push_back(m);
    }

    uint32_t thread_id = 77;
    int locks_held = 0; // sum over all mutexes: 0 whenever the node has let go of every lock
    int get_calls = 0;
    std::function<void()> on_get; // runs inside GetMessage, before a message is taken
    std::deque<WindowMessage> queue;
    std::vector<std::pair<uint32_t, uint32_t>> posted;
    std::vector<uint32_t> dispatched;
    std::vector<int> quits;
    std::vector<unsigned> exits;
};

} // namespace pm::test
