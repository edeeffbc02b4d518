// The gate's queued requests: while the link is up and the agent runs, one long pull at a time
// from the machine's consumer of PROCMGR_QUEUE; each request fetched is recorded "started" in
// PROCMGR_RESULTS only if no record of its id exists (else it is acknowledged and never run;
// the record carries a message id of this runner's own, so that one it stored while the answer
// was lost comes back a duplicate, and the request runs then), acknowledged, run through the gate's
// own forwarding and recorded "done" with the node's reply. A request past its expiry is recorded
// "expired" and never runs: its age is judged by the servers' clock where they tell it (the ack
// subject's stored time, the consumer's last delivery), the machine's own clock may be minutes
// wrong. The API's answers come to procmgr.<machine>.acks.q<random>-<n>, a pulled request with its
// own subject (procmgr.<machine>.queue) and the consumer's ack subject. Portable: standard threads;
// the gate gives the hooks.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "outside/pmgate/gate_bus.h"
#include "shared/nats/protocol_parser.h"
#include "shared/remote/queue.h"

namespace pm::gate {

struct QueueHooks {
    std::function<bool()> connected;
    std::function<bool(const std::string& node)> node_running;
    std::function<void(const BusMessage& m)> publish;
    // Runs the request as a live one; `done` is called once (any thread) with the gate status
    // (0: `reply` is the node's reply message).
    using Done = std::function<void(uint32_t status, std::string reply)>;
    std::function<void(const remote::QueuedRequest& q, Done done)> run;
    std::function<uint64_t()> now_ms; // ms since 1970, UTC
    std::function<void(const std::string& line)> trace;
};

class QueueRunner {
public:
    QueueRunner(std::string machine, QueueHooks hooks);
    QueueRunner(const QueueRunner&) = delete;
    QueueRunner& operator=(const QueueRunner&) = delete;
    ~QueueRunner(); // stops and joins

    void Start();
    void Stop();
    // True when the message was an answer to the runner (taken).
    bool OnAnswer(const nats::Message& m);
    // Looks at the queue now (the link has just connected), ending a pull that waits.
    void Kick();
    // The "started" (or "expired") record's message id for a request: this runner's own.
    [[nodiscard]] std::string StartMessageId(const std::string& request_id) const;

private:
    void Loop();
    void Handle(const nats::Message& m);
    // Publishes with a fresh reply subject and waits for its one answer.
    bool Ask(BusMessage question, uint32_t wait_ms, nats::Message& answer);
    bool Record(const remote::QueueResult& r, const std::string& msg_id, bool first,
                std::string& answer);
    // The servers' times of the request delivered with `ack`; false when the consumer's
    // information, answered before, was not now (the request stays queued).
    bool ServerTimesOf(const std::string& ack, remote::ServerTimes& out);
    // This runner started the request before (bounded: the stream's duplicate window is far
    // shorter than the requests this keeps).
    bool StartedHere(const std::string& request_id) const;
    void Started(const std::string& request_id);

    std::string machine_;
    std::string prefix_; // procmgr.<machine>.acks.q<random>-
    std::string queue_subject_, ack_prefix_;
    QueueHooks hooks_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false, kicked_ = false, answered_ = false, pulling_ = false;
    bool abandon_pull_ = false;    // the link connected again while a pull waited
    bool info_answered_ = false;   // by the runner's thread only
    uint32_t info_unanswered_ = 0; // while never answered, likewise
    uint64_t asks_ = 0;
    std::string waiting_for_;
    nats::Message answer_;
    std::deque<std::string> started_; // by the runner's thread only, newest last
    std::thread thread_;
};

} // namespace pm::gate
