// Portable: alert records and the outbox.
#include "shared/remote/alerts.h"

#include "shared/remote/flat_json.h"
#include "shared/remote/subjects.h"
#include "shared/text/json_string.h"

namespace pm::remote {

std::string AlertSubject(const std::string& machine) {
    return std::string(kSubjectRoot) + "." + machine + ".alerts";
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
    waiting_.push_back(std::move(alert));
}

std::vector<AlertRecord> AlertOutbox::Waiting(size_t max) const {
    std::vector<AlertRecord> out;
    for (size_t i = 0; i < waiting_.size() && i < max; ++i)
        out.push_back(waiting_[i]);
    return out;
}

void AlertOutbox::Stored(const std::string& message_id) {
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        if (it->MessageId() == message_id) {
            waiting_.erase(it);
            return;
        }
    }
}

} // namespace pm::remote
