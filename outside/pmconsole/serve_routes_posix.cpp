// `pmconsole serve` on Linux: HTTP and server-sent events (cpp-httplib), the console's one NATS
// connection shared by every machine (the fleet's bus: requests, discovery, presence and the
// alert stream, read by one consumer of this server's own), and one watcher thread per machine
// that polls only while a page watches it.
#include "outside/pmconsole/serve_posix.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "outside/pmconsole/fleet_alerts.h"
#include "outside/pmconsole/fleet_bus.h"
#include "outside/pmconsole/fleet_machines.h"
#include "outside/pmconsole/remote_transport.h"
#include "outside/pmconsole/serve_assets.h"
#include "outside/pmconsole/serve_guard.h"
#include "outside/pmconsole/serve_model.h"
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

// What the page costs the agents: every request sent and the bytes both ways.
struct Cost {
    std::atomic<uint64_t> requests{0}, bytes_sent{0}, bytes_received{0};
    std::atomic<uint64_t> watched_ms{0}; // summed over machines while a page watches them
};

class CountingTransport final : public RequestTransport {
public:
    CountingTransport(std::unique_ptr<RequestTransport> inner, Cost& cost)
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
    Cost& cost_;
};

std::string RandomToken() {
    unsigned char bytes[16] = {};
    std::ifstream random("/dev/urandom", std::ios::binary);
    random.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    if (random.gcount() != sizeof bytes) return "";
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    return token;
}

std::string SseEvent(const std::string& name, const std::string& json) {
    return "event: " + name + "\ndata: " + json + "\n\n";
}

class Server;

// One machine: its requests (one at a time, so that a page never loads an agent with more
// than one), its live copy and the events for its pages.
class Machine {
public:
    Machine(Server& server, std::string name) : server_(server), name_(std::move(name)) {}
    ~Machine() { Stop(); }

    Reply Send(const Request& request);

    // A page starts or stops watching; the watcher runs while one does.
    void Subscribe();
    void Unsubscribe();
    // Everything a new page needs first (tables, statistics, states, the machine's alerts).
    std::vector<std::string> Opening(uint64_t* next_seq);
    // Waits up to `wait` for events numbered `*next_seq` or later.
    std::vector<std::string> EventsFrom(uint64_t* next_seq, std::chrono::milliseconds wait);
    // After a monitor change: statistics and the list at once.
    void Refresh() {
        std::lock_guard<std::mutex> lock(lock_);
        refresh_ = true;
        wake_.notify_all();
    }
    void Stop();
    const std::string& name() const { return name_; }
    // An event from the server (the alert feed's) for this machine's pages.
    void Post(const std::string& event) {
        std::lock_guard<std::mutex> lock(lock_);
        Publish(event);
    }

private:
    void Loop();
    void Publish(const std::string& event);
    void State(const std::string& part, const std::string& word, const std::string& message);

    Server& server_;
    std::string name_;
    std::mutex send_lock_;
    std::unique_ptr<RequestTransport> transport_; // on the shared connection, counted

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::string> events_;
    uint64_t first_seq_ = 0; // the number of events_.front()
    int watchers_ = 0;
    bool stopping_ = false, refresh_ = false;
    std::thread thread_;
    // Kept for pages that open later (under lock_).
    std::string tables_, stats_, monitors_;
    std::map<std::string, std::string> states_; // part -> state event
};

class Server {
public:
    Server(ServeOptions options, RemoteSettings settings, std::string password,
           CompressedConverter to_compressed, TextDecoder decode)
        : options_(std::move(options)), settings_(std::move(settings)),
          password_(std::move(password)), to_compressed_(to_compressed), decode_(decode) {
        if (!settings_.machine.empty() &&
            std::find(options_.machines.begin(), options_.machines.end(), settings_.machine) ==
                options_.machines.end())
            options_.machines.push_back(settings_.machine);
    }

    int Run();

