// Presence objects, written and read by a small scanner of flat JSON objects that accepts any
// bytes without reading past them. Portable: no OS code here.
#include "shared/remote/presence.h"

#include <map>

#include "shared/remote/subjects.h"
#include "shared/text/json_string.h"

namespace pm::remote {
namespace {

// One flat object: keys to their values, strings unescaped, atoms (numbers, true, false,
// null) as their text. Nested values are refused: a presence object has none.
class FlatObject {
public:
    bool Read(const std::string& s) {
        s_ = &s;
        i_ = 0;
        if (!Take('{')) return false;
        if (!Take('}')) {
            for (;;) {
                std::string key, value;
                bool text = false;
                if (!String(key) || !Take(':') || !Value(value, text)) return false;
                if (fields_.size() >= 64) return false;
                fields_[key] = {value, text};
                if (Take('}')) break;
                if (!Take(',')) return false;
            }
        }
        Blank();
        return i_ == s.size();
    }
    // Absent fields keep their default; a field of the wrong type fails.
    bool Text(const char* key, std::string& out) const {
        auto it = fields_.find(key);
        if (it == fields_.end()) return true;
        if (!it->second.second) return false;
        out = it->second.first;
        return true;
    }
    bool Bool(const char* key, bool& out) const {
        auto it = fields_.find(key);
        if (it == fields_.end()) return true;
        if (it->second.second || (it->second.first != "true" && it->second.first != "false"))
            return false;
        out = it->second.first == "true";
        return true;
    }
    bool Unsigned(const char* key, uint64_t& out) const {
        auto it = fields_.find(key);
        if (it == fields_.end()) return true;
        const std::string& t = it->second.first;
        if (it->second.second || t.empty() || t.size() > 19) return false;
        uint64_t v = 0;
        for (char c : t) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + static_cast<uint64_t>(c - '0');
        }
        out = v;
        return true;
    }

private:
    void Blank() {
        while (i_ < s_->size() &&
               ((*s_)[i_] == ' ' || (*s_)[i_] == '\t' || (*s_)[i_] == '\r' || (*s_)[i_] == '\n'))
            ++i_;
    }
    bool Take(char c) {
        Blank();
        if (i_ < s_->size() && (*s_)[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool String(std::string& out) {
        if (!Take('"')) return false;
        while (i_ < s_->size()) {
            char c = (*s_)[i_++];
            if (c == '"') return true;
            if (c == '\\') {
                if (i_ >= s_->size()) return false;
                c = (*s_)[i_++];
                if (c == 'u') {
                    if (i_ + 4 > s_->size()) return false;
                    unsigned v = 0;
                    for (int k = 0; k < 4; ++k) {
                        const char h = (*s_)[i_++];
                        const int d = (h >= '0' && h <= '9')   ? h - '0'
                                      : (h >= 'a' && h <= 'f') ? h - 'a' + 10
                                      : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                                               : -1;
                        if (d < 0) return false;
                        v = v * 16 + static_cast<unsigned>(d);
                    }
                    c = v < 0x80 ? static_cast<char>(v) : '?'; // the fields are ASCII
                } else if (c == 'n') {
                    c = '\n';
                } else if (c == 't') {
                    c = '\t';
                } else if (c == 'r') {
                    c = '\r';
                }
            }
            out += c;
        }
        return false;
    }
    bool Value(std::string& out, bool& text) {
        Blank();
        if (i_ < s_->size() && (*s_)[i_] == '"') {
            text = true;
            return String(out);
        }
        while (i_ < s_->size()) {
            const char c = (*s_)[i_];
            if (c == ',' || c == '}' || c == ' ' || c == '\t' || c == '\r' || c == '\n') break;
            if (c == '"' || c == '{' || c == '[' || c == ']' || c == ':') return false;
            out += c;
            ++i_;
        }
        return !out.empty();
    }

    const std::string* s_ = nullptr;
    size_t i_ = 0;
    std::map<std::string, std::pair<std::string, bool>> fields_;
};

const char* Flag(bool b) {
    return b ? "true" : "false";
}

} // namespace

std::string HelloSubject(const std::string& machine) {
    return std::string(kSubjectRoot) + "." + machine + ".hello";
}

std::string HeartbeatSubject(const std::string& machine) {
    return std::string(kSubjectRoot) + "." + machine + ".heartbeat";
}

std::string PresenceJson(const Presence& p) {
    return "{\"kind\":" + JsonString(p.kind) + ",\"machine\":" + JsonString(p.machine) +
           ",\"gate_version\":" + JsonString(p.gate_version) +
           ",\"agent_running\":" + Flag(p.agent_running) +
           ",\"host_running\":" + Flag(p.host_running) +
           ",\"agent_version\":" + JsonString(p.agent_version) +
           ",\"host_version\":" + JsonString(p.host_version) +
           ",\"uptime_s\":" + std::to_string(p.uptime_s) +
           ",\"heartbeat_s\":" + std::to_string(p.heartbeat_s) + "}";
}

bool ParsePresence(const std::string& json, Presence& out) {
    FlatObject o;
    if (!o.Read(json)) return false;
    Presence p;
    uint64_t heartbeat = p.heartbeat_s;
    if (!o.Text("kind", p.kind) || !o.Text("machine", p.machine) ||
        !o.Text("gate_version", p.gate_version) || !o.Bool("agent_running", p.agent_running) ||
        !o.Bool("host_running", p.host_running) || !o.Text("agent_version", p.agent_version) ||
        !o.Text("host_version", p.host_version) || !o.Unsigned("uptime_s", p.uptime_s) ||
        !o.Unsigned("heartbeat_s", heartbeat))
        return false;
    if (p.kind != "hello" && p.kind != "heartbeat" && p.kind != "discover") return false;
    if (!IsValidMachineName(p.machine)) return false;
    // A period of 0 or of more than a day is no period: the default is kept.
    p.heartbeat_s = heartbeat >= 1 && heartbeat <= 86400 ? static_cast<uint32_t>(heartbeat)
                                                         : kDefaultHeartbeatSeconds;
    out = p;
    return true;
}

const char* MachineStateText(MachineState state) {
    switch (state) {
    case MachineState::kUp:
        return "up";
    case MachineState::kLost:
        return "lost";
    case MachineState::kAgentNotRunning:
        return "agent not running";
    case MachineState::kHostNotRunning:
        return "host not running";
    }
    return "?";
}

MachineState StateOf(const Presence& last, uint64_t silent_ms) {
    if (silent_ms > uint64_t{kMissedHeartbeatsLost} * last.heartbeat_s * 1000u)
        return MachineState::kLost;
    if (!last.agent_running) return MachineState::kAgentNotRunning;
    if (!last.host_running) return MachineState::kHostNotRunning;
    return MachineState::kUp;
}

} // namespace pm::remote
