// The fleet in Prometheus's text exposition format, from what a console already knows without
// asking any agent: the machines' presence, the alerts read from PROCMGR_ALERTS, what waits in
// PROCMGR_QUEUE, the compliance records of PROCMGR_COMPLIANCE and the Alertmanager forwarder's
// lag. Portable: the JetStream answers arrive as text, no NATS here.
//
// Cardinality: per machine one series each of up, state, last heard and info; one queued series
// per machine with something queued; one compliance pair per machine and policy that names
// it; alert counters per machine, monitor and code up to kMaxAlertSeries label sets (the rest
// counted without labels). 10,000 machines with alerts make 50,000 lines, 3.5 MB.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "outside/pmconsole/fleet/fleet_machines.h"
#include "shared/remote/alerts.h"
#include "shared/remote/compliance.h"

namespace pm::console {

constexpr size_t kMaxAlertSeries = 50000;
// The forwarder's durable consumer on PROCMGR_ALERTS, shared by every forwarder of a cluster.
constexpr const char* kAlertmanagerConsumer = "alertmanager";

// A label value as the exposition format writes it: backslash, double quote and line feed
// escaped, bytes that are no UTF-8 replaced (the monitor host's own writer).
std::string MetricLabel(const std::string& value);

// The stored alerts counted by machine, monitor and code; once kMaxAlertSeries label sets
// exist, the alerts of a new one are counted apart.
class AlertCounts {
public:
    using Key = std::tuple<std::string, std::string, uint32_t>; // machine, monitor, code
    explicit AlertCounts(size_t max_series = kMaxAlertSeries) : max_series_(max_series) {}
    void Add(const remote::AlertRecord& a);
    [[nodiscard]] const std::map<Key, uint64_t>& Series() const { return series_; }
    [[nodiscard]] uint64_t Beyond() const { return beyond_; }

private:
    size_t max_series_;
    std::map<Key, uint64_t> series_;
    uint64_t beyond_ = 0;
};

// How a machine stands against one policy, from its latest compliance record.
struct PolicyStanding {
    std::string machine, policy;
    uint64_t not_compliant = 0; // items drifted, failed or in conflict
};
std::vector<PolicyStanding> Standings(const remote::Compliance& record);

// Whether each source could be read the last time it was asked.
struct MetricSources {
    bool alerts = false, queue = false, compliance = false, forwarder = false;
};

struct FleetMetrics {
    std::vector<FleetMachine> machines;   // as heard
    std::vector<std::string> never_heard; // named to the console, never heard of: lost
    const AlertCounts* alerts = nullptr;
    std::map<std::string, uint64_t> queued; // machine -> requests waiting
    std::vector<PolicyStanding> compliance;
    std::map<std::string, uint64_t> compliance_age_ms; // machine -> age of its record
    uint64_t forwarder_lag = 0; // alerts stored, not yet accepted by Alertmanager
    MetricSources read;
};

std::string MetricsText(const FleetMetrics& m);

// $JS.API.STREAM.INFO.PROCMGR_QUEUE asking for the subjects held, and its answer read as the
// requests waiting per machine (the work queue keeps only what was not yet taken).
std::string QueueDepthsRequest();
bool ReadQueueDepths(const std::string& answer, std::map<std::string, uint64_t>& out);
// $JS.API.CONSUMER.INFO's answer: the messages not yet delivered plus those delivered and not
// yet acknowledged.
bool ReadConsumerLag(const std::string& answer, uint64_t& lag);

} // namespace pm::console