    std::unique_ptr<RequestTransport> TransportTo(const std::string& machine) {
        return std::make_unique<CountingTransport>(
            std::make_unique<MachineTransport>(*bus_, machine, 0), cost_);
    }
    Captured Command(Machine& m, const std::vector<std::string>& args) {
        return RunCaptured(
            args, [&m](const Request& r) { return m.Send(r); }, to_compressed_, decode_);
    }
    TextDecoder decode() const { return decode_; }
    const ServeOptions& options() const { return options_; }
    Cost& cost() { return cost_; }
    // The machine's newest stored alerts and the feed's state, for a page that opens.
    std::vector<std::string> AlertOpening(const std::string& machine) {
        std::lock_guard<std::mutex> lock(feed_lock_);
        std::vector<std::string> out;
        const std::string list = feed_.Recent(machine, kKeptAlerts);
        if (!list.empty()) out.push_back(SseEvent("alerts", list));
        if (!feed_state_.empty()) out.push_back(feed_state_);
        return out;
    }

private:
    // The machine a request names, when the fleet knows it (given, discovered or heard).
    Machine* Find(const httplib::Request& req) {
        const std::string name = req.get_param_value("machine");
        std::lock_guard<std::mutex> lock(fleet_lock_);
        auto it = machines_.find(name);
        if (it != machines_.end()) return it->second.get();
        bool known = std::find(options_.machines.begin(), options_.machines.end(), name) !=
                     options_.machines.end();
        for (const FleetMachine& m : view_.Machines(bus_->NowMs()))
            known = known || m.presence.machine == name;
        if (!known) return nullptr;
        return (machines_[name] = std::make_unique<Machine>(*this, name)).get();
    }
    void Routes(httplib::Server& http);
    std::string FleetJson();
    void Discover();
    void ListenForPresence();
    void ReadAlertStream();
    void FeedState(const std::string& word, const std::string& message);
    void ServeEvents(Machine* m, httplib::Response& res);

    ServeOptions options_;
    RemoteSettings settings_;
    std::string password_;
    CompressedConverter to_compressed_;
    TextDecoder decode_;
    std::unique_ptr<RequestTransport> connection_;
    FleetBus* bus_ = nullptr;
    std::mutex fleet_lock_;
    FleetView view_;                                           // under fleet_lock_
    std::map<std::string, std::unique_ptr<Machine>> machines_; // under fleet_lock_
    Cost cost_;
    std::mutex feed_lock_; // taken after a machine's lock, never before
    AlertFeed feed_{kFeedAlerts};
    std::string feed_state_; // the state event of the part "alerts"
    std::atomic<bool> stopping_{false};
    StreamSlots streams_{kMaxEventStreams};
    const Clock::time_point started_ = Clock::now();
};

Reply Machine::Send(const Request& request) {
    std::lock_guard<std::mutex> lock(send_lock_);
    if (!transport_) transport_ = server_.TransportTo(name_);
    return SendThrough(*transport_, request, "pmconsole-serve-" + std::to_string(getpid()));
}

void Machine::Publish(const std::string& event) {
    // Under lock_.
    events_.push_back(event);
    if (events_.size() > kKeptEvents) {
        events_.pop_front();
        ++first_seq_;
    }
    wake_.notify_all();
}

void Machine::State(const std::string& part, const std::string& word, const std::string& message) {
    const std::string event =
        SseEvent("state", "{\"part\":" + JsonString(part) + ",\"word\":" + JsonString(word) +
                              ",\"message\":" + JsonString(message) + "}");
    std::lock_guard<std::mutex> lock(lock_);
    if (states_[part] == event) return;
    states_[part] = event;
    Publish(event);
}

void Machine::Subscribe() {
    std::lock_guard<std::mutex> lock(lock_);
    ++watchers_;
    refresh_ = true; // a new page gets the list and the statistics as they are now
    if (!thread_.joinable() && !stopping_) thread_ = std::thread([this] { Loop(); });
    wake_.notify_all();
}

void Machine::Unsubscribe() {
    std::lock_guard<std::mutex> lock(lock_);
    --watchers_;
}

void Machine::Stop() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

