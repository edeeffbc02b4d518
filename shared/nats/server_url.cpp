// Server URLs. Portable: no OS code here.
#include "shared/nats/server_url.h"

namespace pm::nats {
namespace {

bool Dotted127(const std::string& h) {
    int parts = 0;
    size_t i = 0;
    while (i <= h.size()) {
        size_t dot = h.find('.', i);
        if (dot == std::string::npos) dot = h.size();
        const std::string p = h.substr(i, dot - i);
        if (p.empty() || p.size() > 3 || p.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(p) > 255)
            return false;
        if (parts == 0 && p != "127") return false;
        ++parts;
        i = dot + 1;
    }
    return parts == 4;
}

} // namespace

std::string ServerUrl::Text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return std::string(tls ? "tls://" : "nats://") + (v6 ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

bool ParseServerUrl(const std::string& text, ServerUrl& out, std::string& error) {
    ServerUrl u;
    std::string rest;
    if (text.rfind("nats://", 0) == 0) {
        rest = text.substr(7);
    } else if (text.rfind("tls://", 0) == 0) {
        u.tls = true;
        rest = text.substr(6);
    } else if (text.find("://") == std::string::npos) {
        rest = text; // host:port alone means nats://
    } else {
        error = "'" + text + "': only nats:// and tls:// URLs";
        return false;
    }
    if (rest.find_first_of("@/?# \t") != std::string::npos) {
        error = "'" + text + "': no user, path or blanks in a server URL";
        return false;
    }
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) {
            error = "'" + text + "': unclosed '['";
            return false;
        }
        u.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                error = "'" + text + "': expected ':' after ']'";
                return false;
            }
            port = rest.substr(close + 2);
            if (port.empty()) port = "x";
        }
    } else {
        const size_t colon = rest.find(':');
        u.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) port = "x";
        }
    }
    if (u.host.empty()) {
        error = "'" + text + "': no host";
        return false;
    }
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(port) == 0 || std::stoi(port) > 65535) {
            error = "'" + text + "': bad port";
            return false;
        }
        u.port = static_cast<uint16_t>(std::stoi(port));
    }
    out = u;
    return true;
}

bool IsLoopbackHost(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    return Dotted127(host);
}

} // namespace pm::nats
