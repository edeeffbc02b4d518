// Portable: alert records and the outbox.
#include "shared/remote/alerts.h"

#include <cctype>
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

void AlertOutbox::Raise(AlertRecord alert) {
    if (waiting_.size() >= capacity_) {
        waiting_.pop_front();
        ++dropped_;
    }
    waiting_.push_back({std::move(alert)});
}

std::vector<AlertRecord> AlertOutbox::Next(size_t max, uint64_t now_ms) const {
    std::vector<AlertRecord> out;
    std::set<std::string> machines; // those whose oldest was seen
    for (size_t i = 0; i < waiting_.size() && i < kScanned && out.size() < max; ++i) {
        const Waiting& w = waiting_[i];
        if (machines.insert(w.alert.machine).second && w.held_until <= now_ms)
            out.push_back(w.alert);
    }
    return out;
}

AlertOutbox::Taken AlertOutbox::Answered(const std::string& message_id, bool duplicate,
                                         uint64_t waited_ms, uint64_t now_ms) {
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        if (it->alert.MessageId() != message_id) continue;
        if (waited_ms > kAlertPromptAnswerMs) {
            it->held_until = now_ms + kAlertConfirmAfterMs;
            it->confirming = true;
            return Taken::kHeld;
        }
        const bool lost = it->confirming && !duplicate;
        waiting_.erase(it);
        return lost ? Taken::kLostBefore : Taken::kStored;
    }
    return Taken::kNotWaiting;
}

} // namespace pm::remote
