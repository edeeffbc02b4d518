// Portable: no OS code here.
#include "shared/monitor/host_monitors.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "shared/monitor/host_text.h"
#include "shared/monitor/command_buffer.h"
#include "shared/monitor/monitor_record.h"
#include "shared/monitor/node_packets.h"
#include "shared/text/text_string.h"
#include "shared/base/endian.h"

namespace pm::host {

namespace {

using monitor::ReadU32;

std::string U32(uint32_t v) {
    std::string b(4, '\0');
    monitor::WriteU32(reinterpret_cast<uint8_t*>(&b[0]), v);
    return b;
}

uint32_t U32At(const std::string& s, size_t at) {
    return ReadU32(reinterpret_cast<const uint8_t*>(s.data()) + at);
}

std::string Compressed(const std::string& ansi) {
    TextString s(ansi.c_str());
    s.ToCompressedUnicode();
    return s.CStr();
}

std::string ToUtf8(const std::string& compressed) {
    TextString s(compressed.c_str());
    if (!s.CompressedToUtf8()) return compressed;
    return s.CStr();
}

// The plug-in name and monitor id strings of parameter 0 (compressed, NULs included).
std::string Param0(const std::string& name, const std::string& id) {
    std::string p = U32(static_cast<uint32_t>(25 + name.size() + id.size()));
    p += '\1';
    p += std::string("en_US\0", 6);
    p += U32(2) + U32(23) + U32(static_cast<uint32_t>(24 + name.size()));
    p += name + '\0' + id + '\0';
    return p;
}

// One node-path packet of 1-4 elements (already compressed).
std::vector<uint8_t> Path(const std::string& language, const std::vector<std::string>& elements) {
    std::array<std::string, 4> four;
    for (size_t i = 0; i < elements.size() && i < 4; ++i)
        four[i] = elements[i];
    std::vector<uint8_t> p = monitor::BuildNodePathPacket(language, four);
    monitor::WriteU32(&p[11], static_cast<uint32_t>(elements.size()));
    return p;
}

// The entries of a node list (pretty and symbolic names, still compressed); false when the
// list does not hold together within its stated size.
bool ReadList(const uint8_t* list, std::vector<std::pair<std::string, std::string>>* out) {
    const size_t size = ReadU32(list + 5);
    if (size < monitor::kNodeListHeader) return false;
    const uint32_t count = ReadU32(list + 9);
    size_t at = ReadU32(list);
    for (uint32_t i = 0; i < count; ++i) {
        if (at > size || size - at < monitor::kNodeEntryFixed) return false;
        const uint8_t* e = list + at;
        const size_t entry = ReadU32(e);
        if (entry < monitor::kNodeEntryFixed || entry > size - at) return false;
        const size_t pretty = ReadU32(e + 13), sym = ReadU32(e + 17);
        if (pretty >= entry || sym >= entry) return false;
        const void* pn = std::memchr(e + pretty, 0, entry - pretty);
        const void* sn = std::memchr(e + sym, 0, entry - sym);
        if (!pn || !sn) return false;
        out->emplace_back(reinterpret_cast<const char*>(e + pretty),
                          reinterpret_cast<const char*>(e + sym));
        at += entry;
    }
    return true;
}

void PutF64(std::string& out, double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, 8);
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>((bits >> (8 * i)) & 0xFF);
}

} // namespace

bool UnwrapForwarded(const std::vector<std::string>& params, std::string* command) {
    if (params.size() < 2) return false;
    const std::string& p0 = params[0];
    const std::string name = Compressed(kPluginName);
    const std::string id = Compressed(monitor::TenDigits(kMonitorId));
    if (p0.size() < 23 || U32At(p0, 0) != p0.size() || p0[4] != 1 || U32At(p0, 11) != 2 ||
        U32At(p0, 15) != 23 || U32At(p0, 19) != 24 + name.size() ||
        p0.size() != 25 + name.size() + id.size())
        return false;
    if (std::memchr(p0.data() + 5, 0, 6) == nullptr) return false;
    if (p0.compare(23, name.size() + 1, name + '\0') != 0 ||
        p0.compare(24 + name.size(), id.size() + 1, id + '\0') != 0)
        return false;
    const std::string& p1 = params[1];
    if (p1.size() < 25 || U32At(p1, 0) != p1.size() || p1[4] != 2 || U32At(p1, 5) != 0 ||
        U32At(p1, 13) != 25 || U32At(p1, 9) != p1.size() - 25)
        return false;
    *command = p1.substr(25);
    return true;
}

