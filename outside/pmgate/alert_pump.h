// The monitor host's alerts into the stream PROCMGR_ALERTS: the host is asked for the alerts
// above the last one seen (Poll, every two seconds); each goes into a bounded outbox and is
// published one at a time (so that the stream keeps them in order), each saying the subject's
// last sequence it follows, and kept until a later write proves it in the stream (AlertOutbox:
// what the stream lacks goes again). The stream's answers come to
// procmgr.<machine>.acks.a<random>-<n>. Nothing is lost while the link is down; past 10,000
// waiting alerts the oldest go, counted in the trace. Portable: the host through LocalNode, the
// cluster through GateBus.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "outside/pmgate/gate_bus.h"
#include "outside/pmgate/gate_clock.h"
#include "outside/pmgate/keyed_hash.h"
#include "outside/pmgate/local_node.h"
#include "shared/nats/protocol_parser.h"
#include "shared/remote/alerts.h"

namespace pm::gate {

// The alerts' message ids as published. The stream drops a message whose id it holds, whatever
// its subject, and names the last id it stored to any writer that asks (a refused
// Nats-Expected-Last-Msg-Id). So each id carries a tag of its own ("<id>.<tag>"): a keyed hash of
// it under a secret only this machine's login knows. Another machine can then neither take this
// one's ids first nor make the next one from an id it saw. Without a password: no tag.
class AlertIds {
public:
    AlertIds() = default;
    // `hash` must outlive this.
    AlertIds(const KeyedHash& hash, const std::string& password, const std::string& machine);
    [[nodiscard]] std::string Tagged(const std::string& id) const;

private:
    const KeyedHash* hash_ = nullptr;
    std::string key_;
};

// The newest host alert the stream stored (its time and number), kept in a small file so that
// a gate started again does not send the host's older alerts once more: the stream would store
// again those older than its duplicate window, and newer alerts would wait behind them.
struct AlertMark {
    uint32_t time = 0; // seconds since 1970; 0: none
    uint32_t seq = 0;
};
// "TIME SEQ\n"; false (and `mark` none) when the file is missing or not that.
bool LoadAlertMark(const std::string& path, AlertMark& mark);
// Written in place: a torn write reads as no mark, and the host's alerts are sent again, which
// the stream takes as duplicates within its window.
bool SaveAlertMark(const std::string& path, const AlertMark& mark);
// True when the host alert came after the mark (a host started again numbers from 1, later).
bool AfterMark(const AlertMark& mark, uint32_t time, uint32_t seq);

class AlertPump {
public:
    using TraceFn = std::function<void(const std::string&)>;
    // `mark_path`: where the mark is kept (empty: nowhere, every alert the host keeps is sent).
    AlertPump(std::string machine, AlertIds ids, GateBus& bus, LocalNode& node,
              const GateClock& clock, TraceFn trace, std::string mark_path = std::string());
    AlertPump(const AlertPump&) = delete;
    AlertPump& operator=(const AlertPump&) = delete;

    // procmgr.<machine>.acks.>: the stream's answers (the gate subscribes to it).
    static std::string AckWildcard(const std::string& machine);

    // Asks the host (when it runs) for its new alerts, unless the last question is still out;
    // the answer fills the outbox when it comes.
    void Poll();
    // Publishes the write the outbox has due (the oldest waiting alert, or the newest stored
    // again to prove it), when nothing is in flight (or its answer is overdue).
    void Publish();
    // True when the message was the stream's answer to an alert (taken).
    bool OnAnswer(const nats::Message& m);

private:
    void Answered(uint64_t ask, const NodeRequest& c);
    void Settled(const remote::AlertOutbox::Settled& r);

    const std::string machine_;
    const AlertIds ids_;
    // procmgr.<machine>.acks.a<random>-: another machine's login may name this machine's acks
    // subjects as its reply subjects, and so land the stream's answers to its own writes there.
    const std::string ack_prefix_;
    GateBus& bus_;
    LocalNode& node_;
    const GateClock& clock_;
    TraceFn trace_;
    std::mutex lock_;
    remote::AlertOutbox outbox_{10000};
    uint32_t after_ = 0;  // the host's newest alert seen
    uint64_t asks_ = 0;   // questions to the host so far
    uint64_t asking_ = 0; // the one out, 0: none
    uint64_t asked_at_ = 0;
    const std::string mark_path_;
    AlertMark mark_;
    bool mark_told_ = false; // a mark that could not be written, traced once
    remote::AlertOutbox::Outgoing in_flight_;
    std::string ack_subject_; // where its answer comes; empty: none in flight
    uint64_t ack_number_ = 0;
    uint64_t sent_at_ = 0;
};

} // namespace pm::gate
