// Portable: the gate's queued requests.
#include "outside/pmgate/queue_runner.h"

#include "outside/pmgate/gate_messages.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "shared/nats/headers.h"
#include "shared/remote/alerts.h"
#include "shared/remote/operations.h"
#include "shared/remote/statuses.h"
#include "shared/remote/subjects.h"

namespace pm::gate {
namespace {

// The pull waits this long at the server for a request, the runner a little longer.
constexpr const char* kPull = "{\"batch\":1,\"expires\":20000000000}";
constexpr uint32_t kPullWaitMs = 22000;
constexpr uint32_t kAnswerWaitMs = 5000;
// A node's completion comes within the gate's forwarding time-out; this bounds the wait.
constexpr uint32_t kRunWaitMs = 60000;
// The "done" record is published again until the stream takes it (it replaces itself).
constexpr int kRecordTries = 20;
// Consumer's information never answered this many times: the machine's clock decides.
constexpr uint32_t kInfoTriesBeforeClock = 2;
// A machine's clock this far off the servers' is said in the trace.
constexpr uint64_t kClockWarnMs = 60000;
// Requests this runner started, remembered: a duplicate of its own record within the stream's
// window (minutes) is one of these when it ran.
constexpr size_t kStartedKept = 1024;

} // namespace

QueueRunner::QueueRunner(std::string machine, QueueHooks hooks)
    : machine_(std::move(machine)), prefix_(AnswerPrefix(machine_, 'q')),
      queue_subject_(remote::QueueSubject(machine_)),
      ack_prefix_(std::string("$JS.ACK.") + remote::kQueueStream + "." +
                  remote::QueueConsumer(machine_) + "."),
      hooks_(std::move(hooks)) {}

QueueRunner::~QueueRunner() {
    Stop();
}

void QueueRunner::Start() {
    thread_ = std::thread([this] { Loop(); });
}

void QueueRunner::Stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void QueueRunner::Kick() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        kicked_ = true;
        // A pull made over the old link may have gone with its server: pulled again now, not
        // after the pull's whole wait.
        abandon_pull_ = pulling_;
    }
    wake_.notify_all();
}

bool QueueRunner::OnAnswer(const nats::Message& m) {
    // A pulled request comes on the pull's subscription with its own subject and the
    // consumer's ack subject as its reply; statuses and the API's answers on the reply subject.
    const bool pulled =
        m.subject == queue_subject_ && m.reply.compare(0, ack_prefix_.size(), ack_prefix_) == 0;
    if (!pulled && m.subject.compare(0, prefix_.size(), prefix_) != 0) return false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        // An answer to an earlier question (given up on) is dropped: a request it brings is
        // not acknowledged and comes again.
        if ((pulled ? !pulling_ : m.subject != waiting_for_) || answered_) return true;
        answer_ = m;
        answered_ = true;
    }
    wake_.notify_all();
    return true;
}

bool QueueRunner::Ask(BusMessage question, uint32_t wait_ms, nats::Message& answer) {
    std::unique_lock<std::mutex> hold(lock_);
    if (stop_) return false;
    waiting_for_ = prefix_ + std::to_string(++asks_);
    answered_ = abandon_pull_ = false;
    pulling_ = question.subject == remote::QueueNextSubject(machine_);
    question.reply = waiting_for_;
    hold.unlock();
    hooks_.publish(question);
    hold.lock();
    const bool got = wake_.wait_for(hold, std::chrono::milliseconds(wait_ms), [this] {
        return stop_ || answered_ || abandon_pull_;
    }) && answered_;
    waiting_for_.clear();
    pulling_ = false;
    if (got) answer = std::move(answer_);
    return got;
}

