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
// Where a machine reads back the newest alert the stream keeps for it (a direct get of the last
// message on its own subject: its login may ask this one subject, never another machine's).
std::string AlertReadBackSubject(const std::string& machine);

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

// How long an answer may take and still be trusted, and how long a late one is held before its
// alert goes again. A late answer may come from a server that was stopped while the cluster chose
// another leader: nats-server has been seen to answer such a write stored and then lose it. The
// same alert sent again once the cluster has settled is answered "duplicate" when the stream has
// it, and is stored when it was lost; the machine's later alerts wait, so order holds.
constexpr uint64_t kAlertPromptAnswerMs = 2000;
constexpr uint64_t kAlertConfirmAfterMs = 3000;

// Alerts waiting for the stream, oldest first; bounded: when full the oldest goes, counted.
// Times are a monotonic clock's milliseconds.
class AlertOutbox {
public:
    enum class Taken : uint8_t {
        kNotWaiting, // no alert of this id waits
        kStored,     // taken out
        kHeld,       // the answer came late: sent again after kAlertConfirmAfterMs to confirm
        kLostBefore, // taken out; a confirmation stored it anew: the earlier answer was wrong
    };

    explicit AlertOutbox(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}
    void Raise(AlertRecord alert);
    // The oldest waiting alert of each machine, up to `max` machines among the oldest
    // kScanned, leaving out a machine whose oldest is held past `now_ms` (they stay until
    // taken).
    [[nodiscard]] std::vector<AlertRecord> Next(size_t max, uint64_t now_ms) const;
    // The stream answered the alert of this id stored (`duplicate`: it had it already),
    // `waited_ms` after it was sent.
    Taken Answered(const std::string& message_id, bool duplicate, uint64_t waited_ms,
                   uint64_t now_ms);
    [[nodiscard]] size_t Size() const { return waiting_.size(); }
    [[nodiscard]] uint64_t Dropped() const { return dropped_; }

    static constexpr size_t kScanned = 4096;

private:
    struct Waiting {
        AlertRecord alert;
        uint64_t held_until = 0; // a late answer's: not sent again before
        bool confirming = false; // a late answer came: the next one confirms or finds it lost
    };
    size_t capacity_;
    std::deque<Waiting> waiting_;
    uint64_t dropped_ = 0;
};

} // namespace pm::remote
