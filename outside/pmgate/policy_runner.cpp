// Portable: the gate's policies over time.
#include "outside/pmgate/policy_runner.h"

#include "outside/pmgate/gate_messages.h"

#include <chrono>
#include <cstdio>
#include <limits>

#include "shared/remote/compliance.h"
#include "shared/remote/policy_bucket.h"
#include "shared/remote/queue.h"
#include "shared/remote/subjects.h"

namespace pm::gate {
namespace {

constexpr uint32_t kAnswerWaitMs = 5000;
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

bool SamePolicies(const std::vector<remote::PolicyAt>& a, const std::vector<remote::PolicyAt>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].revision != b[i].revision || !(a[i].policy == b[i].policy)) return false;
    return true;
}

} // namespace

PolicyRunner::PolicyRunner(std::string machine, PolicyHands hands, PolicyHooks hooks)
    : machine_(std::move(machine)), prefix_(AnswerPrefix(machine_, 'p')),
      watch_prefix_(std::string("$KV.") + remote::kPolicyBucket + "."),
      keeper_(machine_, std::move(hands)), hooks_(std::move(hooks)) {}

PolicyRunner::~PolicyRunner() {
    Stop();
}

std::string PolicyRunner::WatchSubject() {
    return std::string("$KV.") + remote::kPolicyBucket + ".>";
}

void PolicyRunner::Start() {
    thread_ = std::thread([this] { Loop(); });
}

void PolicyRunner::Stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void PolicyRunner::Kick() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        changed_ = true;
    }
    wake_.notify_all();
}

bool PolicyRunner::OnMessage(const nats::Message& m) {
    if (m.subject.compare(0, watch_prefix_.size(), watch_prefix_) == 0) {
        hooks_.trace("--policies: a change heard on " + m.subject);
        Kick();
        return true;
    }
    if (m.subject.compare(0, prefix_.size(), prefix_) != 0) return false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (m.subject != waiting_for_ || answered_) return true; // one given up on
        answer_ = m.payload;
        answered_ = true;
    }
    wake_.notify_all();
    return true;
}

bool PolicyRunner::Ask(const std::string& subject, const std::string& payload,
                       std::string& answer) {
    std::unique_lock<std::mutex> hold(lock_);
    if (stop_) return false;
    waiting_for_ = prefix_ + std::to_string(++asks_);
    answered_ = false;
    const BusMessage question{subject, waiting_for_, {}, payload};
    hold.unlock();
    hooks_.publish(question);
    hold.lock();
    const bool got = wake_.wait_for(hold, std::chrono::milliseconds(kAnswerWaitMs), [this] {
        return stop_ || answered_;
    }) && answered_;
    waiting_for_.clear();
    if (got) answer = std::move(answer_);
    return got;
}

PolicyRunner::Read PolicyRunner::ReadPolicies() {
    std::vector<remote::PolicyRevision> read;
    std::string error;
    const remote::ApiAsk ask = [this](const std::string& subject, const std::string& payload,
                                      std::string& answer) {
        return Ask(subject, payload, answer);
    };
    if (!remote::ReadPolicies(ask, read, error, &read_seq_)) {
        hooks_.trace("!!policies not read: " + error);
        return Read::kFailed;
    }
    std::vector<remote::PolicyAt> policies = remote::PoliciesAt(
        read, [this](const remote::PolicyRevision& r, const remote::PolicyError& e) {
            hooks_.trace("!!policy " + r.name + " revision " + std::to_string(r.revision) +
                         " does not read: " + remote::PolicyErrorText(e));
        });
    const bool same = have_policies_ && SamePolicies(policies, policies_);
    policies_ = std::move(policies);
    have_policies_ = true;
    return same ? Read::kSame : Read::kChanged;
}

bool PolicyRunner::BucketChanged() {
    std::string answer;
    uint64_t first = 0, last = 0;
    if (!Ask(std::string("$JS.API.STREAM.INFO.") + remote::kPolicyStream, "", answer) ||
        !remote::StreamRange(answer, first, last))
        return false; // the read that follows a failure says why
    return last != read_seq_;
}

void PolicyRunner::Round(uint64_t now) {
    remote::Compliance record;
    if (!keeper_.Reconcile(policies_, now, record)) {
        hooks_.trace("!!policies: the machine cannot be read now");
        next_round_ms_ = now + kRetryMs;
        return;
    }
    const uint64_t interval = keeper_.IntervalMs(policies_);
    next_round_ms_ = interval == 0 ? kNever : now + keeper_.NextDelayMs(policies_, record);
    if (record.items.empty() && !named_before_) return;
    std::string answer;
    if (!Ask(remote::ComplianceSubject(machine_), remote::ComplianceJson(record), answer) ||
        !remote::PublishStored(answer, remote::kComplianceStream)) {
        hooks_.trace("!!compliance not stored: " + (answer.empty() ? "no answer" : answer));
        next_round_ms_ = now + kRetryMs;
        return;
    }
    named_before_ = !record.items.empty();
}

void PolicyRunner::Loop() {
    bool read_due = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait_for(hold, std::chrono::seconds(1), [this] { return stop_ || changed_; });
            if (stop_) return;
            read_due = read_due || changed_;
            changed_ = false;
        }
        if (!hooks_.connected()) continue;
        const uint64_t now = hooks_.now_ms();
        // A change missed (heard on no connection) is found at the next round: the bucket's
        // last revision is compared first, one request.
        const bool round_due = have_policies_ && now >= next_round_ms_;
        if (round_due && !read_due && BucketChanged()) {
            hooks_.trace("--policies: the bucket changed unheard");
            read_due = true;
        }
        if (read_due || now >= next_read_ms_) {
            const Read read = ReadPolicies();
            // A change heard, or a new connection, is followed by a round even when the
            // policies read the same: the machine may have changed meanwhile.
            if (read == Read::kChanged || (read == Read::kSame && read_due)) next_round_ms_ = 0;
            // A bucket never written to has nothing to keep: no round, not a request to the
            // agent, until a change is heard or read.
            if (read != Read::kFailed && read_seq_ == 0 && !named_before_) next_round_ms_ = kNever;
            next_read_ms_ = now + (read == Read::kFailed ? kRetryMs : kRereadMs);
            read_due = false;
        }
        if (have_policies_ && now >= next_round_ms_) Round(now);
    }
}

} // namespace pm::gate
