// When a piece that ended is started again. Portable.
//
// The first restart after a piece ran for a while happens at once; each further exit in a row
// doubles the wait from 1 s, up to 60 s. A piece that stayed up for kStableRunMs before it ended
// counts as healthy again, so its next restart is immediate.
#pragma once

#include <cstdint>

namespace pmsvc {

constexpr uint32_t kMaxRestartDelayMs = 60000;
constexpr uint32_t kStableRunMs = 60000;

// The wait before restart number `failures_in_row` (1 for the first exit after a healthy run).
[[nodiscard]] uint32_t RestartDelayMs(uint32_t failures_in_row);

// The count of exits in a row after one that came `ran_ms` after the piece started.
[[nodiscard]] uint32_t NextFailureCount(uint32_t previous, uint64_t ran_ms);

} // namespace pmsvc
