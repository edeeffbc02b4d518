// The system's clocks through std::chrono. Portable.
#include "outside/pmgate/gate_clock.h"

#include <chrono>

namespace pm::gate {
namespace {

template <typename Clock> uint64_t Ms() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count());
}

} // namespace

uint64_t SystemClock::MonotonicMs() const {
    return Ms<std::chrono::steady_clock>();
}

uint64_t SystemClock::UtcMs() const {
    return Ms<std::chrono::system_clock>();
}

} // namespace pm::gate
