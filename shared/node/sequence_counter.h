// The process-wide message sequence counter. It starts at the system's tick count when the
// program loads, so that two runs of a program rarely reuse the same numbers. Portable; the
// tick count comes from LoadTickCount (GetTickCount on Windows).
#pragma once

#include <cstdint>

namespace pm {

// The tick count used for the counter's start value.
uint32_t LoadTickCount();

// Answers the current value and adds 1.
uint32_t NextSequenceNumber();
// For tests: the next number handed out.
void SetNextSequenceNumber(uint32_t value);

} // namespace pm
