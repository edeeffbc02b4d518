// The gate's clockwork. Portable.
#include "outside/pmgate/gate_timers.h"

#include <chrono>

namespace pm::gate {
namespace {

constexpr auto kTick = std::chrono::milliseconds(250);
constexpr unsigned kPollEvery = 8; // ticks: the host is asked every 2 s

} // namespace

GateTimers::GateTimers(GateCore& core, AlertPump& pump, uint32_t heartbeat_s)
    : core_(core), pump_(pump), heartbeat_s_(heartbeat_s == 0 ? 1 : heartbeat_s) {}

GateTimers::~GateTimers() {
    Stop();
}

void GateTimers::Start() {
    thread_ = std::thread([this] { Loop(); });
}

void GateTimers::Stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void GateTimers::Loop() {
    const auto period = std::chrono::seconds(heartbeat_s_);
    auto next_beat = std::chrono::steady_clock::now() + period;
    std::unique_lock<std::mutex> hold(lock_);
    for (unsigned tick = 0; !wake_.wait_for(hold, kTick, [this] { return stop_; }); ++tick) {
        hold.unlock();
        if (tick % kPollEvery == 0) pump_.Poll();
        pump_.Publish();
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_beat) {
            core_.Beat();
            next_beat += period; // on the period's own beat, not drifting by the tick
            if (next_beat <= now) next_beat = now + period;
        }
        hold.lock();
    }
}

} // namespace pm::gate
