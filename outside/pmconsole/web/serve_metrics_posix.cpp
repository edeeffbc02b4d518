// `pmconsole serve`'s metrics: the sources read, and the text.
#include "outside/pmconsole/web/serve_metrics_posix.h"

#include <algorithm>
#include <chrono>

#include "outside/pmconsole/fleet/fleet_queue.h"
#include "outside/pmconsole/web/serve_session_posix.h"
#include "shared/remote/compliance.h"
#include "shared/remote/policy_bucket.h"
#include "shared/remote/queue.h"

namespace pm::console {
namespace {

// The queue and the forwarder's lag every 10 s, the compliance records every 60 s.
constexpr auto kRound = std::chrono::seconds(10);
constexpr unsigned kComplianceRounds = 6;
constexpr size_t kParallelReads = 8;
constexpr uint32_t kAskMs = 3000;

uint64_t WallMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

} // namespace

void ServeMetrics::Start() {
    reader_ = std::thread([this] {
        for (unsigned round = 0;; ++round) {
            ReadQueueAndLag();
            if (round % kComplianceRounds == 0) ReadCompliance();
            std::unique_lock<std::mutex> lock(wait_lock_);
            if (wake_.wait_for(lock, kRound, [this] { return stopping_; })) return;
        }
    });
}

// What waits in the queue, and the forwarder's consumer: one request each.
void ServeMetrics::ReadQueueAndLag() {
    std::string answer, description;
    uint64_t err = 0, lag = 0;
    std::map<std::string, uint64_t> queued;
    const bool queue = AskApi(bus_, std::string("$JS.API.STREAM.INFO.") + remote::kQueueStream,
                              QueueDepthsRequest(), answer, kAskMs) &&
                       !remote::ApiError(answer, description, err) &&
                       ReadQueueDepths(answer, queued);
    answer.clear();
    const bool forwarder = AskApi(bus_,
                                  std::string("$JS.API.CONSUMER.INFO.") + remote::kAlertStream +
                                      "." + kAlertmanagerConsumer,
                                  "", answer, kAskMs) &&
                           !remote::ApiError(answer, description, err) &&
                           ReadConsumerLag(answer, lag);
    std::lock_guard<std::mutex> lock(lock_);
    queue_read_ = queue;
    if (queue) queued_ = std::move(queued);
    forwarder_read_ = forwarder;
    lag_ = lag;
}

void ServeMetrics::Stop() {
    {
        std::lock_guard<std::mutex> lock(wait_lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (reader_.joinable()) reader_.join();
}

void ServeMetrics::CountAlert(const std::string& subject, const std::string& payload) {
    remote::AlertRecord a;
    if (!remote::ParseAlertOn(subject, payload, a)) return;
    std::lock_guard<std::mutex> lock(lock_);
    alerts_.Add(a);
}

// Every machine's latest compliance record, a few requests at once (the bus takes requests
// from many threads); a record counts only under its own machine's key.
void ServeMetrics::ReadCompliance() {
    const std::string stream = remote::kComplianceStream;
    std::string answer, description;
    uint64_t err = 0;
    std::vector<std::string> keys;
    if (!AskApi(bus_, "$JS.API.STREAM.INFO." + stream,
                remote::BucketKeysRequest(remote::kComplianceBucket), answer) ||
        remote::ApiError(answer, description, err) ||
        !remote::ReadBucketKeys(answer, remote::kComplianceBucket, keys)) {
        std::lock_guard<std::mutex> lock(lock_);
        compliance_read_ = false;
        return;
    }
    std::mutex hold;
    std::vector<PolicyStanding> standings;
    std::map<std::string, uint64_t> written;
    std::atomic<size_t> next{0};
    std::atomic<bool> lost{false};
    const auto reader = [&] {
        for (size_t i; !lost && (i = next++) < keys.size();) {
            const std::string& machine = keys[i];
            std::string got, subject, data;
            if (!AskApi(bus_, "$JS.API.STREAM.MSG.GET." + stream,
                        remote::LastBySubjectRequest(remote::ComplianceSubject(machine)), got)) {
                lost = true;
                return;
            }
            remote::Compliance c;
            if (!remote::StoredMessage(got, subject, data) || !remote::ParseCompliance(data, c) ||
                c.machine != machine)
                continue;
            std::vector<PolicyStanding> s = Standings(c);
            std::lock_guard<std::mutex> lock(hold);
            standings.insert(standings.end(), s.begin(), s.end());
            written[machine] = c.time_ms;
        }
    };
    std::vector<std::thread> readers;
    for (size_t k = 0; k < kParallelReads && k < keys.size(); ++k)
        readers.emplace_back(reader);
    for (std::thread& t : readers)
        t.join();
    std::sort(standings.begin(), standings.end(),
              [](const PolicyStanding& a, const PolicyStanding& b) {
                  return a.machine != b.machine ? MachineOrder(a.machine, b.machine)
                                                : a.policy < b.policy;
              });
    std::lock_guard<std::mutex> lock(lock_);
    compliance_read_ = !lost;
    if (lost) return;
    compliance_ = std::move(standings);
    written_ms_ = std::move(written);
}

std::string ServeMetrics::Text(std::vector<FleetMachine> machines, std::vector<std::string> named) {
    FleetMetrics m;
    m.machines = std::move(machines);
    m.never_heard = std::move(named);
    m.read.alerts = alerts_read_;
    const uint64_t now = WallMs();
    std::lock_guard<std::mutex> lock(lock_);
    m.read.queue = queue_read_;
    m.queued = queued_;
    m.read.forwarder = forwarder_read_;
    m.forwarder_lag = lag_;
    m.alerts = &alerts_;
    m.read.compliance = compliance_read_;
    m.compliance = compliance_;
    for (const auto& [machine, at] : written_ms_)
        m.compliance_age_ms[machine] = now > at ? now - at : 0;
    return MetricsText(m);
}

// The machines as heard now, and those named to serve that were never heard of.
std::string ServeSession::MetricsText() {
    std::vector<FleetMachine> heard;
    {
        std::lock_guard<std::mutex> lock(fleet_lock_);
        heard = view_.Machines(bus_->NowMs());
    }
    return metrics_->Text(std::move(heard), options_.machines);
}

} // namespace pm::console
