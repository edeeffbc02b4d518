// `pmconsole fleet alerts --to-alertmanager`: the stored alerts as Alertmanager's v2 API takes
// them (POST /api/v2/alerts), the forwarder's options, its back-off, and the alerts that report
// a state kept firing while the state holds. Portable: no sockets here.
//
// Each stored alert becomes one Alertmanager alert whose labels include its stream message id
// ("id"): Alertmanager merges alerts of identical labels, so posting the same stored alert
// again (after a forwarder stopped between a post and its acknowledgement) changes nothing a
// receiver sees, while two different stored alerts are never merged into one.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "shared/remote/alerts.h"

namespace pm::console {

extern const char kForwardHelp[];

struct ForwardOptions {
    std::vector<std::string> urls; // Alertmanagers, each "http[s]://host:port[/prefix]"
    uint64_t resolve_after_s = 300;
    std::string consumer; // the durable consumer (default kAlertmanagerConsumer)
    bool help = false;
};

// The arguments of `fleet alerts` when they hold --to-alertmanager: false with one line in
// `error` for an unknown option, a URL that is not http(s)://HOST..., or a bad duration.
bool ParseForwardArgs(const std::vector<std::string>& args, ForwardOptions& o, std::string& error);
// True when the `fleet` arguments ask for the forwarder.
bool WantsForwarder(const std::vector<std::string>& fleet_args);

// "http://127.0.0.1:9093/am" -> "http://127.0.0.1:9093" and "/am/api/v2/alerts".
bool SplitAlertmanagerUrl(const std::string& url, std::string& origin, std::string& path);

// The host alert's kind as one word: started, stopped, failed_to_start (raised when a
// monitored process did not start within its time: the "not started" condition), or
// class_0x... for another class.
std::string AlertWord(uint32_t code);
// From the monitor's alert level (the code's high half): 0 info, 1 warning, 2 and above
// critical.
std::string AlertSeverity(uint32_t code);
// "2026-12-07T10:00:01Z".
std::string Rfc3339(uint64_t ms);

// One element of the array POSTed to /api/v2/alerts.
std::string AlertmanagerAlert(const remote::AlertRecord& a, uint64_t ends_ms);

// Waits between tries: 1 s, doubling, at most 30 s.
class Backoff {
public:
    uint32_t NextMs();
    void Reset() { next_ms_ = 0; }

private:
    uint32_t next_ms_ = 0;
};

// A failed_to_start alert reports a state: it stays firing (posted again before its end)
// until a started alert of the same machine and monitor is stored, which resolves it.
class FiringStates {
public:
    explicit FiringStates(uint64_t resolve_after_ms, size_t capacity = 10000)
        : resolve_after_ms_(resolve_after_ms), capacity_(capacity) {}
    // A stored alert about to be forwarded at `now_ms`: answers the end to post it with (the
    // alert's time plus the window; for a state, `now_ms` plus the window).
    uint64_t Seen(const remote::AlertRecord& a, uint64_t now_ms);
    // The alerts to post now: those whose end comes within half the window, with their end
    // pushed on; and those resolved since the last call, ending when their state ended.
    std::vector<std::string> Due(uint64_t now_ms);
    [[nodiscard]] size_t Open() const { return open_.size(); }

private:
    struct Kept {
        remote::AlertRecord alert;
        uint64_t ends_ms = 0;
    };
    uint64_t resolve_after_ms_;
    size_t capacity_;
    std::map<std::pair<std::string, std::string>, Kept> open_; // (machine, monitor)
    std::vector<std::string> resolved_;
};

} // namespace pm::console
