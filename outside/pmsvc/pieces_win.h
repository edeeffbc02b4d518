// Keeping the pieces running: each started suspended, put into one job (which ends them all
// when the service ends, however it ends) and then resumed; exits noticed through their process
// handles; restarts as the Supervisor decides; a graceful stop on request.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "outside/pmsvc/status_model.h"
#include "outside/pmsvc/svc_log_win.h"

namespace pmsvc {

// The folder of pmsvc.exe, with its trailing backslash: the pieces sit beside it.
std::string ProgramFolder();

// Runs until `stop` is signalled, then stops the pieces: quit requests (the nodes' through the
// messaging library, WM_QUIT to the main thread of a piece without a node), a wait of at most
// kStopWaitMs with `progress` called every kStopReportMs, and the end of the job.
// Answers 0, or a Win32 error when the pieces could not be run at all.
DWORD RunPieces(HANDLE stop, SvcLog& log, const std::function<void(SvcState)>& progress);

} // namespace pmsvc
