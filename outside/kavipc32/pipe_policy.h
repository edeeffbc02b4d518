// Decisions about pipe security that do not need the OS to be made. Portable: no OS code here.
#pragma once

#include <cstdint>
#include <string>

namespace kavipc {

// CreateNamedPipe refused PIPE_REJECT_REMOTE_CLIENTS with `error`: may the pipe be made
// without it? Only where the system truly lacks the flag (before Windows Vista, major version
// 6, it did not exist and the call answers ERROR_INVALID_PARAMETER); anywhere else the pipe is
// not made at all. The security descriptor is never dropped.
bool MayDropRemoteClientFlag(uint32_t error, uint32_t os_major);

// What is known of the account of the process serving a pipe that a sender opened.
struct ServerAccount {
    enum class Known {
        kNoProcess,       // Windows cannot tell which process serves the pipe
        kTokenUnreadable, // the process is known, its account cannot be read
        kAccount,         // user_sid and administrators hold the account
    };
    Known known = Known::kNoProcess;
    std::string user_sid;        // the server token's user
    bool administrators = false; // the token holds the Administrators group, enabled
};

constexpr const char* kSystemSid = "S-1-5-18";

enum class ServerVerdict {
    kAccept,
    kRefuseUnreadable,   // a known process whose account cannot be read: fail closed
    kRefuseOtherAccount, // another user's process (has a squatter taken the name?)
};

// May a sender running as `own_sid` talk to that server? Yes when the server runs as the
// same account, as SYSTEM or as a member of Administrators. Where the system cannot even tell
// the server's process (no GetNamedPipeServerProcessId, or it fails), nothing can be checked
// and the sender goes on; a process that is known but whose token cannot be read is refused.
ServerVerdict JudgeServerAccount(const ServerAccount& server, const std::string& own_sid);

} // namespace kavipc
