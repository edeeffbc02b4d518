// Portable: the policy document.
#include "shared/remote/policy.h"

#include <algorithm>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "shared/remote/json_text.h"

#include "shared/monitor/monitor_record.h"
#include "shared/remote/machine_pattern.h"

namespace pm::remote {
namespace {

using Json = nlohmann::json;

constexpr size_t kMaxNameBytes = 256;

struct Word {
    const char* text;
    uint8_t bit;
};
constexpr Word kConditionWords[] = {{"start", monitor::kCondRunning},
                                    {"stop", monitor::kCondTermination},
                                    {"not-started", monitor::kCondNotStarted}};

// The line a key's path is written on: each key searched after the one before it (as a JSON
// string followed by a colon), the last one's first `skip` places passed over. 0 when not found.
size_t LineOf(const std::string& text, const std::vector<std::string>& path, size_t skip = 0) {
    if (path.empty()) return 0;
    size_t at = 0;
    for (size_t k = 0; k < path.size(); ++k) {
        const std::string& key = path[k];
        const std::string quoted = JsonText(Json(key));
        size_t found = std::string::npos;
        for (size_t from = at; (from = text.find(quoted, from)) != std::string::npos; ++from) {
            size_t colon = from + quoted.size();
            while (colon < text.size() && (text[colon] == ' ' || text[colon] == '\t' ||
                                           text[colon] == '\r' || text[colon] == '\n'))
                ++colon;
            if (colon < text.size() && text[colon] == ':') {
                if (k + 1 == path.size() && skip > 0) {
                    --skip;
                    continue;
                }
                found = from;
                break;
            }
        }
        if (found == std::string::npos) return 0;
        at = found + quoted.size();
    }
    return static_cast<size_t>(std::count(text.begin(), text.begin() + at, '\n')) + 1;
}

std::string ShownValue(const Json& v) {
    std::string s = v.is_string() ? v.get<std::string>() : JsonText(v);
    if (s.size() > 80) s = s.substr(0, 77) + "...";
    return s;
}

// Collects the first fault with its place in the text.
class Reader {
public:
    Reader(const std::string& text, PolicyError& error) : text_(text), error_(error) {}

    bool Fail(const std::vector<std::string>& path, const Json* value, const std::string& why,
              size_t skip = 0) {
        error_ = PolicyError();
        error_.line = LineOf(text_, path, skip);
        for (const std::string& k : path)
            error_.key += (error_.key.empty() ? "" : ".") + k;
        if (value != nullptr) error_.value = ShownValue(*value);
        error_.message = why;
        return false;
    }

    bool Name(const std::vector<std::string>& path, const std::string& name, bool exe) {
        if (name.empty() || name.size() > kMaxNameBytes)
            return Fail(path, nullptr, "a name of 1 to 256 bytes");
        for (unsigned char c : name)
            if (c < 0x20 || c == 0x7F || c == '\\' || c == '/' || (exe && c == ':'))
                return Fail(path, nullptr,
                            exe ? "a bare executable name (no path, no control characters)"
                                : "a name without slashes or control characters");
        return true;
    }

    // One name per section, compared without case; the one written later is at fault.
    bool Once(std::map<std::string, std::string>& seen, const std::vector<std::string>& path,
              const std::string& name) {
        const auto added = seen.emplace(NameKey(name), name);
        if (added.second) return true;
        std::vector<std::string> other = path;
        other.back() = added.first->second;
        return Fail(LineOf(text_, other) > LineOf(text_, path) ? other : path, nullptr,
                    "named twice (names compare without case)");
    }

    bool Section(const Json& doc, const char* key, const Json*& out) {
        out = nullptr;
        const auto it = doc.find(key);
        if (it == doc.end()) return true;
        if (!it->is_object()) return Fail({key}, &*it, "must be an object");
        if (it->size() > kMaxPolicyItems) return Fail({key}, nullptr, "at most 256 items");
        out = &*it;
        return true;
    }

    bool Services(const Json& section, Policy& p) {
        std::map<std::string, std::string> seen;
        for (const auto& item : section.items()) {
            const std::vector<std::string> path = {"services", item.key()};
            if (!Name(path, item.key(), false) || !Once(seen, path, item.key())) return false;
            const Json& v = item.value();
            const std::string s = v.is_string() ? v.get<std::string>() : "";
            PolicyService svc;
            svc.name = item.key();
            if (s == "running")
                svc.state = ServiceWant::kRunning;
            else if (s == "stopped")
                svc.state = ServiceWant::kStopped;
            else if (s == "paused")
                svc.state = ServiceWant::kPaused;
            else
                return Fail(path, &v, "must be running, stopped or paused");
            p.services.push_back(svc);
        }
        return true;
    }

