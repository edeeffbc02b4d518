// Portable: alert records and the outbox.
#include "shared/remote/alerts.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "shared/monitor/host_alerts.h"
#include "shared/remote/flat_json.h"
#include "shared/remote/subjects.h"
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

std::string AlertReadBackSubject(const std::string& machine) {
    return std::string("$JS.API.DIRECT.GET.") + kAlertStream + "." + AlertSubject(machine);
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

ReadBackAnswer ReadReadBack(const std::string& machine, int status, const std::string& payload,
                            std::string& id) {
    constexpr int kNotFound = 404;
    if (status == kNotFound) return ReadBackAnswer::kNone;
    AlertRecord a;
    if (status != 0 || !ParseAlertOn(AlertSubject(machine), payload, a))
        return ReadBackAnswer::kFailed;
    id = a.MessageId();
    return ReadBackAnswer::kFound;
}

void AlertOutbox::Raise(AlertRecord alert) {
    if (waiting_.size() >= capacity_) {
        waiting_.pop_front();
        ++dropped_;
    }
    std::string id = alert.MessageId();
    waiting_.push_back({std::move(alert), std::move(id)});
}

std::vector<AlertOutbox::Outgoing> AlertOutbox::Next(size_t max, uint64_t now_ms) const {
    std::vector<Outgoing> out;
    std::map<std::string, uint64_t> first_stored; // a machine's first answer not yet read back
    std::set<std::string> seen;                   // machines whose oldest unanswered was seen
    for (size_t i = 0; i < waiting_.size() && i < kScanned && out.size() < max; ++i) {
        const Waiting& w = waiting_[i];
        if (w.stored) {
            first_stored.emplace(w.alert.machine, w.stored_at);
            continue;
        }
        if (!seen.insert(w.alert.machine).second) continue;
        const auto first = first_stored.find(w.alert.machine);
        if (first == first_stored.end() || now_ms < first->second + kAlertBatchMs)
            out.push_back({w.alert, w.id});
    }
    return out;
}

AlertOutbox::Taken AlertOutbox::Answered(const std::string& message_id, bool duplicate,
                                         uint64_t now_ms) {
    for (Waiting& w : waiting_) {
        if (w.stored || w.id != message_id) continue;
        w.stored = true;
        w.stored_at = now_ms;
        return w.missed > 0 && !duplicate ? Taken::kLostBefore : Taken::kStored;
    }
    return Taken::kNotWaiting;
}

std::vector<std::string> AlertOutbox::ReadBacksDue(size_t max, uint64_t now_ms) const {
    std::map<std::string, uint64_t> newest; // a machine's last answer not yet read back
    for (size_t i = 0; i < waiting_.size() && i < kScanned; ++i)
        if (waiting_[i].stored) {
            uint64_t& at = newest[waiting_[i].alert.machine];
            at = std::max(at, waiting_[i].stored_at);
        }
    std::vector<std::string> out;
    for (const auto& [machine, at] : newest) {
        if (out.size() >= max) break;
        const auto r = reading_.find(machine);
        if (now_ms >= at + kAlertReadBackAfterMs &&
            (r == reading_.end() || now_ms >= r->second.retry_at))
            out.push_back(machine);
    }
    return out;
}

AlertOutbox::ReadBack AlertOutbox::ReadBackFound(const std::string& machine,
                                                 const std::string& newest_id) {
    constexpr size_t kNone = static_cast<size_t>(-1);
    size_t found = kNone;
    for (size_t i = 0; i < waiting_.size() && !newest_id.empty() && found == kNone; ++i)
        if (waiting_[i].alert.machine == machine && waiting_[i].alert.MessageId() == newest_id)
            found = i;
    Reading& reading = reading_[machine];
    reading.failed = 0;
    // Is anything stored left unshown? Then this round reads again, up to its last read.
    bool unshown = false;
    for (size_t i = 0; i < waiting_.size() && !unshown; ++i)
        unshown = waiting_[i].alert.machine == machine && waiting_[i].stored &&
                  (found == kNone || i > found);
    const bool settle = unshown && ++reading.unshown >= kAlertReadsPerRound;
    if (!unshown || settle) reading_.erase(machine);
    ReadBack r;
    std::deque<Waiting> kept;
    for (size_t i = 0; i < waiting_.size(); ++i) {
        Waiting& w = waiting_[i];
        if (w.alert.machine == machine) {
            // Up to the one the stream shows: in it (an unanswered one before it is left be).
            if (found != kNone && i <= found && (w.stored || i == found)) {
                ++r.confirmed;
                r.last = w.alert;
                continue;
            }
            if (settle && w.stored) {
                if (++w.missed >= kAlertRoundsBeforeGivingUp) {
                    ++r.unconfirmed;
                    r.last = w.alert;
                    continue;
                }
                w.stored = false;
                if (w.missed >= kAlertRoundsBeforeNewId)
                    w.id = w.alert.MessageId() + ".again" + std::to_string(w.missed);
                ++r.missing;
            }
        }
        kept.push_back(std::move(w));
    }
    waiting_.swap(kept);
    return r;
}

AlertOutbox::ReadBack AlertOutbox::ReadBackCame(const std::string& machine, int status,
                                                const std::string& payload, uint64_t now_ms) {
    std::string id;
    return ReadReadBack(machine, status, payload, id) == ReadBackAnswer::kFailed
               ? ReadBackFailed(machine, now_ms)
               : ReadBackFound(machine, id);
}

AlertOutbox::ReadBack AlertOutbox::ReadBackFailed(const std::string& machine, uint64_t now_ms) {
    Reading& reading = reading_[machine];
    reading.unshown = 0;
    if (++reading.failed < kAlertReadBackTries) {
        reading.retry_at = now_ms + kAlertReadBackAfterMs;
        return ReadBack();
    }
    reading_.erase(machine);
    ReadBack r;
    std::deque<Waiting> kept;
    for (Waiting& w : waiting_) {
        if (w.alert.machine == machine && w.stored) {
            ++r.unconfirmed;
            r.last = w.alert;
            continue;
        }
        kept.push_back(std::move(w));
    }
    waiting_.swap(kept);
    return r;
}

} // namespace pm::remote
