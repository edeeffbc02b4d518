// The monitor host's side of the console's monitor commands and of the statistics: the
// forwarded request 0x10D checked and unpacked, a command handed to the plug-in and its reply
// freed, the reading of every monitor's statistics through the node tree, their wire items and
// the metrics file in the Prometheus text exposition format. Portable: the plug-in is reached
// through its export types (tarnvex_abi.h). No OS code here.
//
// Codes (requests to "KAVMonitorClientNC"), besides those of host_alerts.h:
//
// | Code       | Parameters                                     | Reply                       |
// |------------|------------------------------------------------|-----------------------------|
// | 0x10D      | 0: plug-in "TARNVEX" and monitor id 1093223018 | status 0 and the plug-in's  |
// |            | 1: the console's command buffer, wrapped       | reply as item 0 (none when  |
// |            | (forwarded by quorlent; no owner)              | the command has no reply);  |
// |            |                                                | status 1 when refused       |
// | 0x504D4803 | 0: 8-byte owner id; 1: a command buffer        | as 0x10D, with that owner   |
// | 0x504D4804 | 0 (optional): a monitor name, UTF-8            | status 0; item 0: u32 reads |
// |            |                                                | done, u32 time of the last  |
// |            |                                                | read, u32 monitors; then one|
// |            |                                                | item per monitor (EncodeStats)
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/monitor/host_requests.h"
#include "shared/monitor/tarnvex_abi.h"

namespace pm::host {

constexpr uint32_t kCmdForwardedMonitor = 0x10D;
constexpr uint32_t kCmdMonitorCommand = 0x504D4803;
constexpr uint32_t kCmdStatistics = 0x504D4804;
constexpr const char* kPluginName = "TARNVEX";
constexpr uint32_t kMonitorId = 1093223018;
constexpr size_t kStatCount = 13; // leaves 1-10 and the three alert nodes

// The console's command buffer inside a forwarded request; false when parameter 0 does not name
// "TARNVEX" and 1093223018 in its layout, or a length or offset does not agree with the
// parameter's real size.
bool UnwrapForwarded(const std::vector<std::string>& params, std::string* command);

// The wrapping quorlent builds (tests and tools).
std::vector<std::string> WrapForwarded(const std::string& command);

// Checks the command against its real size, hands an owned copy to IndepPassthrough2 and
// frees the reply with IndepFreeBuffer: status 0 and the reply as item 0 (when the command
// produced one) when the plug-in answered 1; status 1 when it answered 0 or the buffer was
// refused.
HostAnswer RunMonitorCommand(const std::string& command, const std::array<uint8_t, 8>& owner,
                             IndepPassthrough2Fn passthrough, IndepFreeBufferFn free_buffer);

struct NodeFunctions {
    InitNodesFn init = nullptr;
    TermNodesFn term = nullptr;
    GetNodeListFn list = nullptr;
    FreeNodeListFn free_list = nullptr;
    GetNodeAttributesFn attributes = nullptr;
    FreeNodeAttributesFn free_attributes = nullptr;
    NodeConnectFn connect = nullptr;
    NodeDisconnectFn disconnect = nullptr;
    NodePulseFn pulse = nullptr;
    NodeGetValueFn value = nullptr;
    NodeFreeValueFn free_value = nullptr;
};

// One monitor's statistics as the node tree gave them.
struct MonitorStats {
    std::string name;                       // UTF-8
    std::array<std::string, 10> leaf_names; // UTF-8, as the catalog named them
    std::array<double, kStatCount> values{};
    std::array<bool, kStatCount> read{}; // false where the node gave no value
};

// Reads every monitor's statistics: the root's node list, each monitor's list, a connection
// to each leaf and to the three alert nodes through their symbolic paths, their attributes and
// values; every list, attribute record and value freed. `interval_ms` gets what NodePulse
// answers (unchanged when no node was connected). A monitor name listed twice is read once.
std::vector<MonitorStats> ReadStatistics(const NodeFunctions& fns, const std::string& language,
                                         uint32_t* interval_ms);

// Wire item: name NUL, the ten leaf names NUL-terminated, u16 bits of the values read, then 13
// little-endian f64.
std::string EncodeStats(const MonitorStats& s);
bool DecodeStats(const std::string& bytes, MonitorStats* s);

// The statistics request's answer.
HostAnswer AnswerStatistics(const std::vector<std::string>& params,
                            const std::vector<MonitorStats>& stats, uint32_t reads,
                            uint32_t last_read_time);

// The metrics file: one family per statistic, with # HELP and # TYPE once each, one sample per
// monitor labelled with its executable (valid UTF-8, escaped), in base units.
std::string PrometheusText(const std::vector<MonitorStats>& stats);

// A family of the metrics file: its name ("_total" only on counters) and how a value read from
// the node tree becomes its sample (execution times: minutes to whole seconds).
struct MetricFamily {
    const char* name;
    const char* help;
    bool counter;
    bool minutes_to_seconds;
};
const std::array<MetricFamily, kStatCount>& MetricFamilies();

// The names the statistics' values go by in the host's wire item and the console's output, in
// the order of the values and in the node tree's own units (execution times in minutes).
const std::array<const char*, kStatCount>& MetricNames();

} // namespace pm::host
