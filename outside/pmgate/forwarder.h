// The gate's forwarding to the local node on a thread of its own: asking whether the node runs
// and writing to its pipe can wait on a slow node, and the link's thread must keep reading the
// server (and answering "busy" at once) meanwhile. The jobs are bounded by the requests in
// flight. Portable: standard threads only.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace pm::gate {

class Forwarder {
public:
    Forwarder();
    Forwarder(const Forwarder&) = delete;
    Forwarder& operator=(const Forwarder&) = delete;
    ~Forwarder(); // runs what is queued, then joins

    // Runs `job` on the forwarding thread, in the order posted. A job must not throw.
    void Post(std::function<void()> job);

private:
    void Loop();

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace pm::gate
