// The gate's clocks: a monotonic one for its own intervals (discovery, uptime, time-outs) and
// the wall clock in ms since 1970, UTC (queued requests carry their expiry so). Tests give
// their own. Portable.
#pragma once

#include <cstdint>

namespace pm::gate {

class GateClock {
public:
    virtual ~GateClock() = default;
    [[nodiscard]] virtual uint64_t MonotonicMs() const = 0;
    [[nodiscard]] virtual uint64_t UtcMs() const = 0;
};

// std::chrono's steady and system clocks.
class SystemClock final : public GateClock {
public:
    [[nodiscard]] uint64_t MonotonicMs() const override;
    [[nodiscard]] uint64_t UtcMs() const override;
};

} // namespace pm::gate
