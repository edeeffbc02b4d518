// Portable: stored alerts as Alertmanager alerts, and the forwarder's options.
#include "outside/pmconsole/fleet/alertmanager_alerts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "outside/pmconsole/console_request.h"
#include "outside/pmconsole/fleet/fleet_alerts.h"
#include "outside/pmconsole/fleet/fleet_metrics.h"
#include "outside/pmconsole/fleet/fleet_queue.h"
#include "shared/text/json_string.h"

namespace pm::console {

const char kForwardHelp[] =
    "usage: pmconsole fleet alerts --to-alertmanager URL[,URL] [--resolve-after DURATION]\n"
    "                              [--consumer NAME]\n"
    "Posts every alert stored in PROCMGR_ALERTS to Alertmanager's v2 API (each URL, e.g.\n"
    "http://127.0.0.1:9093), through the durable consumer NAME (default alertmanager, shared\n"
    "by every forwarder of the cluster). A stored alert is acknowledged only once every\n"
    "Alertmanager answered 200; until then it is tried again, waiting 1 s, doubling up to 30 s:\n"
    "nothing is lost while Alertmanager is down. Labels: alertname ProcmgrAlert, machine,\n"
    "monitor, alert (started, stopped, failed_to_start, class_0x...), severity (the monitor's\n"
    "level: 0 info, 1 warning, 2+ critical), id (the stream's message id); annotations: text,\n"
    "id. startsAt is the alert's time, endsAt that plus --resolve-after (default 5m); a\n"
    "failed_to_start alert stays firing until a started alert of the same monitor is stored.\n"
    "A reading that fails starts again every 5 s. Runs until SIGINT or SIGTERM.\n"
    "Exit codes: 0 stopped, 2 usage, 3 cannot connect.\n";

bool WantsForwarder(const std::vector<std::string>& args) {
    if (args.empty() || args[0] != "alerts") return false;
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "--to-alertmanager") return true;
    }
    return false;
}

bool SplitAlertmanagerUrl(const std::string& url, std::string& origin, std::string& path) {
    size_t scheme = 0;
    if (url.compare(0, 7, "http://") == 0)
        scheme = 7;
    else if (url.compare(0, 8, "https://") == 0)
        scheme = 8;
    else
        return false;
    const size_t slash = url.find('/', scheme);
    origin = url.substr(0, slash);
    if (origin.size() == scheme) return false;
    for (size_t i = scheme; i < origin.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(origin[i]);
        if (c <= ' ' || c == '@' || c == '?' || c == '#') return false;
    }
    std::string prefix = slash == std::string::npos ? std::string() : url.substr(slash);
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    path = prefix + "/api/v2/alerts";
    return true;
}

bool ParseForwardArgs(const std::vector<std::string>& args, ForwardOptions& o, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size() && !args[i + 1].empty();
        if (a == "alerts" && i == 0) continue;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--to-alertmanager" && has_value) {
            const std::string& list = args[++i];
            for (size_t at = 0; at <= list.size();) {
                const size_t comma = std::min(list.find(',', at), list.size());
                const std::string url = list.substr(at, comma - at);
                std::string origin, path;
                if (!SplitAlertmanagerUrl(url, origin, path)) {
                    error =
                        "--to-alertmanager: not an http:// or https:// URL: " + OptionShown(url);
                    return false;
                }
                o.urls.push_back(url);
                at = comma + 1;
            }
        } else if (a == "--resolve-after" && has_value) {
            if (!ParseDuration(args[++i], o.resolve_after_s) || o.resolve_after_s > 7 * 86400) {
                error = "--resolve-after needs a duration up to 7d (90s, 15m, 2h), not " +
                        OptionShown(args[i]);
                return false;
            }
        } else if (a == "--consumer" && has_value) {
            o.consumer = args[++i];
            for (char c : o.consumer)
                if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') {
                    error = "--consumer needs a name of letters, digits, '_' and '-'";
                    return false;
                }
        } else {
            error = "unexpected with --to-alertmanager: " + OptionShown(a);
            return false;
        }
    }
    if (o.urls.empty() && !o.help) {
        error = "--to-alertmanager needs URL[,URL]";
        return false;
    }
    if (o.consumer.empty()) o.consumer = kAlertmanagerConsumer;
    return true;
}

std::string AlertWord(uint32_t code) {
    switch (code & 0xFFFF) {
    case 0x405:
        return "started";
    case 0x305:
        return "stopped";
    case 0x105:
        return "failed_to_start";
    default: {
        char buf[24];
        std::snprintf(buf, sizeof buf, "class_0x%X", code & 0xFFFF);
        return buf;
    }
    }
}

std::string AlertSeverity(uint32_t code) {
    const uint32_t level = code >> 16;
    return level == 0 ? "info" : level == 1 ? "warning" : "critical";
}

std::string Rfc3339(uint64_t ms) {
    std::string t = UtcText(ms); // "2026-12-07 10:00:01Z"
    std::replace(t.begin(), t.end(), ' ', 'T');
    return t;
}

std::string AlertmanagerAlert(const remote::AlertRecord& a, uint64_t ends_ms) {
    const std::string id = a.MessageId();
    return "{\"labels\":{\"alertname\":\"ProcmgrAlert\",\"machine\":" + JsonString(a.machine) +
           ",\"monitor\":" + JsonString(a.monitor) + ",\"alert\":" + JsonString(AlertWord(a.code)) +
           ",\"severity\":" + JsonString(AlertSeverity(a.code)) + ",\"id\":" + JsonString(id) +
           "},\"annotations\":{\"text\":" + JsonString(a.text) + ",\"id\":" + JsonString(id) +
           "},\"startsAt\":" + JsonString(Rfc3339(a.time_ms)) +
           ",\"endsAt\":" + JsonString(Rfc3339(ends_ms)) + "}";
}

uint32_t Backoff::NextMs() {
    next_ms_ = next_ms_ == 0 ? 1000 : std::min<uint32_t>(next_ms_ * 2, 30000);
    return next_ms_;
}

uint64_t FiringStates::Seen(const remote::AlertRecord& a, uint64_t now_ms) {
    const std::string word = AlertWord(a.code);
    const auto key = std::make_pair(a.machine, a.monitor);
    if (word == "failed_to_start") {
        const uint64_t ends = std::max(a.time_ms, now_ms) + resolve_after_ms_;
        auto it = open_.find(key);
        if (it != open_.end() || open_.size() < capacity_) open_[key] = Kept{a, ends};
        return ends;
    }
    if (word == "started") {
        auto it = open_.find(key);
        if (it != open_.end() && it->second.alert.time_ms <= a.time_ms) {
            resolved_.push_back(AlertmanagerAlert(it->second.alert, a.time_ms));
            open_.erase(it);
        }
    }
    return a.time_ms + resolve_after_ms_;
}

std::vector<std::string> FiringStates::Due(uint64_t now_ms) {
    std::vector<std::string> out;
    out.swap(resolved_);
    for (auto& [key, kept] : open_) {
        if (kept.ends_ms > now_ms + resolve_after_ms_ / 2) continue;
        kept.ends_ms = now_ms + resolve_after_ms_;
        out.push_back(AlertmanagerAlert(kept.alert, kept.ends_ms));
    }
    return out;
}

} // namespace pm::console
