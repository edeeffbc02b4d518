// Commands that wait for a machine: a request queued in the work-queue stream PROCMGR_QUEUE on
// procmgr.<machine>.queue (one durable pull consumer per machine, "gate_<machine>"), and its
// record in PROCMGR_RESULTS on procmgr.<machine>.results.<id> (the last record per id is kept:
// "started", then "done"; or "expired"). The gate publishes "started" only when no record of
// the id exists (the stream checks it), so a request runs at most once; it never runs one past
// its expiry. Portable: no OS code and no NATS here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/remote/server_time.h"

namespace pm::remote {

constexpr const char* kQueueStream = "PROCMGR_QUEUE";
constexpr const char* kQueueWildcard = "procmgr.*.queue";
constexpr const char* kResultStream = "PROCMGR_RESULTS";
constexpr const char* kResultWildcard = "procmgr.*.results.*";
// Both streams drop what is older than this (a backstop: an expiry is never later).
constexpr uint64_t kQueueMaxAgeSeconds = 30ull * 24 * 3600;
constexpr uint64_t kDefaultExpireSeconds = 7ull * 24 * 3600;
// A queued request's packed message, and the node's reply kept in a result, at most.
constexpr size_t kMaxQueuedRequest = 64 * 1024;
constexpr size_t kMaxKeptReply = 256 * 1024;
// The stream's answer to a publish whose subject already holds a record.
constexpr const char* kExpectedLastSubjectSeqHeader = "Nats-Expected-Last-Subject-Sequence";

std::string QueueSubject(const std::string& machine);                         // procmgr.<m>.queue
std::string ResultSubject(const std::string& machine, const std::string& id); // ...results.<id>
std::string QueueConsumer(const std::string& machine);                        // gate_<machine>
// The JetStream API subjects the consumer is created and read with.
std::string QueueConsumerCreateSubject(const std::string& machine);
std::string QueueNextSubject(const std::string& machine);
std::string QueueConsumerInfoSubject(const std::string& machine);
// The consumer's configuration: explicit acks, one request in flight, redelivered after 60 s.
std::string QueueConsumerJson(const std::string& machine);
// The streams' configurations for $JS.API.STREAM.CREATE (file storage, `replicas` copies).
std::string QueueStreamJson(uint32_t replicas);
std::string ResultStreamJson(uint32_t replicas);

// A request id: 16 lower-case hex digits.
std::string RequestId(uint64_t random);
bool IsRequestId(const std::string& id);

struct QueuedRequest {
    std::string id;
    std::string machine;
    std::string subject;            // the live request's subject: procmgr.<m>.<node>.<code>[.<op>]
    std::vector<std::string> words; // the console command (without secrets), to decode the reply
    std::string by;                 // who queued it
    uint64_t queued_ms = 0;         // ms since 1970, UTC
    uint64_t expires_ms = 0;
    std::string request; // the packed request message, as a live request carries it
};

std::string QueuedJson(const QueuedRequest& q);
// False with `out` untouched unless one flat object with a request id, a machine name, a
// request subject for that machine, an expiry after the queuing and a request of at most
// kMaxQueuedRequest bytes.
bool ParseQueued(const std::string& json, QueuedRequest& out);

// The console's words as kept: the values of the password options and --user are left out
// (the packed request holds the password only encrypted).
std::vector<std::string> KeptWords(const std::vector<std::string>& words);

enum class QueueState : uint8_t { kStarted, kDone, kExpired };
const char* QueueStateText(QueueState s); // "started", "done", "expired"

struct QueueResult {
    QueuedRequest request; // without its packed message
    QueueState state = QueueState::kStarted;
    uint64_t at_ms = 0;       // when this record was made
    uint32_t gate_status = 0; // 0: `reply` is the node's reply message
    uint64_t reply_size = 0;  // the reply's size, also when it was not kept
    std::string reply;        // empty when larger than kMaxKeptReply
};

std::string ResultJson(const QueueResult& r);
bool ParseResult(const std::string& json, QueueResult& out);

// What the gate does with a fetched request.
enum class QueueAction : uint8_t {
    kRun,    // record "started", acknowledge, run, record "done"
    kExpire, // record "expired", acknowledge, never run
    kDrop,   // not a request for this machine: acknowledged for good, nothing recorded
};
// Expired by the servers' clock where they said when they stored and delivered it: its age
// then (delivery less storing) against its lifetime (expiry less queuing, by the console's
// clock); by the delivery alone against its expiry; else by the machine's clock `now_ms`. A
// delivery said to come before the storing is no reading of this one.
QueueAction Decide(bool parsed, const QueuedRequest& q, const std::string& machine, uint64_t now_ms,
                   const ServerTimes& server = {});

// The stream's answer to the "started" (or "expired") record published with
// Nats-Expected-Last-Subject-Sequence: 0 and a message id of the gate run's own (the servers
// look at the id first).
enum class StartAnswer : uint8_t {
    kFirst,          // stored: this gate runs the request
    kStoredBefore,   // a duplicate: this gate run stored it before (its answer may have been lost)
    kAlreadyStarted, // a record of the id exists: never again
    kFailed,         // no answer or another error: try later (the request stays queued)
};
StartAnswer ReadStartAnswer(const std::string& answer);

// Readings of the JetStream API's JSON answers (nested objects allowed; bounded depth).
// The raw text of a top-level member's value; false when absent or the text is no object.
bool JsonMember(const std::string& object, const std::string& key, std::string& raw);
// A publish's answer from `stream`: {"stream":..,"seq":N} (also with "duplicate").
bool PublishStored(const std::string& answer, const char* stream);
// A publish's answer that says "duplicate": the stream had a message of that id already.
bool PublishDuplicate(const std::string& answer);
// An error answer: its description and err_code; false when the answer is no error.
bool ApiError(const std::string& answer, std::string& description, uint64_t& err_code);
// $JS.API.STREAM.INFO: the first and last sequence held.
bool StreamRange(const std::string& answer, uint64_t& first, uint64_t& last);
// $JS.API.STREAM.MSG.GET: the stored message's subject and payload.
bool StoredMessage(const std::string& answer, std::string& subject, std::string& data);

std::string Base64(const std::string& bytes);
bool FromBase64(const std::string& text, std::string& bytes);

} // namespace pm::remote
