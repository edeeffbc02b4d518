// Pipe security decisions. Portable: no OS code here.
#include "outside/kavipc32/pipe_policy.h"

namespace kavipc {

namespace {
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kFirstMajorWithTheFlag = 6;
} // namespace

bool MayDropRemoteClientFlag(uint32_t error, uint32_t os_major) {
    return error == kErrorInvalidParameter && os_major < kFirstMajorWithTheFlag;
}

ServerVerdict JudgeServerAccount(const ServerAccount& server, const std::string& own_sid) {
    switch (server.known) {
    case ServerAccount::Known::kNoProcess:
        return ServerVerdict::kAccept;
    case ServerAccount::Known::kTokenUnreadable:
        return ServerVerdict::kRefuseUnreadable;
    case ServerAccount::Known::kAccount:
        break;
    }
    if (server.administrators || server.user_sid == kSystemSid) return ServerVerdict::kAccept;
    if (!server.user_sid.empty() && server.user_sid == own_sid) return ServerVerdict::kAccept;
    return ServerVerdict::kRefuseOtherAccount;
}

} // namespace kavipc
