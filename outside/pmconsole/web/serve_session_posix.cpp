// `pmconsole serve`'s fleet session: the shared connection, the machines' watchers and their
// events, and the fleet's alert stream.
#include "outside/pmconsole/web/serve_session_posix.h"

#include <unistd.h>

#include <algorithm>

#include "outside/pmconsole/fleet/fleet_alerts.h"
#include "outside/pmconsole/fleet/fleet_bus.h"
#include "outside/pmconsole/remote_transport.h"
#include "outside/pmconsole/web/serve_compliance.h"
#include "shared/remote/alerts.h"
#include "shared/text/json_string.h"

namespace pm::console {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kPollTimeoutMs = 10000;
constexpr size_t kKeptEvents = 256;
constexpr size_t kKeptAlerts = 200;        // a page opens with a machine's newest
constexpr size_t kFeedAlerts = 5000;       // kept for the whole fleet
constexpr uint64_t kFeedBackMs = 86400000; // the stream is read from a day before the start
constexpr int kFeedRetryTicks = 100;       // a failed reading starts again after 10 s
// The compliance records: read again every 10 s while a page asked for them in the last minute.
constexpr uint64_t kComplianceEveryMs = 10000;
constexpr uint64_t kComplianceWantedMs = 60000;

class CountingTransport final : public RequestTransport {
public:
    CountingTransport(std::unique_ptr<RequestTransport> inner, ServeCost& cost)
        : inner_(std::move(inner)), cost_(cost) {}
    WireReply Exchange(const WireRequest& request) override {
        ++cost_.requests;
        cost_.bytes_sent += request.message.size();
        WireReply reply = inner_->Exchange(request);
        cost_.bytes_received += reply.message.size();
        return reply;
    }

private:
    std::unique_ptr<RequestTransport> inner_;
    ServeCost& cost_;
};

uint64_t WallMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

} // namespace

std::string SseEvent(const std::string& name, const std::string& json) {
    return "event: " + name + "\ndata: " + json + "\n\n";
}

Reply ServedMachine::Send(const Request& request) {
    std::lock_guard<std::mutex> lock(send_lock_);
    if (!transport_) transport_ = session_.TransportTo(name_);
    return SendThrough(*transport_, request, "pmconsole-serve-" + std::to_string(getpid()));
}

void ServedMachine::Publish(const std::string& event) {
    // Under lock_.
    events_.push_back(event);
    if (events_.size() > kKeptEvents) {
        events_.pop_front();
        ++first_seq_;
    }
    wake_.notify_all();
}

void ServedMachine::State(const std::string& part, const std::string& word,
                          const std::string& message) {
    const std::string event =
        SseEvent("state", "{\"part\":" + JsonString(part) + ",\"word\":" + JsonString(word) +
                              ",\"message\":" + JsonString(message) + "}");
    std::lock_guard<std::mutex> lock(lock_);
    if (states_[part] == event) return;
    states_[part] = event;
    Publish(event);
}

void ServedMachine::Refresh() {
    std::lock_guard<std::mutex> lock(lock_);
    refresh_ = true;
    wake_.notify_all();
}

void ServedMachine::Post(const std::string& event) {
    std::lock_guard<std::mutex> lock(lock_);
    Publish(event);
}

void ServedMachine::Subscribe() {
    std::lock_guard<std::mutex> lock(lock_);
    ++watchers_;
    refresh_ = true; // a new page gets the list and the statistics as they are now
    if (!thread_.joinable() && !stopping_) thread_ = std::thread([this] { Loop(); });
    wake_.notify_all();
}

void ServedMachine::Unsubscribe() {
    std::lock_guard<std::mutex> lock(lock_);
    --watchers_;
}

void ServedMachine::Stop() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

std::vector<std::string> ServedMachine::Opening(uint64_t* next_seq) {
    std::lock_guard<std::mutex> lock(lock_);
    std::vector<std::string> out;
    if (!tables_.empty()) out.push_back(SseEvent("tables", tables_));
    if (!monitors_.empty()) out.push_back(SseEvent("monitors", monitors_));
    if (!stats_.empty()) out.push_back(SseEvent("stats", stats_));
    for (const auto& [part, event] : states_)
        out.push_back(event);
    for (std::string& event : session_.AlertOpening(name_))
        out.push_back(std::move(event));
    *next_seq = first_seq_ + events_.size();
    return out;
}

