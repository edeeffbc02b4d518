// Portable: serve's options and its request checks. No OS code here.
#include "outside/pmconsole/web/serve_guard.h"

#include <algorithm>
#include <cctype>

#include "outside/pmconsole/console_request.h"
#include "outside/pmconsole/remote_settings.h"
#include "shared/nats/server_url.h"

namespace pm::console {

const char kServeHelp[] =
    "usage: pmconsole [REMOTE OPTIONS] serve [--listen HOST:PORT] [--token-file FILE]\n"
    "                 [--cert FILE --key FILE] [--name HOST] [--machines NAME,...]\n"
    "                 [--interval MS] [--stats-interval MS] [--metrics-token-file FILE]\n"
    "Serves the web console: the fleet, each machine's live tables, its monitors with their\n"
    "statistics as charts, and the alerts, through this console's connection.\n"
    "  --listen HOST:PORT   where to listen (default 127.0.0.1:8080); an address off the\n"
    "                       loopback needs --token-file, --cert and --key\n"
    "  --cert FILE          serve HTTPS with this certificate (PEM, the chain after it)\n"
    "  --key FILE           and this private key (PEM)\n"
    "  --name NAME          another host name the page is reached by (the Host header is\n"
    "                       checked; the listen address is always accepted); repeatable\n"
    "  --token-file FILE    the token is the file's first line (16 characters or more); without\n"
    "                       it a new token is made at each start and printed in the URL\n"
    "  --machines A,B       the machines shown (default the console's --machine)\n"
    "  --interval MS        how often a watched machine is asked for changes (default 2000)\n"
    "  --stats-interval MS  how often the monitors' statistics are read (default 15000)\n"
    "  --metrics-token-file FILE  serve /metrics (Prometheus's text format) to requests with\n"
    "                       \"Authorization: Bearer\" and the file's first line (16 characters\n"
    "                       or more, not the page's token); without it /metrics is off\n"
    "Every request that reads or changes something needs the token; the Host and Origin\n"
    "headers must name this server. Exit codes: 0 stopped, 2 bad usage, 3 cannot listen.\n";

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool ValidMachine(const std::string& m) {
    if (m.empty()) return false;
    for (char c : m)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            return false;
    return true;
}

bool ValidHostName(const std::string& n) {
    if (n.empty() || n.size() > 253) return false;
    for (char c : n)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return false;
    return true;
}

} // namespace

bool ParseListen(const std::string& text, std::string& host, uint16_t& port) {
    std::string h, p;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        h = text.substr(1, close - 1);
        p = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) return false;
        h = text.substr(0, colon);
        p = text.substr(colon + 1);
    }
    uint32_t value = 0;
    if (h.empty() || p.empty() || (p[0] == '0' && p.size() > 1)) return false;
    for (char c : p)
        if (c < '0' || c > '9') return false;
    if (!ParseU32(p, value) || value > 65535) return false; // 0: any free port
    host = h;
    port = static_cast<uint16_t>(value);
    return true;
}

bool ParseServeArgs(const std::vector<std::string>& args, ServeOptions& o, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--listen" && has_value) {
            if (!ParseListen(args[++i], o.host, o.port)) {
                error = "--listen needs HOST:PORT (port 0-65535, 0: any free one), not '" +
                        args[i] + "'";
                return false;
            }
        } else if (a == "--name" && has_value) {
            if (!ValidHostName(args[++i])) {
                error = "--name needs a host name (letters, digits, '-' and '.')";
                return false;
            }
            o.names.push_back(args[i]);
        } else if (a == "--token-file" && has_value) {
            o.token_file = args[++i];
        } else if (a == "--metrics-token-file" && has_value) {
            o.metrics_token_file = args[++i];
        } else if (a == "--cert" && has_value) {
            o.cert_file = args[++i];
        } else if (a == "--key" && has_value) {
            o.key_file = args[++i];
        } else if (a == "--machines" && has_value) {
            o.machines.clear();
            const std::string& list = args[++i];
            size_t at = 0;
            while (at <= list.size()) {
                const size_t comma = std::min(list.find(',', at), list.size());
                const std::string m = list.substr(at, comma - at);
                if (!ValidMachine(m)) {
                    error = "--machines: '" + m + "' is not a machine name ([a-z0-9_-]+)";
                    return false;
                }
                if (std::find(o.machines.begin(), o.machines.end(), m) == o.machines.end())
                    o.machines.push_back(m);
                at = comma + 1;
            }
        } else if ((a == "--interval" || a == "--stats-interval") && has_value) {
            uint32_t ms = 0;
            if (!ParseU32(args[++i], ms) || ms < 100) {
                error = a + " needs milliseconds, 100 or more";
                return false;
            }
            (a == "--interval" ? o.interval_ms : o.stats_interval_ms) = ms;
        } else {
            error = "unknown argument or missing value: " + OptionShown(a);
            return false;
        }
    }
    if (o.cert_file.empty() != o.key_file.empty()) {
        error = "--cert and --key go together";
        return false;
    }
    if (!nats::IsLoopbackHost(o.host) && o.token_file.empty()) {
        error = "listening on " + o.host + ", off the loopback, needs --token-file FILE";
        return false;
    }
    if (!nats::IsLoopbackHost(o.host) && o.cert_file.empty()) {
        error = "listening on " + o.host +
                ", off the loopback, needs --cert FILE and --key FILE (HTTPS): the token "
                "would cross the network in clear";
        return false;
    }
    return true;
}

