// Portable: alert records and the outbox.
#include "shared/remote/alerts.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "shared/monitor/host_alerts.h"
#include "shared/remote/flat_json.h"
#include "shared/remote/queue.h"
#include "shared/remote/subjects.h"
#include "shared/text/json_scanner.h"
#include "shared/text/json_string.h"

namespace pm::remote {

std::string AlertSubject(const std::string& machine) {
    return std::string(kSubjectRoot) + "." + machine + ".alerts";
}

namespace {

constexpr uint64_t kNs = 1000000000ull;

} // namespace

std::string AlertStreamJson(uint32_t replicas) {
    return std::string("{\"name\":\"") + kAlertStream + "\",\"subjects\":[\"" + kAlertWildcard +
           "\"],\"retention\":\"limits\",\"storage\":\"file\",\"discard\":\"old\",\"num_"
           "replicas\":" +
           std::to_string(replicas) + ",\"max_age\":" + std::to_string(kAlertMaxAgeSeconds * kNs) +
           ",\"max_msgs_per_subject\":" + std::to_string(kAlertMaxPerMachine) +
           ",\"duplicate_window\":" + std::to_string(kAlertDuplicateWindowSeconds * kNs) +
           ",\"allow_direct\":true}";
}

std::string AlertDurableName(const std::string& user) {
    std::string durable = "pmconsole_" + user;
    for (char& c : durable)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
    return durable;
}

std::string AlertDurableJson(const std::string& user) {
    const std::string name = AlertDurableName(user);
    return std::string("{\"stream_name\":\"") + kAlertStream +
           "\",\"config\":{\"durable_name\":\"" + name +
           "\",\"deliver_policy\":\"all\",\"ack_policy\":\"explicit\",\"filter_subject\":\"" +
           kAlertWildcard + "\"}}";
}

std::string AlertFromTimeJson(uint64_t since_utc_ms, const std::string& deliver_subject) {
    return std::string("{\"stream_name\":\"") + kAlertStream +
           "\",\"config\":{\"deliver_subject\":" + JsonString(deliver_subject) +
           ",\"deliver_policy\":\"by_start_time\",\"opt_start_time\":\"" +
           host::UtcText(static_cast<uint32_t>(since_utc_ms / 1000)) +
           "\",\"ack_policy\":\"none\",\"max_deliver\":1,\"filter_subject\":\"" + kAlertWildcard +
           "\",\"mem_storage\":true,\"num_replicas\":1,\"inactive_threshold\":" +
           std::to_string(5 * kNs) + "}}";
}

std::string AlertRecord::MessageId() const {
    return machine + "-" + run + "-" + std::to_string(seq);
}

std::string AlertJson(const AlertRecord& a) {
    return "{\"machine\":" + JsonString(a.machine) + ",\"run\":" + JsonString(a.run) +
           ",\"seq\":" + std::to_string(a.seq) + ",\"time_ms\":" + std::to_string(a.time_ms) +
           ",\"monitor\":" + JsonString(a.monitor) + ",\"code\":" + std::to_string(a.code) +
           ",\"text\":" + JsonString(a.text) + "}";
}

bool ParseAlert(const std::string& json, AlertRecord& out) {
    FlatObject o;
    if (!o.Read(json)) return false;
    AlertRecord a;
    uint64_t code = 0;
    if (!o.Text("machine", a.machine) || !o.Text("run", a.run) || !o.Unsigned("seq", a.seq) ||
        !o.Unsigned("time_ms", a.time_ms) || !o.Text("monitor", a.monitor) ||
        !o.Unsigned("code", code) || !o.Text("text", a.text))
        return false;
    if (!IsValidMachineName(a.machine) || a.seq == 0 || code > 0xFFFFFFFFu) return false;
    a.code = static_cast<uint32_t>(code);
    out = a;
    return true;
}

bool ParseAlertOn(const std::string& subject, const std::string& json, AlertRecord& out) {
    AlertRecord a;
    if (!ParseAlert(json, a) || MachineOfSubject(subject, "alerts") != a.machine) return false;
    out = std::move(a);
    return true;
}

AlertRecord AlertFromHost(const std::string& machine, const host::HostAlert& a) {
    AlertRecord r;
    r.machine = machine;
    r.run = "host" + std::to_string(a.time);
    r.seq = a.seq == 0 ? 1 : a.seq;
    r.time_ms = uint64_t{a.time} * 1000;
    r.monitor = a.process;
    r.code = (uint32_t{a.level} << 16) | a.alert_class;
    r.text = host::KindWords(a.alert_class) + (a.key.empty() ? "" : " (" + a.key + ")");
    return r;
}

AlertAnswer ReadAlertAnswer(const std::string& payload) {
    std::string raw, description;
    uint64_t seq = 0, code = 0;
    AlertAnswer a;
    if (PublishStored(payload, kAlertStream) && JsonMember(payload, "seq", raw) &&
        JsonUnsigned(raw, seq)) {
        a.kind =
            PublishDuplicate(payload) ? AlertAnswer::Kind::kDuplicate : AlertAnswer::Kind::kStored;
        a.seq = seq;
        return a;
    }
    return ApiError(payload, description, code) ? AlertAnswerOfError(code, description) : a;
}

AlertAnswer AlertAnswerOfError(uint64_t err_code, const std::string& description) {
    constexpr uint64_t kWrongLastSequence = 10071;
    static const std::string kSays = "wrong last sequence: ";
    AlertAnswer a;
    if (err_code != kWrongLastSequence || description.compare(0, kSays.size(), kSays) != 0)
        return a;
    uint64_t seq = 0;
    if (!JsonUnsigned(description.substr(kSays.size()), seq)) return a;
    a.kind = AlertAnswer::Kind::kWrongLast;
    a.seq = seq;
    return a;
}

void AlertOutbox::Raise(AlertRecord alert) {
    Machine& m = machines_[alert.machine];
    if (m.kept.size() >= capacity_) {
        if (!m.kept.front().proven) {
            --unproven_;
            ++dropped_;
        }
        m.kept.pop_front();
    }
    std::string id = alert.MessageId();
    m.kept.push_back({std::move(alert), std::move(id)});
    ++unproven_;
}

bool AlertOutbox::Due(const Machine& m, uint64_t now_ms, Outgoing& out) {
    if (now_ms < m.wait_until) return false;
    for (const Kept& k : m.kept)
        if (k.seq == 0) { // not answered stored (or found lost): the oldest goes first
            out = {k.alert, k.id, m.last};
            return true;
        }
    // The newest not yet proven (the last of a burst) goes again: its duplicate proves it.
    for (auto k = m.kept.rbegin(); k != m.kept.rend(); ++k)
        if (!k->proven) {
            if (now_ms < m.answered_at + kAlertProveAfterMs) return false;
            out = {k->alert, k->id, m.last};
            return true;
        }
    return false;
}

std::vector<AlertOutbox::Outgoing> AlertOutbox::Next(size_t max, uint64_t now_ms) {
    std::vector<Outgoing> out;
    if (machines_.empty()) return out;
    auto it = machines_.upper_bound(turn_);
    for (size_t n = 0; n < machines_.size() && out.size() < max; ++n, ++it) {
        if (it == machines_.end()) it = machines_.begin();
        Outgoing o;
        if (Due(it->second, now_ms, o)) {
            out.push_back(std::move(o));
            turn_ = it->first;
        }
    }
    return out;
}

size_t AlertOutbox::Count(const Machine& m) {
    size_t n = 0;
    for (const Kept& k : m.kept)
        n += k.proven ? 0 : 1;
    return n;
}

AlertOutbox::Settled AlertOutbox::Answered(const Outgoing& sent, const AlertAnswer& answer,
                                           uint64_t now_ms) {
    Settled r;
    const auto it = machines_.find(sent.alert.machine);
    if (it == machines_.end() || sent.expect != it->second.last) return r;
    Machine& m = it->second;
    const auto found = std::find_if(m.kept.begin(), m.kept.end(),
                                    [&sent](const Kept& k) { return k.id == sent.id; });
    if (found == m.kept.end()) return r; // an answer to a write no longer due
    Kept* const written = &*found;
    const size_t before = Count(m);
    // The stream's leader checked the subject's last sequence before it stored (or found the id
    // of) the write: every alert up to it is in the stream.
    const auto prove = [&m, &r, now_ms](uint64_t upto) {
        for (Kept& k : m.kept)
            if (k.seq != 0 && k.seq <= upto && !k.proven) {
                k.proven = true;
                k.at = now_ms;
                ++r.proven;
            }
    };
    switch (answer.kind) {
    case AlertAnswer::Kind::kStored:
        r.restored = written->lost > 0 && written->seq == 0;
        written->seq = answer.seq;
        prove(sent.expect);
        m.last = answer.seq;
        m.answered_at = now_ms;
        break;
    case AlertAnswer::Kind::kDuplicate:
        // Found at or before the last sequence checked: in the stream. Found after it: it is
        // taken as the subject's last until a write shows otherwise (a write whose answer was
        // lost stored it; or the stream lost it and kept its id, which the next write finds).
        written->seq = answer.seq;
        if (answer.seq <= sent.expect) {
            prove(sent.expect);
        } else {
            m.last = answer.seq;
        }
        m.answered_at = now_ms;
        break;
    case AlertAnswer::Kind::kWrongLast: {
        uint64_t top = 0;
        for (const Kept& k : m.kept)
            top = std::max(top, k.seq);
        if (answer.seq < top) {
            // The stream lacks alerts it answered stored: from the first of them on, they go
            // again in order. With their ids first (the stream drops a copy it has); found lost
            // twice, with a new one (nats-server remembers the ids of some writes it lost).
            for (Kept& k : m.kept) {
                if (k.seq <= answer.seq) continue;
                k.seq = 0;
                k.proven = false;
                if (++k.lost >= 2) k.id = k.alert.MessageId() + ".again" + std::to_string(k.lost);
                ++r.lost;
            }
            m.wait_until = now_ms + kAlertLossPauseMs;
        }
        m.last = answer.seq;
        break;
    }
    case AlertAnswer::Kind::kFailed:
        m.wait_until = now_ms + kAlertRetryMs;
        break;
    }
    while (!m.kept.empty() && m.kept.front().proven && now_ms >= m.kept.front().at + kAlertKeptMs)
        m.kept.pop_front();
    if (r.proven != 0)
        for (auto k = m.kept.rbegin(); k != m.kept.rend(); ++k)
            if (k->proven) {
                r.newest = k->alert;
                break;
            }
    unproven_ = unproven_ + Count(m) - before;
    return r;
}

} // namespace pm::remote
