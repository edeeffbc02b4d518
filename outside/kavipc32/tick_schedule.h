// When a node's timer tick is due and what elapsed time it reports. Portable: no OS code here;
// times are milliseconds of a monotonic clock supplied by the caller.
#pragma once

#include <cstdint>

namespace kavipc {

// Period of the timer tick every node gets.
constexpr uint32_t kTickPeriodMs = 250;

class TickSchedule {
public:
    explicit TickSchedule(uint32_t period_ms = kTickPeriodMs)
        : period_(period_ms ? period_ms : 1) {}

    // The clock starts: the first tick is due one period from `now`.
    void Start(uint64_t now) {
        last_ = now;
        due_ = now + period_;
    }
    // Milliseconds to wait from `now` until the next tick (0: due now).
    uint32_t WaitMs(uint64_t now) const {
        return now >= due_ ? 0 : static_cast<uint32_t>(due_ - now);
    }
    bool Due(uint64_t now) const { return now >= due_; }

    // Takes the tick at `now`: answers the real milliseconds since the previous tick (at least
    // 1, at most 0xFFFFFFFF) and schedules the next one. A tick that comes late moves the
    // schedule on rather than firing the missed ones in a burst.
    uint32_t Take(uint64_t now) {
        uint64_t elapsed = now > last_ ? now - last_ : 0;
        last_ = now;
        due_ += period_;
        if (due_ <= now) due_ = now + period_;
        if (elapsed == 0) elapsed = 1;
        return elapsed > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(elapsed);
    }
    // Milliseconds since the last tick, without taking one.
    uint32_t SinceLast(uint64_t now) const {
        uint64_t e = now > last_ ? now - last_ : 0;
        return e > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(e);
    }
    uint32_t period() const { return period_; }

private:
    uint32_t period_;
    uint64_t last_ = 0;
    uint64_t due_ = 0;
};

} // namespace kavipc
