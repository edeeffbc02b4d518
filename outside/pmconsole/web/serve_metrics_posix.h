// `pmconsole serve`'s /metrics: what the fleet session knows, in Prometheus's exposition format
// (fleet_metrics.h). The alerts are counted as the session reads the stream; the compliance
// records every minute (one request per machine), the queue and the forwarder's consumer every
// 10 s (one request each), on a thread of its own: a scrape never waits for the servers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outside/pmconsole/fleet/fleet_bus.h"
#include "outside/pmconsole/fleet/fleet_metrics.h"

namespace pm::console {

class ServeMetrics {
public:
    explicit ServeMetrics(FleetBus& bus) : bus_(bus) {}
    ~ServeMetrics() { Stop(); }
    ServeMetrics(const ServeMetrics&) = delete;
    ServeMetrics& operator=(const ServeMetrics&) = delete;

    // Starts the reader of the queue, the forwarder's consumer and the compliance records.
    void Start();
    void Stop();
    // A stored alert the session read (each once).
    void CountAlert(const std::string& subject, const std::string& payload);
    // Whether the session's reading of the alert stream works.
    void AlertsRead(bool ok) { alerts_read_ = ok; }
    // The exposition text for these machines (and those named, never heard of).
    std::string Text(std::vector<FleetMachine> machines, std::vector<std::string> named);

private:
    void ReadCompliance();
    void ReadQueueAndLag();

    FleetBus& bus_;
    std::atomic<bool> alerts_read_{false};
    std::mutex lock_;
    AlertCounts alerts_; // under lock_
    bool compliance_read_ = false, queue_read_ = false, forwarder_read_ = false;
    std::map<std::string, uint64_t> queued_;     // under lock_
    uint64_t lag_ = 0;                           // under lock_
    std::vector<PolicyStanding> compliance_;     // under lock_
    std::map<std::string, uint64_t> written_ms_; // machine -> its record's time, under lock_
    std::mutex wait_lock_;
    std::condition_variable wake_;
    bool stopping_ = false; // under wait_lock_
    std::thread reader_;
};

} // namespace pm::console
