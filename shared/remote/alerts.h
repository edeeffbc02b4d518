// Alerts kept in the cluster's stream PROCMGR_ALERTS: one JSON object per alert on
// procmgr.<machine>.alerts with a message id that makes a republished alert one stored alert;
// and the outbox a gate (or pmsim) keeps them in until the stream has taken them. Portable:
// no OS code and no NATS here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "shared/monitor/host_alerts.h"

namespace pm::remote {

constexpr const char* kAlertStream = "PROCMGR_ALERTS";
constexpr const char* kAlertWildcard = "procmgr.*.alerts";
// The stream's retention: limits, the oldest dropped first.
constexpr uint64_t kAlertMaxAgeSeconds = 30ull * 24 * 3600;
constexpr int64_t kAlertMaxPerMachine = 10000;
constexpr uint64_t kAlertDuplicateWindowSeconds = 600;
constexpr const char* kMsgIdHeader = "Nats-Msg-Id";

std::string AlertSubject(const std::string& machine); // procmgr.<machine>.alerts

// The JetStream API's requests for the alert stream: its configuration with `replicas` copies;
// a user's durable pull consumer (pmconsole_<user>, acknowledged one by one); a consumer of
// one reading from a time (UTC milliseconds) that delivers into `deliver_subject` and goes
// once nobody listens.
std::string AlertStreamJson(uint32_t replicas);
std::string AlertDurableName(const std::string& user);
std::string AlertDurableJson(const std::string& user);
std::string AlertFromTimeJson(uint64_t since_utc_ms, const std::string& deliver_subject);

struct AlertRecord {
    std::string machine;
    std::string run;      // the publisher's run (its start), so that ids never repeat
    uint64_t seq = 0;     // 1, 2, ... within the run
    uint64_t time_ms = 0; // when it was raised, ms since 1970
    std::string monitor;  // the process monitor's name
    uint32_t code = 0;    // the host's alert code
    std::string text;

    // "<machine>-<run>-<seq>": the stream keeps one alert per id within its window.
    [[nodiscard]] std::string MessageId() const;
};

std::string AlertJson(const AlertRecord& a);
// False with `out` untouched unless one flat object with a valid machine name and a seq.
bool ParseAlert(const std::string& json, AlertRecord& out);
// As ParseAlert, for an alert read from the stream: false as well when its machine is not the
// one its subject (procmgr.<machine>.alerts) names, so that no machine speaks for another.
bool ParseAlertOn(const std::string& subject, const std::string& json, AlertRecord& out);

// A monitor host's alert as the stream keeps it: its host sequence number and time make the id
// (the same host alert published again, by this gate run or the next, is one stored alert).
AlertRecord AlertFromHost(const std::string& machine, const host::HostAlert& a);

// Alerts waiting for the stream, oldest first; bounded: when full the oldest goes, counted.
class AlertOutbox {
public:
    explicit AlertOutbox(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}
    void Raise(AlertRecord alert);
    // Up to `max` waiting alerts, oldest first (they stay until Stored).
    [[nodiscard]] std::vector<AlertRecord> Waiting(size_t max) const;
    // The stream took the alert of this id (a duplicate counts as taken).
    void Stored(const std::string& message_id);
    [[nodiscard]] size_t Size() const { return waiting_.size(); }
    [[nodiscard]] uint64_t Dropped() const { return dropped_; }

private:
    size_t capacity_;
    std::deque<AlertRecord> waiting_;
    uint64_t dropped_ = 0;
};

} // namespace pm::remote