bool TokenFromFile(const std::string& text, std::string& token) {
    std::string line = text.substr(0, text.find('\n'));
    const size_t first = line.find_first_not_of(" \t\r");
    const size_t last = line.find_last_not_of(" \t\r");
    line = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
    if (line.size() < 16) return false;
    token = line;
    return true;
}

bool SameToken(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    const std::string& longer = a.size() >= b.size() ? a : b;
    for (size_t i = 0; i < longer.size(); ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned char>(x ^ y);
    }
    return diff == 0 && !a.empty();
}

RequestGuard::RequestGuard(std::string host, uint16_t port, std::string token,
                           const std::vector<std::string>& names, bool https,
                           std::string metrics_token)
    : token_(std::move(token)), scheme_(https ? "https://" : "http://"),
      metrics_token_(std::move(metrics_token)) {
    const std::string p = ":" + std::to_string(port);
    const bool v6 = host.find(':') != std::string::npos;
    hosts_.push_back(Lower(v6 ? "[" + host + "]" + p : host + p));
    if (nats::IsLoopbackHost(host))
        for (const char* name : {"localhost", "127.0.0.1", "[::1]"})
            if (std::find(hosts_.begin(), hosts_.end(), name + p) == hosts_.end())
                hosts_.push_back(name + p);
    for (const std::string& name : names)
        hosts_.push_back(Lower(name) + p);
}

bool ChangesSomething(const std::string& path) {
    static const char* const kPaths[] = {"/api/kill", "/api/service", "/api/exec",
                                         "/api/monitors/add", "/api/monitors/delete"};
    for (const char* p : kPaths)
        if (path == p) return true;
    return false;
}

GuardVerdict RequestGuard::Check(const GuardInput& in) const {
    GuardVerdict v;
    const std::string host = Lower(in.host_header);
    if (std::find(hosts_.begin(), hosts_.end(), host) == hosts_.end()) {
        v.reason = "refused: the Host header does not name this server";
        return v;
    }
    if (in.path == "/metrics") {
        if (metrics_token_.empty()) {
            v.http_status = 404;
            v.reason = "refused: metrics are off (serve --metrics-token-file FILE)";
        } else if (!SameToken(in.bearer, metrics_token_)) {
            v.http_status = 401;
            v.reason = "refused: the metrics token is missing or wrong";
        } else if (in.method != "GET") {
            v.http_status = 405;
            v.reason = "refused: metrics are read with GET";
        } else {
            v.allowed = true;
            v.http_status = 200;
        }
        return v;
    }
    if (in.path.compare(0, 5, "/api/") != 0) {
        v.allowed = true;
        v.http_status = 200;
        return v;
    }
    const std::string origin = Lower(in.origin_header);
    if (in.has_origin && std::find(hosts_.begin(), hosts_.end(),
                                   origin.compare(0, scheme_.size(), scheme_) == 0
                                       ? origin.substr(scheme_.size())
                                       : std::string("\n")) == hosts_.end()) {
        v.reason = "refused: a request from another site";
        return v;
    }
    if (!SameToken(in.token, token_)) {
        v.http_status = 401;
        v.reason = "refused: the token is missing or wrong";
        return v;
    }
    if (ChangesSomething(in.path) && in.method != "POST") {
        v.http_status = 405;
        v.reason = "refused: a change needs POST";
        return v;
    }
    v.allowed = true;
    v.http_status = 200;
    return v;
}

bool StreamSlots::TryTake() {
    int n = open_.load();
    do {
        if (n >= cap_) return false;
    } while (!open_.compare_exchange_weak(n, n + 1));
    return true;
}

void StreamSlots::Release() {
    --open_;
}

} // namespace pm::console