std::vector<std::string> Machine::Opening(uint64_t* next_seq) {
    std::lock_guard<std::mutex> lock(lock_);
    std::vector<std::string> out;
    if (!tables_.empty()) out.push_back(SseEvent("tables", tables_));
    if (!monitors_.empty()) out.push_back(SseEvent("monitors", monitors_));
    if (!stats_.empty()) out.push_back(SseEvent("stats", stats_));
    for (const auto& [part, event] : states_)
        out.push_back(event);
    for (std::string& event : server_.AlertOpening(name_))
        out.push_back(std::move(event));
    *next_seq = first_seq_ + events_.size();
    return out;
}

std::vector<std::string> Machine::EventsFrom(uint64_t* next_seq, std::chrono::milliseconds wait) {
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

void Machine::Loop() {
    TableWatch watch(server_.decode());
    const auto interval = std::chrono::milliseconds(server_.options().interval_ms);
    const auto stats_interval = std::chrono::milliseconds(server_.options().stats_interval_ms);
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
                CapturedJson(server_.Command(*this, {"monitors", "list", "--json"}));
            std::lock_guard<std::mutex> lock(lock_);
            list_monitors = false;
            monitors_ = json;
            Publish(SseEvent("monitors", json));
        }
        if (stats_due) {
            next_stats = Clock::now() + stats_interval;
            const std::string json = CapturedJson(server_.Command(*this, {"stats", "--json"}));
            std::lock_guard<std::mutex> lock(lock_);
            stats_ = json;
            Publish(SseEvent("stats", json));
        }
        std::unique_lock<std::mutex> lock(lock_);
        wake_.wait_until(lock, round + interval, [&] { return stopping_ || refresh_; });
        server_.cost().watched_ms += static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - round).count());
    }
}

// The fleet as its gates tell it (discovery before the address is shown, then hellos and
// heartbeats): no request reaches an agent for it. A machine given with --machines that was never
// heard of counts as lost.
std::string Server::FleetJson() {
    std::vector<FleetMachine> heard;
    {
        std::lock_guard<std::mutex> lock(fleet_lock_);
        heard = view_.Machines(bus_->NowMs());
    }
    std::map<std::string, std::string> rows;
    for (const FleetMachine& m : heard) {
        const std::string state =
            m.state == remote::MachineState::kUp ? "answered" : remote::MachineStateText(m.state);
        rows[m.presence.machine] = "{\"machine\":" + JsonString(m.presence.machine) +
                                   ",\"state\":" + JsonString(state) + ",\"message\":" +
                                   JsonString("heard " + std::to_string(m.silent_ms / 1000) +
                                              " s ago, gate " + m.presence.gate_version + ", up " +
                                              std::to_string(m.presence.uptime_s) + " s") +
                                   "}";
    }
    for (const std::string& name : options_.machines)
        if (rows.count(name) == 0)
            rows[name] = "{\"machine\":" + JsonString(name) +
                         ",\"state\":\"lost\",\"message\":\"never heard of\"}";
    std::vector<std::string> names;
    for (const auto& [name, row] : rows)
        names.push_back(name);
    std::sort(names.begin(), names.end(), MachineOrder);
    std::string out = "[";
    for (const std::string& name : names)
        out += (out.size() > 1 ? "," : "") + rows[name];
    return out + "]";
}

void Server::Discover() {
    const std::vector<FleetMachine> found = DiscoverMachines(*bus_, DiscoveryWait{});
    std::lock_guard<std::mutex> lock(fleet_lock_);
    for (const FleetMachine& m : found)
        view_.Heard(m.presence, bus_->NowMs() - m.silent_ms);
}

void Server::ListenForPresence() {
    std::string subject, payload;
    while (!stopping_) {
        if (!bus_->NextPresence(subject, payload, 500)) continue;
        std::lock_guard<std::mutex> lock(fleet_lock_);
        view_.Heard(subject, payload, bus_->NowMs());
    }
}