std::vector<std::string> WrapForwarded(const std::string& command) {
    std::string p1 = U32(static_cast<uint32_t>(25 + command.size()));
    p1 += '\2';
    p1 += U32(0) + U32(static_cast<uint32_t>(command.size())) + U32(25) + std::string(8, '\0');
    p1 += command;
    return {Param0(Compressed(kPluginName), Compressed(monitor::TenDigits(kMonitorId))), p1};
}

HostAnswer RunMonitorCommand(const std::string& command, const std::array<uint8_t, 8>& owner,
                             IndepPassthrough2Fn passthrough, IndepFreeBufferFn free_buffer) {
    HostAnswer answer;
    answer.status = 1;
    const auto* bytes = reinterpret_cast<const uint8_t*>(command.data());
    if (!monitor::CheckCommandBuffer(bytes, command.size())) return answer;
    const std::vector<uint8_t> copy(bytes, bytes + command.size());
    uint8_t* reply = nullptr;
    uint32_t size = 0;
    const uint32_t code = ReadU32(copy.data());
    const uint32_t result = passthrough(0, copy.data(), &reply, &size, owner.data());
    if (result == 1) {
        answer.status = 0;
        if (reply && monitor::CommandHasReply(code))
            answer.items.emplace_back(reinterpret_cast<const char*>(reply), size);
    }
    if (reply) free_buffer(reply, 0);
    return answer;
}

std::vector<MonitorStats> ReadStatistics(const NodeFunctions& fns, const std::string& language,
                                         uint32_t* interval_ms) {
    std::vector<MonitorStats> out;
    const std::string lang = Compressed(language);
    const std::string root = Compressed(kPluginName);
    const std::string type = Compressed(monitor::TenDigits(kMonitorId));
    std::vector<uint8_t> packet = Path(lang, {root});
    uint8_t* list = fns.list(packet.data());
    if (!list) return out;
    std::vector<std::pair<std::string, std::string>> monitors;
    const bool ok = ReadList(list, &monitors);
    fns.free_list(list);
    if (!ok) return out;
    std::set<std::string> seen;
    for (const auto& monitor : monitors) {
        const std::string& sym = monitor.second;
        if (!seen.insert(sym).second) continue;
        packet = Path(lang, {root, sym});
        uint8_t* leaves_list = fns.list(packet.data());
        if (!leaves_list) continue;
        std::vector<std::pair<std::string, std::string>> leaves;
        const bool leaves_ok = ReadList(leaves_list, &leaves);
        fns.free_list(leaves_list);
        if (!leaves_ok) continue;
        MonitorStats s;
        s.name = ToUtf8(sym);
        // Leaves by their symbolic names, then the three alert nodes by their symbolic paths.
        std::vector<std::pair<size_t, std::vector<uint8_t>>> paths;
        for (const auto& [pretty, leaf_sym] : leaves) {
            uint32_t leaf = 0;
            if (!monitor::ScanHex8(ToUtf8(leaf_sym), &leaf) || leaf < 1 || leaf > 10) continue;
            s.leaf_names[leaf - 1] = ToUtf8(pretty);
            paths.emplace_back(leaf - 1, Path(lang, {root, sym, leaf_sym}));
        }
        for (uint32_t code = monitor::kTypeStarted; code <= monitor::kTypeFailedToStart; ++code)
            paths.emplace_back(10 + (code - monitor::kTypeStarted),
                               Path(lang, {root, type, Compressed(monitor::TenDigits(code)), sym}));
        for (const auto& [slot, path] : paths) {
            uint32_t handle = monitor::kNoHandle;
            uint8_t found = 0;
            if (!fns.connect(path.data(), &handle, &found)) continue;
            if (uint8_t* a = fns.attributes(handle)) fns.free_attributes(a);
            if (interval_ms) *interval_ms = fns.pulse(handle, 0);
            if (uint8_t* v = fns.value(handle)) {
                if (ReadU32(v) == monitor::kNodeValueSize) {
                    s.values[slot] = monitor::ReadNodeValue(v);
                    s.read[slot] = true;
                }
                fns.free_value(v);
            }
            fns.disconnect(handle);
        }
        out.push_back(std::move(s));
    }
    return out;
}

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