std::vector<std::string> ServedMachine::EventsFrom(uint64_t* next_seq,
                                                   std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(lock_);
    wake_.wait_for(lock, wait,
                   [&] { return stopping_ || first_seq_ + events_.size() > *next_seq; });
    std::vector<std::string> out;
    if (*next_seq < first_seq_) *next_seq = first_seq_; // a page too slow loses the oldest
    for (uint64_t s = *next_seq; s < first_seq_ + events_.size(); ++s)
        out.push_back(events_[s - first_seq_]);
    *next_seq = first_seq_ + events_.size();
    return out;
}

void ServedMachine::Loop() {
    TableWatch watch(session_.decode());
    const auto interval = std::chrono::milliseconds(session_.options().interval_ms);
    const auto stats_interval = std::chrono::milliseconds(session_.options().stats_interval_ms);
    auto next_stats = Clock::now();
    bool list_monitors = true;
    const SendFunction send = [this](const Request& r) { return Send(r); };
    for (;;) {
        const auto round = Clock::now();
        {
            std::unique_lock<std::mutex> lock(lock_);
            wake_.wait(lock, [&] { return stopping_ || watchers_ > 0; });
            if (stopping_) return;
            if (refresh_) {
                refresh_ = false;
                list_monitors = true;
                next_stats = round;
            }
        }
        std::string event, word, message;
        const bool ok = watch.Poll(send, kPollTimeoutMs, &event, &word, &message);
        {
            std::lock_guard<std::mutex> lock(lock_);
            tables_ = watch.Snapshot();
            if (!event.empty()) Publish(SseEvent("tables", event));
        }
        State("tables", ok ? "answered" : word, message);

        const bool stats_due = Clock::now() >= next_stats;
        if (stats_due) list_monitors = true; // monitors changed elsewhere show as often
        if (list_monitors) {
            const std::string json =
                CapturedJson(session_.Command(*this, {"monitors", "list", "--json"}));
            std::lock_guard<std::mutex> lock(lock_);
            list_monitors = false;
            monitors_ = json;
            Publish(SseEvent("monitors", json));
        }
        if (stats_due) {
            next_stats = Clock::now() + stats_interval;
            const std::string json = CapturedJson(session_.Command(*this, {"stats", "--json"}));
            std::lock_guard<std::mutex> lock(lock_);
            stats_ = json;
            Publish(SseEvent("stats", json));
        }
        std::unique_lock<std::mutex> lock(lock_);
        wake_.wait_until(lock, round + interval, [&] { return stopping_ || refresh_; });
        session_.cost().watched_ms += static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - round).count());
    }
}

ServeSession::ServeSession(ServeOptions options, RemoteSettings settings, std::string password,
                           CompressedConverter to_compressed, TextDecoder decode)
    : options_(std::move(options)), settings_(std::move(settings)), password_(std::move(password)),
      to_compressed_(to_compressed), decode_(decode), feed_(kFeedAlerts) {
    if (!settings_.machine.empty() && std::find(options_.machines.begin(), options_.machines.end(),
                                                settings_.machine) == options_.machines.end())
        options_.machines.push_back(settings_.machine);
}

bool ServeSession::Start(std::string& error) {
    connection_ = ConnectRemote(settings_, password_, error);
    bus_ = FleetOf(connection_.get());
    if (!bus_) {
        if (error.empty()) error = "not a NATS connection";
        return false;
    }
    // The fleet's first view is whole before the address is shown.
    Discover();
    metrics_ = std::make_unique<ServeMetrics>(*bus_);
    if (!options_.metrics_token_file.empty()) metrics_->Start();
    presence_ = std::thread([this] { ListenForPresence(); });
    alerts_ = std::thread([this] { ReadAlertStream(); });
    compliance_thread_ = std::thread([this] { FollowCompliance(); });
    return true;
}

void ServeSession::Stop() {
    stopping_ = true;
    if (presence_.joinable()) presence_.join();
    if (alerts_.joinable()) alerts_.join();
    if (metrics_) metrics_->Stop();
    if (compliance_thread_.joinable()) compliance_thread_.join();
    for (auto& [name, m] : machines_)
        m->Stop();
}

ServedMachine* ServeSession::Find(const std::string& name) {
    std::lock_guard<std::mutex> lock(fleet_lock_);
    auto it = machines_.find(name);
    if (it != machines_.end()) return it->second.get();
    bool known = std::find(options_.machines.begin(), options_.machines.end(), name) !=
                 options_.machines.end();
    for (const FleetMachine& m : view_.Machines(bus_->NowMs()))
        known = known || m.presence.machine == name;
    if (!known) return nullptr;
    return (machines_[name] = std::make_unique<ServedMachine>(*this, name)).get();
}

