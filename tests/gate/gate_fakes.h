// What the gate's core runs against in tests: a bus that keeps what is published, a clock set
// by hand, and a local node that answers as the test scripts it (or holds the request).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "outside/pmgate/gate_bus.h"
#include "outside/pmgate/gate_clock.h"
#include "outside/pmgate/local_node.h"

namespace pm::gate::test {

class RecordingBus final : public GateBus {
public:
    [[nodiscard]] bool Connected() const override { return connected; }
    void Publish(const BusMessage& m) override {
        std::lock_guard<std::mutex> hold(lock_);
        sent_.push_back(m);
    }
    [[nodiscard]] size_t PieceSize() const override { return piece_size; }
    // What was published since the last call.
    std::vector<BusMessage> Take() {
        std::lock_guard<std::mutex> hold(lock_);
        return std::move(sent_);
    }

    bool connected = true;
    size_t piece_size = 1 << 20;

private:
    std::mutex lock_;
    std::vector<BusMessage> sent_;
};

class ManualClock final : public GateClock {
public:
    [[nodiscard]] uint64_t MonotonicMs() const override { return now_ms; }
    [[nodiscard]] uint64_t UtcMs() const override { return 1700000000000 + now_ms; }
    uint64_t now_ms = 5000;
};

class ScriptedNode final : public LocalNode {
public:
    [[nodiscard]] bool Running(const std::string& node) const override {
        return running.count(node) != 0;
    }
    [[nodiscard]] std::string Version(const std::string& node) const override {
        return Running(node) ? node + "-version" : std::string();
    }
    // Answered by `answer` at once; held (completed later by the test) when there is none.
    void Send(std::unique_ptr<NodeRequest> request) override {
        ++sent;
        if (!answer) {
            held.push_back(std::move(request));
            return;
        }
        answer(*request);
        request->OnComplete();
    }

    std::set<std::string> running;
    std::function<void(NodeRequest&)> answer;
    std::vector<std::unique_ptr<NodeRequest>> held;
    int sent = 0;
};

// The value of a header, "" when absent.
inline std::string HeaderOf(const BusMessage& m, const std::string& key) {
    for (const auto& [k, v] : m.headers)
        if (k == key) return v;
    return std::string();
}

} // namespace pm::gate::test
