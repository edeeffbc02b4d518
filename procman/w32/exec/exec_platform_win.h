// The Win32 side of Execute Command: the platform over the real system, and the thread that
// runs one execution.
#pragma once

#include "shared/node/command.h"
#include "procman/w32/exec/exec_platform.h"

namespace pm::exec {

ExecPlatform& SystemExecPlatform();

// Starts the execution thread for a command (which it then owns), at most kMaxExecutions at
// once; true also when the command was answered busy (StartExecution). false when the thread
// cannot be created (the command is still the caller's then).
bool StartExecThread(Command* command);

} // namespace pm::exec
