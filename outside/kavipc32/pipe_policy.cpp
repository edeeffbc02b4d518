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

bool ServerAccountAccepted(const ServerAccount& server, const std::string& own_sid) {
    if (!server.known) return true;
    if (server.administrators || server.user_sid == kSystemSid) return true;
    return !server.user_sid.empty() && server.user_sid == own_sid;
}

} // namespace kavipc
