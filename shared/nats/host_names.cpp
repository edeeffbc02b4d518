// Certificate names against the host. Portable: no OS code here.
#include "shared/nats/host_names.h"

namespace pm::nats {
namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool IsIpLiteral(const std::string& host) {
    if (host.find(':') != std::string::npos) return true;
    return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

} // namespace

bool HostMatchesCertificate(const std::string& host, const std::vector<std::string>& dns_names,
                            const std::vector<std::string>& ip_addresses) {
    if (IsIpLiteral(host)) {
        for (const std::string& ip : ip_addresses)
            if (ip == host) return true;
        return false;
    }
    const std::string h = Lower(host);
    for (const std::string& name : dns_names) {
        const std::string n = Lower(name);
        if (n == h) return true;
        if (n.size() > 2 && n.compare(0, 2, "*.") == 0) {
            const size_t dot = h.find('.');
            if (dot != std::string::npos && dot > 0 && h.substr(dot) == n.substr(1)) return true;
        }
    }
    return false;
}

} // namespace pm::nats