    bool Monitor(const std::vector<std::string>& path, const Json& v, PolicyMonitor& m) {
        if (!v.is_object()) return Fail(path, &v, "must be an object (on, start_timeout, level)");
        m.conditions = monitor::kCondRunning | monitor::kCondTermination;
        bool timeout_given = false;
        for (const auto& f : v.items()) {
            std::vector<std::string> at = path;
            at.push_back(f.key());
            const Json& x = f.value();
            if (f.key() == "on") {
                if (!x.is_array() || x.empty())
                    return Fail(at, &x, "a list of start, stop, not-started");
                m.conditions = 0;
                for (const Json& w : x) {
                    const Word* found = nullptr;
                    for (const Word& k : kConditionWords)
                        if (w.is_string() && w.get<std::string>() == k.text) found = &k;
                    if (found == nullptr) return Fail(at, &w, "must be start, stop or not-started");
                    m.conditions |= found->bit;
                }
            } else if (f.key() == "start_timeout") {
                if (!x.is_number_unsigned() || x.get<uint64_t>() == 0 || x.get<uint64_t>() > 0xFFFF)
                    return Fail(at, &x, "seconds, 1 to 65535");
                m.start_timeout = static_cast<uint16_t>(x.get<uint64_t>());
                timeout_given = true;
            } else if (f.key() == "level") {
                if (!x.is_number_unsigned() || x.get<uint64_t>() > 255)
                    return Fail(at, &x, "an alert level, 0 to 255");
                m.level = static_cast<uint8_t>(x.get<uint64_t>());
            } else {
                return Fail(at, nullptr, "unknown key (on, start_timeout, level)");
            }
        }
        const bool not_started = (m.conditions & monitor::kCondNotStarted) != 0;
        if (timeout_given && !not_started) {
            std::vector<std::string> at = path;
            at.push_back("start_timeout");
            return Fail(at, nullptr, "only with not-started in on");
        }
        if (not_started && !timeout_given) m.start_timeout = kDefaultPolicyInterval;
        return true;
    }

    bool Monitors(const Json& section, Policy& p) {
        std::map<std::string, std::string> seen;
        for (const auto& item : section.items()) {
            const std::vector<std::string> path = {"monitors", item.key()};
            if (!Name(path, item.key(), true) || !Once(seen, path, item.key())) return false;
            PolicyMonitor m;
            m.exe = NameKey(item.key());
            if (!Monitor(path, item.value(), m)) return false;
            p.monitors.push_back(m);
        }
        return true;
    }

    bool Forbidden(const Json& section, Policy& p) {
        std::map<std::string, std::string> seen;
        for (const auto& item : section.items()) {
            const std::vector<std::string> path = {"forbidden", item.key()};
            if (!Name(path, item.key(), true) || !Once(seen, path, item.key())) return false;
            const Json& v = item.value();
            const std::string s = v.is_string() ? v.get<std::string>() : "";
            PolicyForbidden f;
            f.exe = NameKey(item.key());
            if (s == "alert")
                f.action = ForbiddenAction::kAlert;
            else if (s == "kill")
                f.action = ForbiddenAction::kKill;
            else
                return Fail(path, &v, "must be alert or kill");
            p.forbidden.push_back(f);
        }
        return true;
    }

    bool Document(const Json& doc, Policy& p) {
        if (!doc.is_object()) return Fail({}, nullptr, "a policy is a JSON object");
        static const char* const kKeys[] = {"name",    "machines", "enabled",  "interval",
                                            "correct", "services", "monitors", "forbidden"};
        for (const auto& item : doc.items())
            if (std::find_if(std::begin(kKeys), std::end(kKeys),
                             [&](const char* k) { return item.key() == k; }) == std::end(kKeys))
                return Fail({item.key()}, nullptr,
                            "unknown key (name, machines, enabled, interval, correct, services, "
                            "monitors, forbidden)");
        const auto name = doc.find("name");
        if (name == doc.end()) return Fail({}, nullptr, "name is missing");
        if (!name->is_string() || !ValidPolicyName(name->get<std::string>()))
            return Fail({"name"}, &*name, "1 to 64 of A-Z a-z 0-9 _ -");
        p.name = name->get<std::string>();
        const auto machines = doc.find("machines");
        if (machines == doc.end()) return Fail({}, nullptr, "machines is missing");
        if (!machines->is_string() || !ValidMachinePattern(machines->get<std::string>()))
            return Fail({"machines"}, &*machines,
                        "machine names (a-z 0-9 _ -) with * and ?, comma-separated");
        p.machines = machines->get<std::string>();
        for (const char* key : {"enabled", "correct"}) {
            const auto it = doc.find(key);
            if (it == doc.end()) continue;
            if (!it->is_boolean()) return Fail({key}, &*it, "true or false");
            (key[0] == 'e' ? p.enabled : p.correct) = it->get<bool>();
        }
        const auto interval = doc.find("interval");
        if (interval != doc.end()) {
            if (!interval->is_number_unsigned() || interval->get<uint64_t>() < kMinPolicyInterval ||
                interval->get<uint64_t>() > kMaxPolicyInterval)
                return Fail({"interval"}, &*interval, "seconds, 5 to 86400");
            p.interval_s = static_cast<uint32_t>(interval->get<uint64_t>());
        }
        const Json* section = nullptr;
        if (!Section(doc, "services", section) || (section && !Services(*section, p))) return false;
        if (!Section(doc, "monitors", section) || (section && !Monitors(*section, p))) return false;
        if (!Section(doc, "forbidden", section) || (section && !Forbidden(*section, p)))
            return false;
        // By name without case: the stored form reads back in the same order.
        const auto by_name = [](const auto& a, const auto& b) {
            return NameKey(a.Name()) < NameKey(b.Name());
        };
        std::sort(p.services.begin(), p.services.end(), by_name);
        std::sort(p.monitors.begin(), p.monitors.end(), by_name);
        std::sort(p.forbidden.begin(), p.forbidden.end(), by_name);
        return true;
    }

private:
    const std::string& text_;
    PolicyError& error_;
};

} // namespace

std::string PolicyErrorText(const PolicyError& e) {
    std::string out = e.line != 0 ? "line " + std::to_string(e.line) + ": " : "";
    if (!e.key.empty()) out += e.key + (e.value.empty() ? ": " : " = ");
    if (!e.value.empty()) out += JsonText(Json(e.value)) + ": ";
    return out + e.message;
}

bool ValidPolicyName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-'))
            return false;
    return true;
}