void QueueRunner::Loop() {
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait_for(hold, std::chrono::seconds(2), [this] { return stop_ || kicked_; });
            if (stop_) return;
            kicked_ = false;
        }
        // Only while the agent runs: what waits is for it, and it keeps waiting meanwhile.
        while (hooks_.connected() && hooks_.node_running(remote::kAgentNode)) {
            nats::Message m;
            if (!Ask({remote::QueueNextSubject(machine_), "", {}, kPull}, kPullWaitMs, m)) break;
            nats::HeaderBlock h;
            // A status instead of a request: none waits (404, 408), or no consumer (503).
            if (!m.headers.empty() && ParseHeaderBlock(m.headers, h) && h.code != 0) {
                if (h.code == 408) continue;
                break;
            }
            // A request is what the consumer delivers: the queue's subject, the consumer's ack
            // subject as its reply. Anything else on the pull's subject was sent by someone else.
            if (m.subject != queue_subject_ ||
                m.reply.compare(0, ack_prefix_.size(), ack_prefix_) != 0) {
                hooks_.trace("!!queue: a message the consumer did not deliver, dropped");
                continue;
            }
            Handle(m);
        }
    }
}

std::string QueueRunner::StartMessageId(const std::string& request_id) const {
    // The random part of the answers' prefix names this runner.
    return request_id + "-start-" + prefix_.substr(prefix_.rfind('.') + 2);
}

bool QueueRunner::StartedHere(const std::string& request_id) const {
    return std::find(started_.begin(), started_.end(), request_id) != started_.end();
}

void QueueRunner::Started(const std::string& request_id) {
    if (started_.size() >= kStartedKept) started_.pop_front();
    started_.push_back(request_id);
}

bool QueueRunner::Record(const remote::QueueResult& r, const std::string& msg_id, bool first,
                         std::string& answer) {
    // The first record is stored only where no record of the request exists; published again
    // after a lost answer, another runner's is refused as "wrong last sequence" and this one's
    // comes back a duplicate (the servers look at the message id first).
    BusMessage question{
        remote::ResultSubject(machine_, r.request.id), "", {}, remote::ResultJson(r)};
    if (first) question.headers.emplace_back(remote::kExpectedLastSubjectSeqHeader, "0");
    question.headers.emplace_back(remote::kMsgIdHeader, msg_id);
    nats::Message m;
    if (!Ask(std::move(question), kAnswerWaitMs, m)) return false;
    answer = m.payload;
    return true;
}

bool QueueRunner::ServerTimesOf(const std::string& ack, remote::ServerTimes& out) {
    uint64_t seq = 0, stored = 0;
    if (remote::ReadAckSubject(ack, seq, stored)) out.stored_ms = stored;
    nats::Message info;
    // Unanswered: later. Never answered, twice: a server or a login without it, and the
    // machine's clock decides (not at the first: a server just started again leaves it
    // unanswered too, and a machine's clock may be minutes off).
    if (!Ask({remote::QueueConsumerInfoSubject(machine_), "", {}, ""}, kAnswerWaitMs, info))
        return !info_answered_ && ++info_unanswered_ >= kInfoTriesBeforeClock;
    info_answered_ = true;
    // One request in flight: the consumer's last delivery is this one, unless another server
    // leads the consumer now and has not delivered it.
    uint64_t delivered_seq = 0, at = 0;
    if (remote::ReadLastDelivery(info.payload, delivered_seq, at) &&
        (seq == 0 || delivered_seq == seq))
        out.delivered_ms = at;
    return true;
}

