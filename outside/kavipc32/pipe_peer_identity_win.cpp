// The account behind a node's pipe, read from the serving process's token.
#include "outside/kavipc32/pipe_peer_identity_win.h"

#include <sddl.h>

#include <cstdio>
#include <vector>

#include "outside/kavipc32/pipe_security_win.h"
#include "shared/base/win_handles.h"

namespace kavipc {
namespace {

using GetServerPidFn = BOOL(WINAPI*)(HANDLE, PULONG);

std::string SidText(PSID sid) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) return {};
    unique_local owner(text);
    return std::string(text);
}

} // namespace

DWORD ServerProcessId(HANDLE client) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto fn = kernel ? reinterpret_cast<GetServerPidFn>(reinterpret_cast<void*>(
                           GetProcAddress(kernel, "GetNamedPipeServerProcessId")))
                     : nullptr;
    ULONG pid = 0;
    if (fn == nullptr || !fn(client, &pid)) return 0;
    return pid;
}

ServerAccount ProcessAccount(DWORD pid) {
    ServerAccount a;
    if (pid == 0) return a;
    // From here on the process is known: any failure to read its account fails closed.
    a.known = ServerAccount::Known::kTokenUnreadable;
    pm::win::unique_handle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
    if (!process) process.reset(OpenProcess(0x1000 /* QUERY_LIMITED_INFORMATION */, FALSE, pid));
    pm::win::unique_handle token;
    if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return a;
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return a;
    std::vector<unsigned char> user(size);
    if (!GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return a;
    a.user_sid = SidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
    if (a.user_sid.empty()) return a;
    a.known = ServerAccount::Known::kAccount;
    size = 0;
    GetTokenInformation(token.get(), TokenGroups, nullptr, 0, &size);
    std::vector<unsigned char> groups(size ? size : 1);
    if (size != 0 && GetTokenInformation(token.get(), TokenGroups, groups.data(), size, &size)) {
        auto* g = reinterpret_cast<TOKEN_GROUPS*>(groups.data());
        for (DWORD i = 0; i < g->GroupCount; ++i) {
            if ((g->Groups[i].Attributes & SE_GROUP_ENABLED) != 0 &&
                SidText(g->Groups[i].Sid) == "S-1-5-32-544") {
                a.administrators = true;
            }
        }
    }
    return a;
}

bool MayTalkToServer(HANDLE client, const std::string& node) {
    DWORD pid = ServerProcessId(client);
    ServerAccount server = ProcessAccount(pid);
    ServerVerdict verdict = JudgeServerAccount(server, CurrentUserSid());
    if (verdict == ServerVerdict::kAccept) return true;
    char line[512];
    if (verdict == ServerVerdict::kRefuseUnreadable) {
        std::snprintf(line, sizeof line,
                      "KAVIPC32: refused to talk to node \"%s\": the account of "
                      "process %lu, which serves its pipe, cannot be read\n",
                      node.c_str(), static_cast<unsigned long>(pid));
    } else {
        std::snprintf(line, sizeof line,
                      "KAVIPC32: refused to talk to node \"%s\": its pipe is served "
                      "by process %lu running as %s, not as this account, SYSTEM or "
                      "an administrator (has another program taken the name?)\n",
                      node.c_str(), static_cast<unsigned long>(pid), server.user_sid.c_str());
    }
    TraceLoudly(line);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

} // namespace kavipc