std::unique_ptr<RequestTransport> ServeSession::TransportTo(const std::string& machine) {
    return std::make_unique<CountingTransport>(
        std::make_unique<MachineTransport>(*bus_, machine, 0), cost_);
}

Captured ServeSession::Command(ServedMachine& m, const std::vector<std::string>& args) {
    return RunCaptured(
        args, [&m](const Request& r) { return m.Send(r); }, to_compressed_, decode_);
}

std::vector<std::string> ServeSession::AlertOpening(const std::string& machine) {
    std::lock_guard<std::mutex> lock(feed_lock_);
    std::vector<std::string> out;
    const std::string list = feed_.Recent(machine, kKeptAlerts);
    if (!list.empty()) out.push_back(SseEvent("alerts", list));
    if (!feed_state_.empty()) out.push_back(feed_state_);
    return out;
}

// The fleet as its gates tell it (discovery before the address is shown, then hellos and
// heartbeats): no request reaches an agent for it. A machine given with --machines that was never
// heard of counts as lost.
std::string ServeSession::FleetJson() {
    std::vector<FleetMachine> heard;
    {
        std::lock_guard<std::mutex> lock(fleet_lock_);
        heard = view_.Machines(bus_->NowMs());
    }
    const std::shared_ptr<const ComplianceView> compliance = Compliance(nullptr, nullptr);
    const uint64_t now = WallMs();
    const auto standing = [&](const std::string& machine) {
        return ",\"compliance\":" +
               (compliance ? StandingJson(StandingOf(machine, *compliance, now))
                           : std::string("{\"state\":\"unknown\"}")) +
               "}";
    };
    std::map<std::string, std::string> rows;
    for (const FleetMachine& m : heard) {
        const std::string state =
            m.state == remote::MachineState::kUp ? "answered" : remote::MachineStateText(m.state);
        rows[m.presence.machine] = "{\"machine\":" + JsonString(m.presence.machine) +
                                   ",\"state\":" + JsonString(state) + ",\"message\":" +
                                   JsonString("heard " + std::to_string(m.silent_ms / 1000) +
                                              " s ago, gate " + m.presence.gate_version + ", up " +
                                              std::to_string(m.presence.uptime_s) + " s") +
                                   standing(m.presence.machine);
    }
    for (const std::string& name : options_.machines)
        if (rows.count(name) == 0)
            rows[name] = "{\"machine\":" + JsonString(name) +
                         ",\"state\":\"lost\",\"message\":\"never heard of\"" + standing(name);
    std::vector<std::string> names;
    for (const auto& [name, row] : rows)
        names.push_back(name);
    std::sort(names.begin(), names.end(), MachineOrder);
    std::string out = "[";
    for (const std::string& name : names)
        out += (out.size() > 1 ? "," : "") + rows[name];
    return out + "]";
}

std::shared_ptr<const ComplianceView> ServeSession::Compliance(std::string* error,
                                                               uint64_t* read_ms) {
    compliance_asked_ms_ = bus_->NowMs();
    std::lock_guard<std::mutex> lock(compliance_lock_);
    if (error != nullptr) *error = compliance_error_;
    if (read_ms != nullptr) *read_ms = compliance_read_ms_;
    return compliance_;
}

std::string ServeSession::ComplianceJson(const std::string& machine) {
    std::string error;
    uint64_t read_ms = 0;
    const std::shared_ptr<const ComplianceView> view = Compliance(&error, &read_ms);
    if (!view)
        return "{\"ok\":false,\"word\":" + JsonString(error.empty() ? "reading" : "failed") +
               ",\"message\":" +
               JsonString(error.empty() ? "the records are being read: again in a moment" : error) +
               "}";
    std::string data;
    if (!machine.empty()) {
        data = MachineComplianceJson(*view, machine, WallMs());
    } else {
        // The machines the fleet knows of: heard, given, or with a record.
        std::vector<std::string> names = options_.machines;
        {
            std::lock_guard<std::mutex> lock(fleet_lock_);
            for (const FleetMachine& m : view_.Machines(bus_->NowMs()))
                names.push_back(m.presence.machine);
        }
        for (const auto& r : view->records)
            names.push_back(r.first);
        std::sort(names.begin(), names.end(), MachineOrder);
        names.erase(std::unique(names.begin(), names.end()), names.end());
        data = PoliciesJson(*view, names, WallMs());
    }
    // A reading that failed after one that worked: the last one's, said so.
    return "{\"ok\":true,\"read_utc\":" + JsonString(UtcText(read_ms)) +
           ",\"message\":" + JsonString(error) + ",\"data\":" + data + "}";
}