HostAnswer AnswerStatistics(const std::vector<std::string>& params,
                            const std::vector<MonitorStats>& stats, uint32_t reads,
                            uint32_t last_read_time) {
    HostAnswer answer;
    std::vector<const MonitorStats*> chosen;
    for (const MonitorStats& s : stats)
        if (params.empty() || s.name == params[0] || s.name + '\0' == params[0])
            chosen.push_back(&s);
    answer.items.push_back(U32(reads) + U32(last_read_time) +
                           U32(static_cast<uint32_t>(chosen.size())));
    for (const MonitorStats* s : chosen)
        answer.items.push_back(EncodeStats(*s));
    return answer;
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

const std::array<MetricFamily, kStatCount>& MetricFamilies() {
    static const std::array<MetricFamily, kStatCount> families = {{
        {"procmon_current_active_processes", "Instances of the executable seen by the last pulse.",
         false, false},
        {"procmon_new_executions_today", "New executions counted today.", false, false},
        {"procmon_new_executions_yesterday", "New executions counted yesterday.", false, false},
        {"procmon_max_running_today", "Most instances running at once today.", false, false},
        {"procmon_max_running_yesterday", "Most instances running at once yesterday.", false,
         false},
        {"procmon_execution_seconds_today", "Execution time of all instances today.", false, true},
        {"procmon_execution_seconds_yesterday", "Execution time of all instances yesterday.", false,
         true},
        {"procmon_times_started_total",
         "Times the executable was started since the monitor was created.", true, false},
        {"procmon_times_stopped_total",
         "Times the executable stopped since the monitor was created.", true, false},
        {"procmon_times_failed_to_start_total",
         "Times the executable failed to start in time since the monitor was created.", true,
         false},
        {"procmon_alert_node_started", "The started alert node's value (0 at its first read).",
         false, false},
        {"procmon_alert_node_stopped", "The stopped alert node's value (0 at its first read).",
         false, false},
        {"procmon_alert_node_failed_to_start",
         "The failed-to-start alert node's value (0 at its first read).", false, false},
    }};
    return families;
}

std::string PrometheusText(const std::vector<MonitorStats>& stats) {
    std::string out;
    const auto& families = MetricFamilies();
    for (size_t i = 0; i < kStatCount; ++i) {
        const MetricFamily& f = families[i];
        // The text format names a family as its samples, "_total" included for counters.
        out += std::string("# HELP ") + f.name + " " + f.help + "\n";
        out += std::string("# TYPE ") + f.name + (f.counter ? " counter\n" : " gauge\n");
        for (const MonitorStats& s : stats) {
            if (!s.read[i]) continue;
            // The plug-in counts whole seconds and hands them out as minutes.
            const double v = f.minutes_to_seconds ? std::round(s.values[i] * 60) : s.values[i];
            char value[64];
            std::snprintf(value, sizeof value, "%.17g", v);
            out += std::string(f.name) + "{executable=\"" + PrometheusLabelValue(s.name) + "\"} " +
                   value + "\n";
        }
    }
    return out;
}

} // namespace pm::host
