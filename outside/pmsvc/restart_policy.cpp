#include "outside/pmsvc/restart_policy.h"

namespace pmsvc {

uint32_t RestartDelayMs(uint32_t failures_in_row) {
    if (failures_in_row <= 1) return 0;
    // 1 s, 2 s, 4 s ... for the 2nd, 3rd, 4th exit in a row; the shift stays far below 32 bits.
    uint32_t shift = failures_in_row - 2;
    if (shift >= 7) return kMaxRestartDelayMs;
    uint32_t delay = 1000u << shift;
    return delay < kMaxRestartDelayMs ? delay : kMaxRestartDelayMs;
}

uint32_t NextFailureCount(uint32_t previous, uint64_t ran_ms) {
    if (ran_ms >= kStableRunMs) return 1;
    return previous < 1000 ? previous + 1 : previous;
}

} // namespace pmsvc
