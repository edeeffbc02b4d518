// Pipe DACL: SYSTEM, Administrators and the creating account.
#include "outside/kavipc32/pipe_security_win.h"

#include <sddl.h>

#include <cstdio>
#include <vector>

#include "outside/kavipc32/pipe_naming.h"
#include "shared/base/win_handles.h"

namespace kavipc {

std::string CurrentUserSid() {
    pm::win::unique_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return {};
    std::vector<unsigned char> buf(size);
    if (!GetTokenInformation(token.get(), TokenUser, buf.data(), size, &size)) return {};
    auto* user = reinterpret_cast<TOKEN_USER*>(buf.data());
    char* text = nullptr;
    if (!ConvertSidToStringSidA(user->User.Sid, &text)) return {};
    unique_local owner(text);
    return std::string(text);
}

PipeSecurity::PipeSecurity() {
    std::string sddl = PipeSddl(CurrentUserSid());
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                              nullptr)) {
        return;
    }
    descriptor_.reset(sd);
    sa_.nLength = sizeof sa_;
    sa_.lpSecurityDescriptor = sd;
    sa_.bInheritHandle = FALSE;
}

void TraceLoudly(const char* text) {
    OutputDebugStringA(text);
    std::fputs(text, stderr);
}

} // namespace kavipc
