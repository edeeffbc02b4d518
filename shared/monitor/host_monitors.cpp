// Portable: no OS code here.
#include "shared/monitor/host_monitors.h"

#include <cstring>

#include "shared/base/endian.h"

namespace pm::host {

namespace {

void PutF64(std::string& out, double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, 8);
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>((bits >> (8 * i)) & 0xFF);
}

} // namespace

std::string EncodeStats(const MonitorStats& s) {
    std::string out = s.name + '\0';
    for (const std::string& n : s.leaf_names)
        out += n + '\0';
    uint16_t bits = 0;
    for (size_t i = 0; i < kStatCount; ++i)
        if (s.read[i]) bits = static_cast<uint16_t>(bits | (1u << i));
    out += static_cast<char>(bits & 0xFF);
    out += static_cast<char>(bits >> 8);
    for (double v : s.values)
        PutF64(out, v);
    return out;
}

bool DecodeStats(const std::string& bytes, MonitorStats* s) {
    size_t at = 0;
    auto text = [&](std::string* t) {
        const size_t nul = bytes.find('\0', at);
        if (nul == std::string::npos) return false;
        *t = bytes.substr(at, nul - at);
        at = nul + 1;
        return true;
    };
    MonitorStats r;
    if (!text(&r.name)) return false;
    for (std::string& n : r.leaf_names)
        if (!text(&n)) return false;
    if (bytes.size() - at != 2 + 8 * kStatCount) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
    const uint16_t bits = le::Load16(p);
    for (size_t i = 0; i < kStatCount; ++i) {
        r.read[i] = (bits >> i) & 1;
        uint64_t v = 0;
        for (int b = 0; b < 8; ++b)
            v |= static_cast<uint64_t>(p[2 + 8 * i + b]) << (8 * b);
        std::memcpy(&r.values[i], &v, 8);
    }
    *s = std::move(r);
    return true;
}

const std::array<const char*, kStatCount>& MetricNames() {
    static const std::array<const char*, kStatCount> names = {
        "procmon_current_active_processes",    "procmon_new_executions_today",
        "procmon_new_executions_yesterday",    "procmon_max_running_today",
        "procmon_max_running_yesterday",       "procmon_execution_minutes_today",
        "procmon_execution_minutes_yesterday", "procmon_times_started_total",
        "procmon_times_stopped_total",         "procmon_times_failed_to_start_total",
        "procmon_alert_node_started",          "procmon_alert_node_stopped",
        "procmon_alert_node_failed_to_start",
    };
    return names;
}

} // namespace pm::host
