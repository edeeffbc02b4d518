// The status reports a service hands to the service control manager, as values. Portable: the
// numbers are Win32's (SERVICE_STOPPED ... SERVICE_RUNNING, SERVICE_ACCEPT_*).
//
// Pending states carry a check point that grows with every report, so the manager sees
// progress within the wait hint; running and stopped carry 0. Only a running service accepts
// stop and shutdown; while pending it accepts nothing.
#pragma once

#include <cstdint>

namespace pmsvc {

enum class SvcState : uint32_t {
    kStopped = 1,
    kStartPending = 2,
    kStopPending = 3,
    kRunning = 4,
};

constexpr uint32_t kAcceptStop = 0x1;
constexpr uint32_t kAcceptShutdown = 0x4;

struct StatusReport {
    SvcState state = SvcState::kStopped;
    uint32_t controls_accepted = 0;
    uint32_t checkpoint = 0;
    uint32_t wait_hint_ms = 0;
    uint32_t exit_code = 0; // the service's own exit code (Win32 error 1066 names it)
};

class StatusSequence {
public:
    [[nodiscard]] StatusReport Next(SvcState state, uint32_t wait_hint_ms, uint32_t exit_code = 0);

private:
    uint32_t checkpoint_ = 0;
};

// How a stop proceeds: quit requests, then a bounded wait with a report each
// kStopReportMs, then the job is ended.
constexpr uint32_t kStopWaitMs = 10000;
constexpr uint32_t kStopReportMs = 1000;
constexpr uint32_t kStartWaitHintMs = 10000;

} // namespace pmsvc
