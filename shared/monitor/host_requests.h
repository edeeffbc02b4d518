// The console's requests to the monitor host and their answers (codes in host_alerts.h).
// Portable: no OS code here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shared/monitor/host_alerts.h"

namespace pm::host {

struct HostStats {
    uint32_t pulses = 0;
    uint32_t interval_ms = 0;
};

struct HostAnswer {
    int32_t status = 0;
    std::vector<std::string> items;
};

// Answers one request: its code and parameters as they came.
HostAnswer AnswerHostRequest(uint32_t code, const std::vector<std::string>& params,
                             const AlertRing& ring, const HostStats& stats);

} // namespace pm::host