void Server::ServeEvents(Machine* m, httplib::Response& res) {
    m->Subscribe();
    auto next = std::make_shared<uint64_t>(0);
    auto opened = std::make_shared<bool>(false);
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, m, next, opened](size_t, httplib::DataSink& sink) {
            std::vector<std::string> events;
            if (!*opened) {
                *opened = true;
                events = m->Opening(next.get());
                events.push_back(": open\n\n");
            } else {
                events = m->EventsFrom(next.get(), std::chrono::milliseconds(1000));
                if (events.empty()) events.push_back(": ping\n\n"); // finds a closed page
            }
            if (stopping_) return false;
            for (const std::string& e : events)
                if (!sink.write(e.data(), e.size())) return false;
            return true;
        },
        [this, m](bool) {
            m->Unsubscribe();
            streams_.Release();
        });
}

// A value of the page's form, given to a console command as a word of its own: refused
// (empty) when it is missing or could be taken for an option.
std::string Value(const httplib::Request& r, const char* name) {
    std::string v = r.get_param_value(name);
    return v.empty() || v[0] == '-' ? std::string() : v;
}

// The arguments, or none when a value was refused.
std::vector<std::string> Checked(std::vector<std::string> args) {
    for (const std::string& a : args)
        if (a.empty()) return {};
    return args;
}

void SendJson(httplib::Response& res, const std::string& json, int status = 200) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(json, "application/json");
}

void Server::Routes(httplib::Server& http) {
    http.Get("/api/fleet", [this](const httplib::Request&, httplib::Response& res) {
        SendJson(res, FleetJson());
    });
    http.Get("/api/cost", [this](const httplib::Request&, httplib::Response& res) {
        const auto up =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
        SendJson(res, "{\"requests\":" + std::to_string(cost_.requests) +
                          ",\"bytes_sent\":" + std::to_string(cost_.bytes_sent) +
                          ",\"bytes_received\":" + std::to_string(cost_.bytes_received) +
                          ",\"watched_ms\":" + std::to_string(cost_.watched_ms) +
                          ",\"up_ms\":" + std::to_string(up.count()) + "}");
    });
    // Whether the fleet knows a machine (no request reaches it).
    http.Get("/api/machine", [this](const httplib::Request& req, httplib::Response& res) {
        if (!Find(req))
            return SendJson(res,
                            "{\"ok\":false,\"word\":\"no such machine\",\"message\":\"no gate "
                            "of that name was heard of\"}",
                            404);
        SendJson(res, "{\"ok\":true,\"word\":\"known\"}");
    });
    http.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        Machine* m = Find(req);
        if (!m) return SendJson(res, "{\"ok\":false,\"word\":\"no such machine\"}", 404);
        // Each stream holds a worker while its page is open: beyond the cap, the page is told
        // to come back, and the other workers stay free for plain requests.
        if (!streams_.TryTake()) {
            res.set_header("Retry-After", std::to_string(kEventStreamRetryS));
            return SendJson(res,
                            "{\"ok\":false,\"word\":\"busy\",\"message\":\"" +
                                std::to_string(kMaxEventStreams) +
                                " live pages are open: close one or try again later\"}",
                            503);
        }
        ServeEvents(m, res); // its end releases the slot
    });
    // The changes: each runs the console command of the same name and answers its result.
    struct Change {
        const char* path;
        std::vector<std::string> (*args)(const httplib::Request&);
        bool monitors;
    };
    static const Change kChanges[] = {
        {"/api/kill",
         [](const httplib::Request& r) -> std::vector<std::string> {
             return Checked({"kill", Value(r, "pid"), "--json"});
         },
         false},
        {"/api/service",
         [](const httplib::Request& r) -> std::vector<std::string> {
             return Checked({"svc", Value(r, "action"), Value(r, "name"), "--json"});
         },
         false},
        {"/api/exec",
         [](const httplib::Request& r) -> std::vector<std::string> {
             if (r.get_param_value("capture") == "1")
                 return Checked({"exec", "--capture", "--timeout", "10", "--json", "--",
                                 r.get_param_value("line")});
             return Checked({"exec", "--json", "--", r.get_param_value("line")});
         },
         false},
        {"/api/monitors/add",
         [](const httplib::Request& r) -> std::vector<std::string> {
             std::vector<std::string> a = {"monitors", "add", Value(r, "name")};
             if (r.has_param("on")) a.insert(a.end(), {"--on", Value(r, "on")});
             return Checked(a);
         },
         true},
        {"/api/monitors/delete",
         [](const httplib::Request& r) -> std::vector<std::string> {
             return Checked({"monitors", "delete", Value(r, "name")});
         },
         true},
    };
    for (const Change& c : kChanges) {
        http.Post(c.path, [this, &c](const httplib::Request& req, httplib::Response& res) {
            Machine* m = Find(req);
            if (!m) return SendJson(res, "{\"ok\":false,\"word\":\"no such machine\"}", 404);
            const std::vector<std::string> args = c.args(req);
            if (args.empty())
                return SendJson(res,
                                "{\"ok\":false,\"word\":\"bad request\",\"message\":"
                                "\"a value is missing or starts with '-'\"}",
                                400);
            const Captured result = Command(*m, args);
            if (c.monitors) m->Refresh();
            SendJson(res, CapturedJson(result));
        });
    }
    http.Get("/api/monitors", [this](const httplib::Request& req, httplib::Response& res) {
        Machine* m = Find(req);
        if (!m) return SendJson(res, "{\"ok\":false,\"word\":\"no such machine\"}", 404);
        SendJson(res, CapturedJson(Command(*m, {"monitors", "list", "--json"})));
    });
    http.Get(R"(/[a-z0-9./]*)", [](const httplib::Request& req, httplib::Response& res) {
        const Asset* a = FindAsset(req.path);
        if (!a) {
            res.status = 404;
            res.set_content("not found\n", "text/plain");
            return;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header(
            "Content-Security-Policy",
            "default-src 'self'; style-src 'self' 'unsafe-inline'; frame-ancestors 'none'");
        res.set_content(reinterpret_cast<const char*>(a->data), a->size, a->type);
    });
}

