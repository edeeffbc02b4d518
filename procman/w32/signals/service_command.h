// The Operating System Specific Command: service control by display name or key name, with a
// small status and the system error code as its reply item. Portable logic over SignalPlatform.
#pragma once

#include <cstdint>

#include "shared/node/command.h"
#include "procman/w32/signals/signal_platform.h"

namespace pm::signals {

constexpr uint32_t kSubCommandServiceControl = 0x100;

// Parameter 2: the operation.
constexpr uint32_t kOpStart = 1;
constexpr uint32_t kOpStop = 2;
constexpr uint32_t kOpPause = 3;
constexpr uint32_t kOpContinue = 4;

// Status values; each comes with one 4-byte reply item holding the system error.
constexpr int32_t kOsCannotOpenManager = 1;
constexpr int32_t kOsCannotOpenService = 2; // also: a name without its zero byte (error 123)
constexpr int32_t kOsCannotQueryStatus = 3;
constexpr int32_t kOsCallFailed = 4;
constexpr int32_t kOsWrongState = 5;

constexpr uint32_t kErrorInvalidName = 123;

// Parameters: 0 sub-command (0x100; anything else, or fewer than three parameters, leaves the
// command untouched), 1 the service name in compressed unicode, 2 the operation. A parameter
// 2 shorter than 4 bytes names no operation.
void OsSpecificCommand(Command& command, SignalPlatform& platform);

} // namespace pm::signals
