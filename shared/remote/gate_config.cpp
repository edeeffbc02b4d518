// pmgate.conf. Portable: no OS code here.
#include "shared/remote/gate_config.h"

#include "shared/remote/conf_file.h"
#include "shared/remote/operations.h"
#include "shared/remote/subjects.h"

namespace pm::remote {
namespace {

bool ParseCode(const std::string& s, uint32_t& out) {
    std::string digits = s;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    if (digits.empty() || digits.size() > (base == 16 ? 8u : 10u)) return false;
    uint64_t v = 0;
    for (char c : digits) {
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : 99;
        if (d >= base) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    if (v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

std::string At(const ConfEntry& e) {
    return "line " + std::to_string(e.line) + ": ";
}

} // namespace

std::vector<uint32_t> DefaultAllowList() {
    std::vector<uint32_t> out;
    for (const CodeInfo& c : KnownCodes())
        out.push_back(c.code);
    return out;
}

bool ParseGateConfig(const std::string& text, GateConfig& out, std::string& error) {
    std::vector<ConfEntry> entries;
    if (!ParseConfText(text, entries, error)) return false;
    GateConfig c;
    c.nodes = {kAgentNode, kHostNode};
    c.allow = DefaultAllowList();
    for (const ConfEntry& e : entries) {
        if (e.key == "servers") {
            c.servers = SplitList(e.value);
        } else if (e.key == "ca_file") {
            c.ca_file = e.value;
        } else if (e.key == "credentials") {
            c.credentials = e.value;
        } else if (e.key == "cert_file") {
            c.cert_file = e.value;
        } else if (e.key == "key_file") {
            c.key_file = e.value;
        } else if (e.key == "machine") {
            if (!IsValidMachineName(e.value)) {
                error = At(e) + "machine '" + e.value + "' is not [a-z0-9_-]+ (at most 63)";
                return false;
            }
            c.machine = e.value;
        } else if (e.key == "nodes") {
            c.nodes = SplitList(e.value);
            if (c.nodes.empty()) {
                error = At(e) + "nodes is empty";
                return false;
            }
            for (const std::string& n : c.nodes)
                if (n.find_first_of(".*> \t") != std::string::npos) {
                    error = At(e) + "node '" + n + "' cannot be a subject token";
                    return false;
                }
        } else if (e.key == "allow") {
            c.allow.clear();
            for (const std::string& s : SplitList(e.value)) {
                uint32_t code = 0;
                if (!ParseCode(s, code)) {
                    error = At(e) + "'" + s + "' is not a command code";
                    return false;
                }
                c.allow.push_back(code);
            }
            if (c.allow.empty()) {
                error = At(e) + "allow is empty: the gate would forward nothing";
                return false;
            }
        } else if (e.key == "max_in_flight") {
            uint32_t n = 0;
            if (!ParseCode(e.value, n) || n == 0 || n > kMaxMaxInFlight) {
                error = At(e) + "max_in_flight must be 1.." + std::to_string(kMaxMaxInFlight);
                return false;
            }
            c.max_in_flight = n;
        } else if (e.key == "heartbeat") {
            uint32_t n = 0;
            if (!ParseCode(e.value, n) || n == 0 || n > 3600) {
                error = At(e) + "heartbeat must be 1..3600 seconds";
                return false;
            }
            c.heartbeat_s = n;
        } else if (e.key == "trace") {
            if (e.value != "0" && e.value != "1") {
                error = At(e) + "trace must be 0 or 1";
                return false;
            }
            c.trace = e.value == "1";
        } else {
            error = At(e) + "unknown key '" + e.key + "'";
            return false;
        }
    }
    if (c.servers.empty()) {
        error = "servers missing";
        return false;
    }
    if (c.cert_file.empty() != c.key_file.empty()) {
        error = "cert_file and key_file go together";
        return false;
    }
    out = c;
    return true;
}

bool ParseCredentials(const std::string& text, std::string& user, std::string& password) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size() && lines.size() < 2) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    if (lines.size() < 2 || lines[0].empty() || lines[1].empty()) return false;
    user = lines[0];
    password = lines[1];
    return true;
}

} // namespace pm::remote
