// The gate's clockwork on one thread: a heartbeat every period while a server has the
// connection (none are kept while it is down: the hello on the next connection says the
// machine is back), the host's alerts asked for every 2 s and published as the stream takes
// them (a look every 250 ms). Portable: standard threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "outside/pmgate/alert_pump.h"
#include "outside/pmgate/gate_core.h"

namespace pm::gate {

class GateTimers {
public:
    GateTimers(GateCore& core, AlertPump& pump, uint32_t heartbeat_s);
    GateTimers(const GateTimers&) = delete;
    GateTimers& operator=(const GateTimers&) = delete;
    ~GateTimers(); // stops and joins

    void Start();
    void Stop();

private:
    void Loop();

    GateCore& core_;
    AlertPump& pump_;
    const uint32_t heartbeat_s_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace pm::gate
