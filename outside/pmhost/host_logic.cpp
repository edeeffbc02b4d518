// Portable: no OS code here.
#include "outside/pmhost/host_logic.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "shared/monitor/command_buffer.h"
#include "shared/monitor/forwarded_command.h"
#include "shared/monitor/host_text.h"
#include "shared/monitor/monitor_record.h"
#include "shared/monitor/node_packets.h"
#include "shared/text/text_string.h"

namespace pm::host {

namespace {

using monitor::ReadU32;

std::string U32(uint32_t v) {
    std::string b(4, '\0');
    monitor::WriteU32(reinterpret_cast<uint8_t*>(&b[0]), v);
    return b;
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

} // namespace

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
    const std::string root = Compressed(monitor::kPluginName);
    const std::string type = Compressed(monitor::TenDigits(monitor::kMonitorId));
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
