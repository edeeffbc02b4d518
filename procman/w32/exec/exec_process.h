// Execute Command: the body of the execution thread. It reads the command's parameters,
// expands the command line, checks anonymous execution, logs on as another user when asked,
// starts the process (optionally capturing its output), optionally waits for it, and ends the
// command with exactly one reply on every path. Portable: the system is ExecPlatform.
#pragma once

#include <cstdint>
#include <functional>

#include "shared/node/command.h"
#include "procman/w32/exec/exec_platform.h"
#include "procman/w32/exec/execution_tracker.h"

namespace pm::exec {

// Execution flags (parameter 1).
constexpr uint32_t EXEC_CAPTURE_OUTPUT = 0x01;
constexpr uint32_t EXEC_AS_USER = 0x02;
constexpr uint32_t EXEC_WAIT = 0x04;
constexpr uint32_t EXEC_ENCRYPTED_PASSWORD = 0x10;
constexpr uint32_t EXEC_UNICODE_OUTPUT = 0x20;
constexpr uint32_t EXEC_ENVIRONMENT = 0x40;
constexpr uint32_t EXEC_NO_WINDOW = 0x80;

// Reply statuses of an execution.
constexpr int32_t kExecOk = 0;
constexpr int32_t kExecTimedOut = static_cast<int32_t>(0xFFFF0002u);
constexpr int32_t kExecFailed = static_cast<int32_t>(0xFFFFFFFFu);
constexpr int32_t kExecThreadNotCreated = 255;
constexpr int32_t kExecNotFound = static_cast<int32_t>(0xDA000F01u);
constexpr int32_t kExecAccessDenied = static_cast<int32_t>(0xDA000F02u);
constexpr int32_t kExecOutOfMemory = static_cast<int32_t>(0xDA000F03u);
constexpr int32_t kExecTooManyFiles = static_cast<int32_t>(0xDA000F04u);
constexpr int32_t kExecBadFormat = static_cast<int32_t>(0xDA000F05u);
constexpr int32_t kExecSharingViolation = static_cast<int32_t>(0xDA000F06u);
constexpr int32_t kExecUnknownError = static_cast<int32_t>(0xDA000F08u);
constexpr int32_t kExecAnonymousRefused = static_cast<int32_t>(0xDA000F09u);

// Win32 error codes the flow itself hands back in a failure reply.
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorBufferOverflow = 111;
constexpr uint32_t kErrorBusy = 170; // the execution mutex not obtained, or too many running
constexpr uint32_t kStillActive = 259;

constexpr uint32_t kExecutionMutexWaitMs = 30000;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// The reply status of a failed process creation.
int32_t CreationFailureStatus(uint32_t error);

// Sends the reply of a deferred command and deletes it; false when it could not be packed
// (the command is still the caller's then).
using ReplySender = std::function<bool(Command*)>;

// ExecProcess: owns `command` from the start and ends it with one reply. Answers 1 when the
// process was started, 0 otherwise (the thread's exit code). Nothing thrown leaves it: a throw
// ends in the failure reply with error 8 (ERROR_NOT_ENOUGH_MEMORY). With a tracker, its waits
// are marked, and one that ends after the tracker was closed (the agent is stopping) ends the
// execution at once: no reply, no trace line, only its own handles released.
uint32_t ExecProcess(Command* command, ExecPlatform& platform, const ReplySender& reply,
                     ExecutionTracker* tracker = nullptr);

// Starts the execution thread of a command with `start_thread` (false: no thread, the command
// is still the caller's), counted by `tracker`, whose Finish the thread calls at its end.
// Answers true when the command is taken care of: a thread owns it, or (the cap reached, or
// the agent stopping) it holds the busy reply (0xFFFFFFFF, error 170) and its deferred-reply
// flag is cleared, so that the node sends that reply when the handler returns.
bool StartExecution(Command* command, ExecutionTracker& tracker,
                    const std::function<bool(Command*)>& start_thread);

} // namespace pm::exec
