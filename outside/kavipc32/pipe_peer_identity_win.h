// Who serves a node's pipe: the process at the other end of a sender's connection and its
// account, and whether the sender may talk to it (a process that took the name first could be
// answering).
#pragma once

#include <windows.h>

#include <string>

#include "outside/kavipc32/pipe_policy.h"

namespace kavipc {

// The process serving the pipe at the other end of `client`, where Windows can tell (0 else).
DWORD ServerProcessId(HANDLE client);

// The account of process `pid` (0: none known): its token's user and whether Administrators
// is enabled in it, or kTokenUnreadable when the process or its token cannot be opened.
ServerAccount ProcessAccount(DWORD pid);

// True when the server of `client`, the pipe of `node`, runs as this account, SYSTEM or an
// administrator, or Windows cannot tell its process (JudgeServerAccount). Else the refusal is
// said loudly and GetLastError is ERROR_ACCESS_DENIED.
bool MayTalkToServer(HANDLE client, const std::string& node);

} // namespace kavipc
