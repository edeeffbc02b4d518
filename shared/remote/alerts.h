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

// An answer "stored" is not taken on its word: nats-server has been seen to answer writes stored
// and lose them when the cluster changed leaders. Each machine's stored alerts are kept until it
// reads back the newest alert the stream keeps on its subject, kAlertReadBackAfterMs after the
// last answer. A machine sends during kAlertBatchMs after its first unconfirmed answer, then its
// later alerts wait for the read back, so that a loss is found before anything newer is stored
// behind it and order holds.
constexpr uint64_t kAlertBatchMs = 2000;
constexpr uint64_t kAlertReadBackAfterMs = 5000;
// Any replica answers a read back, and one that is behind (restarted, or its store refusing
// writes) does not show the newest yet: a round asks up to kAlertReadsPerRound times, and what
// any answer shows is in the stream. What no answer of the round shows goes again with its id
// (the stream drops the copy where it has it). It keeps its id for kAlertRoundsBeforeNewId such
// rounds, then goes as a new write (nats-server keeps the ids of writes it lost, and answers
// them "duplicate"); after kAlertRoundsBeforeGivingUp it is taken on the stream's word.
constexpr uint32_t kAlertReadsPerRound = 3;
constexpr uint32_t kAlertRoundsBeforeNewId = 4;
constexpr uint32_t kAlertRoundsBeforeGivingUp = 6;
// A read back that fails (no answer, an error) this many times in a row takes the stored alerts
// on the stream's word.
constexpr uint32_t kAlertReadBackTries = 3;

// The answer to a read back (a direct get, AlertReadBackSubject): kFound with the id of the
// alert the stream keeps, kNone when it keeps none on the subject (status 404), kFailed for
// anything else (another status, or no alert of this machine). `status`: the answer's header
// status, 0 when none.
enum class ReadBackAnswer : uint8_t { kFound, kNone, kFailed };
ReadBackAnswer ReadReadBack(const std::string& machine, int status, const std::string& payload,
                            std::string& id);

// Alerts raised and not yet confirmed in the stream, oldest first; bounded: when full the oldest
// goes, counted. Times are a monotonic clock's milliseconds.
class AlertOutbox {
public:
    enum class Taken : uint8_t {
        kNotWaiting, // no alert of this id waits for an answer
        kStored,     // kept until read back
        kLostBefore, // stored anew after a read back did not show it: the stream had lost it
    };
    // What a read back settled.
    struct ReadBack {
        size_t confirmed = 0;   // the stream shows them: gone from the outbox
        size_t missing = 0;     // it does not: they go again
        size_t unconfirmed = 0; // taken on the stream's word (kAlertReadBackTries)
        AlertRecord last;       // the newest of those that left the outbox (seq 0: none)
    };

    // An alert to publish and the message id to publish it with.
    struct Outgoing {
        AlertRecord alert;
        std::string id;
    };

    explicit AlertOutbox(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}
    void Raise(AlertRecord alert);
    // The oldest unanswered alert of each machine whose sending is open (see kAlertBatchMs), up
    // to `max` machines among the oldest kScanned entries.
    [[nodiscard]] std::vector<Outgoing> Next(size_t max, uint64_t now_ms) const;
    // The stream answered the alert of this message id stored (`duplicate`: it had the id).
    Taken Answered(const std::string& message_id, bool duplicate, uint64_t now_ms);
    // The machines whose stored alerts are due to be read back, up to `max`.
    [[nodiscard]] std::vector<std::string> ReadBacksDue(size_t max, uint64_t now_ms) const;
    // A read back's answer: the id of the newest alert the stream keeps on the machine's subject
    // (empty: it keeps none). Alerts up to that one are confirmed; at the round's last read, the
    // machine's stored ones after it are missing.
    ReadBack ReadBackFound(const std::string& machine, const std::string& newest_id);
    // No answer, or an error, came: asked again kAlertReadBackAfterMs later.
    ReadBack ReadBackFailed(const std::string& machine, uint64_t now_ms);
    // A read back's answer as it came (`status` its header status, 0 when none), read
    // (ReadReadBack) and settled as found or failed.
    ReadBack ReadBackCame(const std::string& machine, int status, const std::string& payload,
                          uint64_t now_ms);
    // Alerts kept: unanswered and stored but not yet read back.
    [[nodiscard]] size_t Size() const { return waiting_.size(); }
    [[nodiscard]] uint64_t Dropped() const { return dropped_; }

    static constexpr size_t kScanned = 4096;

private:
    struct Waiting {
        AlertRecord alert;
        std::string id;         // its message id: the alert's, or a new one (read back missing)
        bool stored = false;    // answered stored, not yet read back
        uint64_t stored_at = 0; // when
        uint32_t missed = 0;    // rounds of read backs that did not show it: sent again
    };
    struct Reading {
        uint32_t failed = 0;  // read backs without an answer in a row
        uint32_t unshown = 0; // reads of this round that did not show the newest
        uint64_t retry_at = 0;
    };
    size_t capacity_;
    std::deque<Waiting> waiting_;
    std::map<std::string, Reading> reading_; // machines whose read back failed
    uint64_t dropped_ = 0;
};

} // namespace pm::remote