// Reads the policies and every machine's record at the start and then every 10 s while a page
// asked for them within the minute; the pages are given the last reading.
void ServeSession::FollowCompliance() {
    uint64_t last = 0;
    for (bool first = true; !stopping_; first = false) {
        const uint64_t now = bus_->NowMs();
        if (!first && (now - last < kComplianceEveryMs ||
                       now - compliance_asked_ms_.load() > kComplianceWantedMs)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        last = now;
        auto view = std::make_shared<ComplianceView>();
        std::string error;
        const bool read = ReadCompliance(*bus_, "", *view, error);
        std::lock_guard<std::mutex> lock(compliance_lock_);
        compliance_error_ = error;
        if (read) {
            compliance_ = std::move(view);
            compliance_read_ms_ = WallMs();
        }
    }
}

void ServeSession::Discover() {
    const std::vector<FleetMachine> found = DiscoverMachines(*bus_, DiscoveryWait{});
    std::lock_guard<std::mutex> lock(fleet_lock_);
    for (const FleetMachine& m : found)
        view_.Heard(m.presence, bus_->NowMs() - m.silent_ms);
}

void ServeSession::ListenForPresence() {
    std::string subject, payload;
    while (!stopping_) {
        if (!bus_->NextPresence(subject, payload, 500)) continue;
        std::lock_guard<std::mutex> lock(fleet_lock_);
        view_.Heard(subject, payload, bus_->NowMs());
    }
}

// The feed's state, on every page that is open and every page that opens.
void ServeSession::FeedState(const std::string& word, const std::string& message) {
    const std::string event =
        SseEvent("state", "{\"part\":\"alerts\",\"word\":" + JsonString(word) +
                              ",\"message\":" + JsonString(message) + "}");
    {
        std::lock_guard<std::mutex> lock(feed_lock_);
        if (feed_state_ == event) return;
        feed_state_ = event;
    }
    std::lock_guard<std::mutex> lock(fleet_lock_);
    for (auto& [name, m] : machines_)
        m->Post(event);
}

// The fleet's alert stream through a consumer of this server's own (the bus removes it at the
// end, the servers once it is unused): the last day's alerts, then each new one as it is
// stored, sent to the pages of its machine. A reading that fails is said on the pages in words
// and starts again, from shortly before it last read, without showing an alert twice.
void ServeSession::ReadAlertStream() {
    AlertReading reading;
    reading.since_ms = WallMs() - kFeedBackMs;
    reading.follow = true;
    uint64_t live_ms = 0; // when the reading was last known to work
    reading.stopped = [this, &live_ms] {
        live_ms = WallMs();
        metrics_->AlertsRead(true);
        FeedState("answered", "from the fleet's alert stream (" +
                                  std::string(remote::kAlertStream) + ", since " +
                                  UtcText(WallMs() - kFeedBackMs) + ")");
        return stopping_.load();
    };
    const AlertSink each = [this](const std::string& subject, const std::string& payload) {
        std::string machine, json;
        bool added;
        {
            std::lock_guard<std::mutex> lock(feed_lock_);
            added = feed_.Add(subject, payload, &machine, &json);
        }
        if (added) {
            metrics_->CountAlert(subject, payload);
            std::lock_guard<std::mutex> lock(fleet_lock_);
            auto it = machines_.find(machine);
            if (it != machines_.end()) it->second->Post(SseEvent("alerts", "[" + json + "]"));
        }
        return !stopping_;
    };
    while (!stopping_) {
        std::string error, word, message;
        bus_->ReadAlerts(reading, each, error);
        if (stopping_) break;
        metrics_->AlertsRead(false);
        AlertStreamWords(error.empty() ? "the reading of the stream ended" : error, &word,
                         &message);
        FeedState(word, message);
        if (live_ms != 0) reading.since_ms = std::max(reading.since_ms, live_ms - 60000);
        for (int tick = 0; tick < kFeedRetryTicks && !stopping_; ++tick)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace pm::console