uint64_t WallMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

// The feed's state, on every page that is open and every page that opens.
void Server::FeedState(const std::string& word, const std::string& message) {
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
void Server::ReadAlertStream() {
    AlertReading reading;
    reading.since_ms = WallMs() - kFeedBackMs;
    reading.follow = true;
    uint64_t live_ms = 0; // when the reading was last known to work
    reading.stopped = [this, &live_ms] {
        live_ms = WallMs();
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
        AlertStreamWords(error.empty() ? "the reading of the stream ended" : error, &word,
                         &message);
        FeedState(word, message);
        if (live_ms != 0) reading.since_ms = std::max(reading.since_ms, live_ms - 60000);
        for (int tick = 0; tick < kFeedRetryTicks && !stopping_; ++tick)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// SIGINT and SIGTERM reach one thread, which stops the server.
sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

int Server::Run() {
    std::string token;
    if (!options_.token_file.empty()) {
        std::ifstream in(options_.token_file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in || !TokenFromFile(text.str(), token)) {
            std::fprintf(stderr,
                         "pmconsole serve: the token file %s cannot be read or its first line "
                         "is shorter than 16 characters\n",
                         options_.token_file.c_str());
            return kExitUsage;
        }
    } else {
        token = RandomToken();
        if (token.empty()) {
            std::fprintf(stderr, "pmconsole serve: no random bytes for the token\n");
            return kExitNoReply;
        }
    }
    // Blocked in every thread the server starts; the waiting thread takes them.
    const sigset_t stop_set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);

    // HTTPS when given a certificate and key (needed off the loopback: the token must not
    // cross the network in clear).
    const bool https = !options_.cert_file.empty();
    std::unique_ptr<httplib::Server> server =
        https ? std::make_unique<httplib::SSLServer>(options_.cert_file.c_str(),
                                                     options_.key_file.c_str())
              : std::make_unique<httplib::Server>();
    if (!server->is_valid()) {
        std::fprintf(stderr,
                     "pmconsole serve: cannot use the certificate %s with the key %s (PEM files "
                     "that belong together)\n",
                     options_.cert_file.c_str(), options_.key_file.c_str());
        return kExitUsage;
    }
    httplib::Server& http = *server;
    http.new_task_queue = [] { return new httplib::ThreadPool(kServeWorkers); };
    // An idle kept-alive connection also holds a worker while it waits for its next request
    // (a browser keeps several, and the one of a refused stream): 1 s instead of 5.
    http.set_keep_alive_timeout(kServeKeepAliveS);
    const int port = options_.port == 0
                         ? http.bind_to_any_port(options_.host)
                         : (http.bind_to_port(options_.host, options_.port) ? options_.port : -1);
    if (port <= 0) {
        std::fprintf(stderr, "pmconsole serve: cannot listen on %s:%u\n", options_.host.c_str(),
                     options_.port);
        return kExitNoReply;
    }
    const RequestGuard guard(options_.host, static_cast<uint16_t>(port), token, options_.names,
                             https);
    http.set_pre_routing_handler([&guard](const httplib::Request& req, httplib::Response& res) {
        GuardInput in;
        in.method = req.method;
        in.path = req.path;
        in.host_header = req.get_header_value("Host");
        in.has_origin = req.has_header("Origin");
        in.origin_header = req.get_header_value("Origin");
        in.token = req.has_header("X-Pm-Token") ? req.get_header_value("X-Pm-Token")
                   : req.path == "/api/events"  ? req.get_param_value("token")
                                                : std::string();
        const GuardVerdict v = guard.Check(in);
        if (v.allowed) return httplib::Server::HandlerResponse::Unhandled;
        SendJson(res,
                 "{\"ok\":false,\"word\":\"refused\",\"message\":" + JsonString(v.reason) + "}",
                 v.http_status);
        return httplib::Server::HandlerResponse::Handled;
    });
    Routes(http);

    std::string error;
    connection_ = ConnectRemote(settings_, password_, error);
    bus_ = FleetOf(connection_.get());
    if (!bus_) {
        std::fprintf(stderr, "pmconsole serve: cannot connect: %s\n",
                     error.empty() ? "not a NATS connection" : error.c_str());
        return kExitNoReply;
    }
    // The fleet's first view is whole before the address is shown (discovery waits at most 2 s).
    Discover();
    std::thread presence([this] { ListenForPresence(); });
    std::thread alerts([this] { ReadAlertStream(); });

    const std::string shown = (https ? "https://" : "http://") + guard.Hosts().front();
    if (options_.token_file.empty())
        std::printf("pmconsole serve: %s/#token=%s\n", shown.c_str(), token.c_str());
    else
        std::printf("pmconsole serve: %s/ (the page asks for the token in %s)\n", shown.c_str(),
                    options_.token_file.c_str());
    std::fflush(stdout);

    std::thread stopper([&] {
        int signal_number = 0;
        sigwait(&stop_set, &signal_number);
        stopping_ = true;
        http.stop();
    });
    http.listen_after_bind();
    stopping_ = true;
    if (stopper.joinable()) {
        pthread_kill(stopper.native_handle(), SIGTERM); // when listening ended by itself
        stopper.join();
    }
    presence.join();
    alerts.join();
    for (auto& [name, m] : machines_)
        m->Stop();
    std::fprintf(stderr,
                 "pmconsole serve: stopped; %llu requests to the machines, %llu bytes sent, %llu "
                 "received, %.1f machine-minutes watched\n",
                 static_cast<unsigned long long>(cost_.requests.load()),
                 static_cast<unsigned long long>(cost_.bytes_sent.load()),
                 static_cast<unsigned long long>(cost_.bytes_received.load()),
                 static_cast<double>(cost_.watched_ms.load()) / 60000.0);
    return kExitReply;
}

} // namespace

int RunServe(const std::vector<std::string>& args, const RemoteSettings& settings,
             const std::string& password, CompressedConverter to_compressed, TextDecoder decode) {
    ServeOptions options;
    std::string error;
    if (!ParseServeArgs(args, options, error)) {
        std::fprintf(stderr, "pmconsole serve: %s\n%s", error.c_str(), kServeHelp);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kServeHelp, stdout);
        return kExitReply;
    }
    if (!settings.Remote()) {
        std::fprintf(stderr, "pmconsole serve: give --server URL and --machine NAME (or --conf "
                             "FILE) before serve\n");
        return kExitUsage;
    }
    Server server(options, settings, password, to_compressed, decode);
    return server.Run();
}

} // namespace pm::console
