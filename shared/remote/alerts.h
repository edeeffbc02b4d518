// Alerts kept in the cluster's stream PROCMGR_ALERTS: one JSON object per alert on
// procmgr.<machine>.alerts with a message id that makes a republished alert one stored alert;
// and the outbox a gate (or pmsim) keeps them in until the stream has taken them. Portable:
// no OS code and no NATS here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
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

// An answer "stored" is not taken on its word: nats-server has been seen to answer writes stored
// and lose them when the cluster changed leaders (a server back from a store that refused writes
// led the stream without them). Every write of a machine's alert says which sequence the stream
// last stored on the machine's subject (Nats-Expected-Last-Subject-Sequence), and the stream's
// leader refuses it with the sequence it has when that is not so. So each write proves the alerts
// before it in the stream, and a loss is found before anything newer is stored behind it: order
// holds. The last alert of a burst is proven by writing it again kAlertProveAfterMs after its
// answer (the stream answers "duplicate" and stores nothing).
constexpr uint64_t kAlertProveAfterMs = 2000;
// A write that failed, or had no answer, goes again after this.
constexpr uint64_t kAlertRetryMs = 1000;
// The stream said it lacks alerts it answered stored: they go again, in order, after this pause
// (a leader just elected says so only once it has taken its log in).
constexpr uint64_t kAlertLossPauseMs = 1000;
// Proven alerts are kept this long (the servers have lost alerts after proving them), so that
// a loss the stream shows later still finds them; a full outbox lets the oldest go first.
constexpr uint64_t kAlertKeptMs = 300000;

// The stream's answer to a write on a machine's alert subject.
struct AlertAnswer {
    enum class Kind : uint8_t {
        kStored,    // at `seq`
        kDuplicate, // it has the message id, at `seq`
        kWrongLast, // refused: the subject's last sequence is `seq`, not the one the write said
        kFailed,    // another error, or no answer
    };
    Kind kind = Kind::kFailed;
    uint64_t seq = 0;
};
// A publish's JSON answer.
AlertAnswer ReadAlertAnswer(const std::string& payload);
// An error's code and description (as a client library hands them over).
AlertAnswer AlertAnswerOfError(uint64_t err_code, const std::string& description);

// Alerts raised and not yet proven in the stream, in order per machine; bounded per machine:
// when full the oldest goes, counted. Times are a monotonic clock's milliseconds.
class AlertOutbox {
public:
    // A write: the alert, the message id to publish it with, and the subject's last sequence
    // (Nats-Expected-Last-Subject-Sequence) to publish it with.
    struct Outgoing {
        AlertRecord alert;
        std::string id;
        uint64_t expect = 0;
    };
    // What an answer settled.
    struct Settled {
        size_t proven = 0;     // now proven in the stream
        size_t lost = 0;       // answered stored before, not in the stream: they go again
        bool restored = false; // the alert written had been lost, and is stored anew
        AlertRecord newest;    // the machine's newest proven alert so far (seq 0: none)
    };

    explicit AlertOutbox(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}
    void Raise(AlertRecord alert);
    // Up to `max` writes due, one per machine at most (the machines taken in turn).
    [[nodiscard]] std::vector<Outgoing> Next(size_t max, uint64_t now_ms);
    // The stream's answer to a write Next gave (an answer to a write no longer due is ignored).
    Settled Answered(const Outgoing& sent, const AlertAnswer& answer, uint64_t now_ms);
    // Alerts not yet proven in the stream.
    [[nodiscard]] size_t Size() const { return unproven_; }
    [[nodiscard]] uint64_t Dropped() const { return dropped_; }

private:
    struct Kept {
        AlertRecord alert;
        std::string id;      // its message id: the alert's, or a new one (lost twice)
        uint64_t seq = 0;    // where the stream answered it stored; 0: not (or no longer)
        bool proven = false; // a later write proved it in the stream
        uint64_t at = 0;     // when it was proven
        uint32_t lost = 0;   // times the stream was found without it
    };
    struct Machine {
        std::deque<Kept> kept;    // proven (for a while), answered, not yet answered
        uint64_t last = 0;        // the subject's last sequence as the stream said it (0: none yet)
        uint64_t answered_at = 0; // the last answer stored or duplicate
        uint64_t wait_until = 0;  // no write before (a retry, a loss found)
    };
    // The write due for a machine, if any.
    static bool Due(const Machine& m, uint64_t now_ms, Outgoing& out);
    static size_t Count(const Machine& m);
    size_t capacity_;
    std::map<std::string, Machine> machines_;
    std::string turn_; // the machine Next starts after
    size_t unproven_ = 0;
    uint64_t dropped_ = 0;
};

} // namespace pm::remote
