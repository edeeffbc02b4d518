// INFO fields, read by the JSON scanner that accepts any bytes without reading past them.
// Portable: no OS code here.
#include "shared/nats/server_info.h"

#include "shared/text/json_scanner.h"

namespace pm::nats {
namespace {

bool Int(const std::string& text, int64_t& out) {
    if (text.empty() || text.size() > 18) return false;
    int64_t v = 0;
    size_t k = text[0] == '-' ? 1 : 0;
    if (k == text.size()) return false;
    for (; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
        v = v * 10 + (text[k] - '0');
    }
    out = text[0] == '-' ? -v : v;
    return true;
}

} // namespace

bool ParseServerInfo(const std::string& json, ServerInfo& out) {
    JsonScanner s(json);
    ServerInfo info;
    if (!s.Take('{')) return false;
    if (!s.Take('}')) {
        for (;;) {
            std::string key, text;
            if (!s.String(key) || !s.Take(':')) return false;
            if (key == "server_id" || key == "server_name") {
                if (!s.String(text)) return false;
                (key == "server_id" ? info.server_id : info.server_name) = text;
            } else if (key == "max_payload") {
                int64_t v = 0;
                if (!s.Atom(text) || !Int(text, v)) return false;
                info.max_payload = v;
            } else if (key == "tls_required" || key == "tls_available" || key == "auth_required" ||
                       key == "headers") {
                if (!s.Atom(text) || (text != "true" && text != "false")) return false;
                const bool v = text == "true";
                if (key == "tls_required") info.tls_required = v;
                if (key == "tls_available") info.tls_available = v;
                if (key == "auth_required") info.auth_required = v;
                if (key == "headers") info.headers = v;
            } else if (key == "connect_urls") {
                if (!s.Take('[')) return false;
                if (!s.Take(']')) {
                    for (;;) {
                        if (!s.String(text)) return false;
                        if (info.connect_urls.size() < 64) info.connect_urls.push_back(text);
                        if (s.Take(']')) break;
                        if (!s.Take(',')) return false;
                    }
                }
            } else if (!s.Skip()) {
                return false;
            }
            if (s.Take('}')) break;
            if (!s.Take(',')) return false;
        }
    }
    if (!s.AtEnd()) return false;
    out = info;
    return true;
}

} // namespace pm::nats
