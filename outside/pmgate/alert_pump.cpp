// The alert pump. Portable.
#include "outside/pmgate/alert_pump.h"

#include <cstdint>
#include <fstream>
#include <memory>
#include <vector>

#include "outside/pmgate/gate_messages.h"
#include "shared/base/endian.h"
#include "shared/monitor/host_alerts.h"
#include "shared/remote/operations.h"
#include "shared/remote/queue.h"
#include "shared/remote/subjects.h"

namespace pm::gate {
namespace {

constexpr uint32_t kAskTimeoutMs = 10000;
// A question whose completion never came is given up on after this; its late answer is dropped.
constexpr uint64_t kAskOverdueMs = kAskTimeoutMs + 5000;
// An alert whose stored answer has not come in this time goes again (the stream keeps one).
constexpr uint64_t kAnswerOverdueMs = 5000;

} // namespace

bool LoadAlertMark(const std::string& path, AlertMark& mark) {
    mark = AlertMark();
    std::ifstream in(path);
    unsigned long long time = 0, seq = 0;
    if (!(in >> time >> seq) || time == 0 || time > UINT32_MAX || seq > UINT32_MAX) return false;
    mark.time = static_cast<uint32_t>(time);
    mark.seq = static_cast<uint32_t>(seq);
    return true;
}

bool SaveAlertMark(const std::string& path, const AlertMark& mark) {
    std::ofstream out(path, std::ios::trunc);
    out << mark.time << ' ' << mark.seq << '\n';
    out.close();
    return !out.fail();
}

bool AfterMark(const AlertMark& mark, uint32_t time, uint32_t seq) {
    return time > mark.time || (time == mark.time && seq > mark.seq);
}

AlertIds::AlertIds(const KeyedHash& hash, const std::string& password, const std::string& machine) {
    if (password.empty()) return;
    hash_ = &hash;
    key_ = hash.HmacSha256Hex(password, "procmgr alert ids " + machine);
}

std::string AlertIds::Tagged(const std::string& id) const {
    if (hash_ == nullptr || key_.empty()) return id;
    return id + "." + hash_->HmacSha256Hex(key_, id).substr(0, 16);
}

AlertPump::AlertPump(std::string machine, AlertIds ids, GateBus& bus, LocalNode& node,
                     const GateClock& clock, TraceFn trace, std::string mark_path)
    : machine_(std::move(machine)), ids_(std::move(ids)), ack_prefix_(AnswerPrefix(machine_, 'a')),
      bus_(bus), node_(node), clock_(clock), trace_(std::move(trace)),
      mark_path_(std::move(mark_path)) {
    if (!mark_path_.empty()) LoadAlertMark(mark_path_, mark_);
}

std::string AlertPump::AckWildcard(const std::string& machine) {
    return std::string(remote::kSubjectRoot) + "." + machine + ".acks.>";
}

void AlertPump::Poll() {
    if (!node_.Running(remote::kHostNode)) return;
    uint64_t ask = 0;
    uint32_t after = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const uint64_t now = clock_.MonotonicMs();
        if (asking_ != 0 && now - asked_at_ < kAskOverdueMs) return;
        ask = asking_ = ++asks_;
        asked_at_ = now;
        after = after_;
    }
    auto request = std::make_unique<NodeRequest>([this, ask](NodeRequest& c) { Answered(ask, c); });
    request->cmd_code = host::kCmdListAlerts;
    request->SetTargetAddr(remote::kHostNode);
    request->timeout_ms = kAskTimeoutMs;
    uint8_t bytes[4];
    le::Store32(bytes, after);
    request->AddParam(bytes, 4);
    node_.Send(std::move(request));
}

void AlertPump::Answered(uint64_t ask, const NodeRequest& c) {
    std::lock_guard<std::mutex> hold(lock_);
    if (ask != asking_) return; // given up on: a newer question asks from the same point
    asking_ = 0;
    if (c.status != 0 || c.GetResultCount() == 0 || c.GetResultSize(0) != 4) return;
    const uint64_t dropped = outbox_.Dropped();
    for (size_t i = 1; i < c.GetResultCount(); ++i) {
        host::HostAlert a;
        const std::string item(reinterpret_cast<const char*>(c.GetResult(i)), c.GetResultSize(i));
        if (host::DecodeAlert(item, &a) && AfterMark(mark_, a.time, a.seq == 0 ? 1 : a.seq))
            outbox_.Raise(remote::AlertFromHost(machine_, a));
    }
    after_ = le::Load32(c.GetResult(0));
    if (outbox_.Dropped() != dropped)
        trace_("!!alerts: " + std::to_string(outbox_.Dropped()) +
               " dropped while the stream was out of reach");
}

void AlertPump::Publish() {
    if (!bus_.Connected()) return;
    BusMessage m;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const uint64_t now = clock_.MonotonicMs();
        if (!ack_subject_.empty()) {
            if (now - sent_at_ < kAnswerOverdueMs) return;
            Settled(outbox_.Answered(in_flight_, remote::AlertAnswer(), now)); // unanswered
            ack_subject_.clear();
        }
        const std::vector<remote::AlertOutbox::Outgoing> next = outbox_.Next(1, now);
        if (next.empty()) return;
        in_flight_ = next[0];
        sent_at_ = now;
        ack_subject_ = ack_prefix_ + std::to_string(++ack_number_);
        m = AlertMessage(in_flight_.alert, ids_.Tagged(in_flight_.id), in_flight_.expect,
                         ack_subject_);
    }
    bus_.Publish(m);
}

bool AlertPump::OnAnswer(const nats::Message& m) {
    if (m.subject.compare(0, ack_prefix_.size(), ack_prefix_) != 0) return false;
    std::lock_guard<std::mutex> hold(lock_);
    if (m.subject != ack_subject_) return true; // a second answer, or one given up on
    ack_subject_.clear();
    Settled(outbox_.Answered(in_flight_, remote::ReadAlertAnswer(m.payload), clock_.MonotonicMs()));
    return true;
}

void AlertPump::Settled(const remote::AlertOutbox::Settled& r) {
    if (r.lost != 0)
        trace_("!!alerts: " + std::to_string(r.lost) +
               " answered stored are not in the stream: sent again");
    // The mark moves only past alerts proven in the stream.
    const AlertMark last = {static_cast<uint32_t>(r.newest.time_ms / 1000),
                            static_cast<uint32_t>(r.newest.seq)};
    if (r.newest.seq == 0 || !AfterMark(mark_, last.time, last.seq)) return;
    mark_ = last;
    if (!mark_path_.empty() && !SaveAlertMark(mark_path_, mark_) && !mark_told_) {
        mark_told_ = true;
        trace_("!!alerts: cannot write " + mark_path_ +
               ": a gate started again sends the host's kept alerts again");
    }
}

} // namespace pm::gate