bool ParsePolicy(const std::string& text, Policy& out, PolicyError& error) {
    if (text.size() > kMaxPolicyBytes) {
        error = PolicyError();
        error.message = "a policy is at most 64 KiB";
        return false;
    }
    // Duplicate keys: the library keeps the last; a document that says a thing twice is
    // refused instead, through the parser's callback.
    std::vector<std::set<std::string>> open;
    std::string twice;
    const Json::parser_callback_t cb = [&](int depth, Json::parse_event_t event, Json& parsed) {
        const size_t d = static_cast<size_t>(depth);
        if (event == Json::parse_event_t::object_start) {
            if (open.size() < d + 1) open.resize(d + 1);
            open[d].clear();
        } else if (event == Json::parse_event_t::key && twice.empty() && d >= 1 &&
                   open.size() >= d && !open[d - 1].insert(parsed.get<std::string>()).second) {
            twice = parsed.get<std::string>();
        }
        return true;
    };
    Json doc;
    try {
        doc = Json::parse(text, cb);
    } catch (const Json::parse_error& e) {
        error = PolicyError();
        const size_t at = std::min<size_t>(e.byte, text.size());
        error.line = static_cast<size_t>(
                         std::count(text.begin(), text.begin() + static_cast<long>(at), '\n')) +
                     1;
        const std::string what = e.what();
        const size_t colon = what.find("syntax error");
        error.message = "not JSON: " + (colon == std::string::npos ? what : what.substr(colon));
        return false;
    } catch (const Json::exception&) { // a number past what the library holds, among others
        error = PolicyError();
        error.message = "not JSON this reader takes (a number out of range?)";
        return false;
    }
    Reader reader(text, error);
    if (!twice.empty())
        return reader.Fail({twice}, nullptr, "a key written twice in one object", 1);
    Policy p;
    try {
        if (!reader.Document(doc, p)) return false;
    } catch (const Json::exception& e) { // every type is checked first: not expected
        return reader.Fail({}, nullptr, e.what());
    }
    out = std::move(p);
    return true;
}

std::string PolicyJson(const Policy& p) {
    nlohmann::ordered_json doc;
    doc["name"] = p.name;
    doc["machines"] = p.machines;
    doc["enabled"] = p.enabled;
    doc["interval"] = p.interval_s;
    doc["correct"] = p.correct;
    nlohmann::ordered_json services = nlohmann::ordered_json::object();
    for (const PolicyService& s : p.services)
        services[s.name] = ServiceWantText(s.state);
    doc["services"] = services;
    nlohmann::ordered_json monitors = nlohmann::ordered_json::object();
    for (const PolicyMonitor& m : p.monitors) {
        nlohmann::ordered_json on = nlohmann::ordered_json::array();
        for (const Word& w : kConditionWords)
            if (m.conditions & w.bit) on.push_back(w.text);
        nlohmann::ordered_json one;
        one["on"] = on;
        if (m.conditions & monitor::kCondNotStarted) one["start_timeout"] = m.start_timeout;
        one["level"] = m.level;
        monitors[m.exe] = one;
    }
    doc["monitors"] = monitors;
    nlohmann::ordered_json forbidden = nlohmann::ordered_json::object();
    for (const PolicyForbidden& f : p.forbidden)
        forbidden[f.exe] = ForbiddenActionText(f.action);
    doc["forbidden"] = forbidden;
    return JsonText(doc);
}

std::string NameKey(std::string name) {
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return name;
}

const char* ServiceWantText(ServiceWant s) {
    switch (s) {
    case ServiceWant::kRunning:
        return "running";
    case ServiceWant::kStopped:
        return "stopped";
    case ServiceWant::kPaused:
        return "paused";
    }
    return "running";
}

const char* ForbiddenActionText(ForbiddenAction a) {
    return a == ForbiddenAction::kKill ? "kill" : "alert";
}

} // namespace pm::remote