void QueueRunner::Handle(const nats::Message& m) {
    remote::QueuedRequest q;
    const bool parsed = remote::ParseQueued(m.payload, q);
    remote::ServerTimes server;
    if (parsed && q.machine == machine_ && !ServerTimesOf(m.reply, server)) {
        hooks_.trace("--queue " + q.id + ": the consumer's information did not come, later");
        return; // not acknowledged: it comes again after the consumer's wait
    }
    const uint64_t now = hooks_.now_ms();
    const uint64_t off = server.delivered_ms == 0    ? 0
                         : now > server.delivered_ms ? now - server.delivered_ms
                                                     : server.delivered_ms - now;
    if (off > kClockWarnMs)
        hooks_.trace("!!queue: this machine's clock is " + std::to_string(off / 1000) +
                     " s off the servers': their clock decides the expiry");
    const remote::QueueAction action = remote::Decide(parsed, q, machine_, now, server);
    if (action == remote::QueueAction::kDrop) {
        hooks_.trace("!!queue: a message that is no request for this machine, dropped");
        hooks_.publish({m.reply, "", {}, "+TERM"});
        return;
    }
    remote::Subject subject;
    remote::ParseSubject(q.subject, subject);
    if (action == remote::QueueAction::kRun && !hooks_.node_running(subject.node)) {
        // Not acknowledged: it comes again after the consumer's wait.
        hooks_.trace("--queue " + q.id + ": " + subject.node + " is not running, later");
        return;
    }
    remote::QueueResult r;
    r.request = q;
    r.request.request.clear();
    r.state = action == remote::QueueAction::kRun ? remote::QueueState::kStarted
                                                  : remote::QueueState::kExpired;
    r.at_ms = hooks_.now_ms();
    std::string answer;
    if (!Record(r, StartMessageId(q.id), true, answer)) return; // stays queued: asked later
    switch (remote::ReadStartAnswer(answer)) {
    case remote::StartAnswer::kFailed:
        hooks_.trace("!!queue " + q.id + ": the results stream did not take it: " + answer);
        return;
    case remote::StartAnswer::kStoredBefore:
        // This runner's own record: run unless it ran (its acknowledgement was lost).
        if (!StartedHere(q.id)) {
            hooks_.trace("--queue " + q.id + ": its record was stored, the answer lost: now");
            // The record stored may say "started": expired since, it says so instead (the
            // subject keeps one record).
            if (r.state == remote::QueueState::kExpired &&
                (!Record(r, StartMessageId(q.id) + "-expired", false, answer) ||
                 !remote::PublishStored(answer, remote::kResultStream)))
                return; // stays queued: asked again later
            break;
        }
        [[fallthrough]];
    case remote::StartAnswer::kAlreadyStarted:
        hooks_.trace("--queue " + q.id + ": already started once, not run again");
        hooks_.publish({m.reply, "", {}, "+ACK"});
        return;
    case remote::StartAnswer::kFirst:
        break;
    }
    Started(q.id);
    hooks_.publish({m.reply, "", {}, "+ACK"});
    if (r.state == remote::QueueState::kExpired) {
        hooks_.trace("--queue " + q.id + ": expired, not run");
        return;
    }
    hooks_.trace("->queue " + q.id + ": " + q.subject);
    // Shared with the completion, which may come after the runner gave up waiting.
    struct Outcome {
        std::mutex lock;
        std::condition_variable wake;
        bool done = false;
        uint32_t status = 0;
        std::string reply;
    };
    auto outcome = std::make_shared<Outcome>();
    hooks_.run(q, [outcome](uint32_t s, std::string bytes) {
        std::lock_guard<std::mutex> hold(outcome->lock);
        outcome->status = s;
        outcome->reply = std::move(bytes);
        outcome->done = true;
        outcome->wake.notify_all();
    });
    uint32_t status = static_cast<uint32_t>(remote::GateStatus::kNoReply);
    std::string reply;
    {
        std::unique_lock<std::mutex> hold(outcome->lock);
        if (outcome->wake.wait_for(hold, std::chrono::milliseconds(kRunWaitMs),
                                   [&] { return outcome->done; })) {
            status = outcome->status;
            reply = std::move(outcome->reply);
        }
    }
    r.state = remote::QueueState::kDone;
    r.at_ms = hooks_.now_ms();
    r.gate_status = status;
    r.reply_size = reply.size();
    if (reply.size() <= remote::kMaxKeptReply) r.reply = std::move(reply);
    for (int k = 0; k < kRecordTries; ++k) {
        if (Record(r, q.id + "-done", false, answer) &&
            remote::PublishStored(answer, remote::kResultStream))
            break;
        {
            std::unique_lock<std::mutex> hold(lock_);
            if (wake_.wait_for(hold, std::chrono::seconds(3), [this] { return stop_; })) break;
        }
    }
    hooks_.trace("<-queue " + q.id + ": status " + std::to_string(status) + ", " +
                 std::to_string(r.reply_size) + " bytes");
}

} // namespace pm::gate
