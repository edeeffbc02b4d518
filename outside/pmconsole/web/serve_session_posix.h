// `pmconsole serve`'s fleet session: the console's one NATS connection shared by every machine
// (the fleet's bus: requests, discovery, presence and the alert stream, read by one consumer of
// this server's own; the compliance records, read while a page shows them), and one watcher
// thread per machine that polls only while a page watches it, with the events kept for its
// pages. No HTTP here: the routes are serve_routes_posix.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outside/pmconsole/fleet/fleet_machines.h"
#include "outside/pmconsole/remote_settings.h"
#include "outside/pmconsole/request_transport.h"
#include "outside/pmconsole/web/serve_guard.h"
#include "outside/pmconsole/web/serve_model.h"
#include "outside/pmconsole/web/serve_metrics_posix.h"

namespace pm::console {

// What the pages cost the agents: every request sent and the bytes both ways.
struct ServeCost {
    std::atomic<uint64_t> requests{0}, bytes_sent{0}, bytes_received{0};
    std::atomic<uint64_t> watched_ms{0}; // summed over machines while a page watches them
};

// An event for the pages, as a server-sent event's text.
std::string SseEvent(const std::string& name, const std::string& json);

class ServeSession;

// One machine: its requests (one at a time, so that a page never loads an agent with more
// than one), its live copy and the events for its pages.
class ServedMachine {
public:
    ServedMachine(ServeSession& session, std::string name)
        : session_(session), name_(std::move(name)) {}
    ~ServedMachine() { Stop(); }

    Reply Send(const Request& request);

    // A page starts or stops watching; the watcher runs while one does.
    void Subscribe();
    void Unsubscribe();
    // Everything a new page needs first (tables, statistics, states, the machine's alerts).
    std::vector<std::string> Opening(uint64_t* next_seq);
    // Waits up to `wait` for events numbered `*next_seq` or later.
    std::vector<std::string> EventsFrom(uint64_t* next_seq, std::chrono::milliseconds wait);
    // After a monitor change: statistics and the list at once.
    void Refresh();
    void Stop();
    const std::string& name() const { return name_; }
    // An event from the session (the alert feed's) for this machine's pages.
    void Post(const std::string& event);

private:
    void Loop();
    void Publish(const std::string& event);
    void State(const std::string& part, const std::string& word, const std::string& message);

    ServeSession& session_;
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

class ServeSession {
public:
    // `options.machines` gains the console's own machine, when it has one.
    ServeSession(ServeOptions options, RemoteSettings settings, std::string password,
                 CompressedConverter to_compressed, TextDecoder decode);
    ~ServeSession() { Stop(); }

    // Connects, reads the fleet's first view (discovery waits at most 2 s), then follows the
    // presence and the alert stream on threads of its own; false with one line in `error`.
    bool Start(std::string& error);
    // Tells the threads and the pages' streams to end, without waiting.
    void RequestStop() { stopping_ = true; }
    // Ends the threads and every machine's watcher, and waits for them.
    void Stop();
    bool stopping() const { return stopping_.load(); }

    // The machine of that name when the fleet knows it (given, discovered or heard); null else.
    ServedMachine* Find(const std::string& name);
    // The fleet as its gates tell it, as the page's JSON list (each machine's compliance too).
    std::string FleetJson();
    // The fleet's compliance, read every 10 s while a page asks for it: a machine's
    // (MachineComplianceJson) or, for "", every policy's (PoliciesJson), as {"ok": true,
    // "read_utc": "...", "data": ...}, or {"ok": false, "word": "...", "message": "..."}.
    std::string ComplianceJson(const std::string& machine);
    // A console command run on one machine, its output captured.
    Captured Command(ServedMachine& m, const std::vector<std::string>& args);

    std::unique_ptr<RequestTransport> TransportTo(const std::string& machine);
    TextDecoder decode() const { return decode_; }
    const ServeOptions& options() const { return options_; }
    ServeCost& cost() { return cost_; }
    // The fleet in Prometheus's exposition format (serve_metrics_posix.cpp).
    std::string MetricsText();
    // The machine's newest stored alerts and the feed's state, for a page that opens.
    std::vector<std::string> AlertOpening(const std::string& machine);

private:
    void Discover();
    void ListenForPresence();
    void ReadAlertStream();
    void FeedState(const std::string& word, const std::string& message);
    void FollowCompliance();
    std::shared_ptr<const ComplianceView> Compliance(std::string* error, uint64_t* read_ms);

    ServeOptions options_;
    RemoteSettings settings_;
    std::string password_;
    CompressedConverter to_compressed_;
    TextDecoder decode_;
    std::unique_ptr<RequestTransport> connection_;
    FleetBus* bus_ = nullptr;
    std::mutex fleet_lock_;
    FleetView view_;                                                 // under fleet_lock_
    std::map<std::string, std::unique_ptr<ServedMachine>> machines_; // under fleet_lock_
    ServeCost cost_;
    std::mutex feed_lock_; // taken after a machine's lock, never before
    AlertFeed feed_;
    std::string feed_state_; // the state event of the part "alerts"
    std::mutex compliance_lock_;
    std::shared_ptr<const ComplianceView> compliance_; // null until read (under compliance_lock_)
    std::string compliance_error_;                     // the last reading's, "" when it worked
    uint64_t compliance_read_ms_ = 0;                  // UTC
    std::atomic<uint64_t> compliance_asked_ms_{0};     // steady: a page's last asking
    std::atomic<bool> stopping_{false};
    std::unique_ptr<ServeMetrics> metrics_; // made by Start
    std::thread presence_, alerts_, compliance_thread_;
};

} // namespace pm::console
