// The monitor host's own side of the console's monitor commands and of the statistics: a
// command handed to the plug-in and its reply freed, the reading of every monitor's statistics
// through the node tree, the statistics request's answer and the metrics file in the Prometheus
// text exposition format. Portable: the plug-in is reached through its export types
// (tarnvex_abi.h); the request codes and the statistics' wire item are in
// shared/monitor/host_monitors.h. No OS code here.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/monitor/host_monitors.h"
#include "shared/monitor/host_requests.h"
#include "shared/monitor/tarnvex_abi.h"

namespace pm::host {

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

// Reads every monitor's statistics: the root's node list, each monitor's list, a connection
// to each leaf and to the three alert nodes through their symbolic paths, their attributes and
// values; every list, attribute record and value freed. `interval_ms` gets what NodePulse
// answers (unchanged when no node was connected). A monitor name listed twice is read once.
std::vector<MonitorStats> ReadStatistics(const NodeFunctions& fns, const std::string& language,
                                         uint32_t* interval_ms);

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

} // namespace pm::host
