#include "procman/w32/signals/signal_platform_win.h"

#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "shared/base/win_handles.h"
#include "shared/ipc/kavipc32_abi.h"

namespace pm::signals {
namespace {

using CreateToolhelp32SnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
using Thread32Fn = BOOL(WINAPI*)(HANDLE, THREADENTRY32*);

// The toolhelp thread functions, looked up by name as on Windows 95 they are the only way.
struct ThreadToolhelp {
    CreateToolhelp32SnapshotFn create = nullptr;
    Thread32Fn first = nullptr;
    Thread32Fn next = nullptr;
};

const ThreadToolhelp& Toolhelp() {
    static const ThreadToolhelp th = [] {
        ThreadToolhelp t;
        if (HMODULE k = GetModuleHandleA("KERNEL32.DLL")) {
            t.create = reinterpret_cast<CreateToolhelp32SnapshotFn>(
                reinterpret_cast<void*>(GetProcAddress(k, "CreateToolhelp32Snapshot")));
            t.first = reinterpret_cast<Thread32Fn>(
                reinterpret_cast<void*>(GetProcAddress(k, "Thread32First")));
            t.next = reinterpret_cast<Thread32Fn>(
                reinterpret_cast<void*>(GetProcAddress(k, "Thread32Next")));
        }
        return t;
    }();
    return th;
}

} // namespace

bool Win32SignalPlatform::IsWin9x() {
    HMODULE ipc = GetModuleHandleA("KAVIPC32.DLL");
    if (ipc == nullptr) return false;
    auto fn = reinterpret_cast<KavFlagFn>(
        reinterpret_cast<void*>(GetProcAddress(ipc, MAKEINTRESOURCEA(37))));
    return fn != nullptr && fn() != 0;
}

Win32Status<TerminateStep> Win32SignalPlatform::TerminateProcessById(uint32_t process_id,
                                                                     ProcessAccess access) {
    const DWORD rights = access == ProcessAccess::kAll ? PROCESS_ALL_ACCESS : PROCESS_TERMINATE;
    win::unique_handle process(::OpenProcess(rights, TRUE, process_id));
    if (!process) return Win32Error(TerminateStep::kOpenProcess, GetLastError());
    if (!::TerminateProcess(process.get(), 0))
        return Win32Error(TerminateStep::kTerminate, GetLastError());
    return Done{};
}

QuitAnswer Win32SignalPlatform::PostQuitToFirstThread(uint32_t process_id) {
    QuitAnswer answer;
    const auto& th = Toolhelp();
    bool found = false;
    {
        win::unique_hfile snapshot(th.create ? th.create(TH32CS_SNAPTHREAD, 0)
                                             : INVALID_HANDLE_VALUE);
        if (!snapshot || !th.first || !th.next) {
            answer.status = Win32Error(QuitStep::kThreadSnapshot, GetLastError());
            return answer;
        }
        THREADENTRY32 te{};
        te.dwSize = sizeof te; // 28
        for (BOOL more = th.first(snapshot.get(), &te); more; more = th.next(snapshot.get(), &te)) {
            if (te.th32OwnerProcessID == process_id) {
                answer.thread_id = te.th32ThreadID;
                found = true;
                break;
            }
            te.dwSize = sizeof te;
        }
    } // the snapshot is closed before the message is posted
    if (!found) {
        answer.status = Win32Error(QuitStep::kNoThread, 0);
        return answer;
    }
    if (!PostThreadMessageA(answer.thread_id, WM_QUIT, 0, 0))
        answer.status = Win32Error(QuitStep::kPost, GetLastError());
    return answer;
}

Win32Status<ServiceStep> Win32SignalPlatform::ControlServiceByName(const std::string& name,
                                                                   KeyNameLookup lookup,
                                                                   const ServiceDecision& decide) {
    win::unique_schandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return Win32Error(ServiceStep::kOpenManager, GetLastError());
    char buffer[512] = "";
    DWORD size = 510;
    std::string key = name;
    if (::GetServiceKeyNameA(manager.get(), name.c_str(), buffer, &size)) {
        buffer[sizeof buffer - 1] = '\0';
        key = buffer;
    } else if (lookup == KeyNameLookup::kDisplayNameOnly) {
        return Win32Error(ServiceStep::kKeyName, GetLastError());
    }
    win::unique_schandle service(::OpenServiceA(manager.get(), key.c_str(), SERVICE_ALL_ACCESS));
    if (!service) return Win32Error(ServiceStep::kOpenService, GetLastError());
    SERVICE_STATUS s{};
    if (!::QueryServiceStatus(service.get(), &s))
        return Win32Error(ServiceStep::kQueryStatus, GetLastError());
    const ServiceAction action =
        decide ? decide(ServiceStatus{s.dwCurrentState, s.dwControlsAccepted}) : ServiceAction{};
    switch (action.kind) {
    case ServiceAction::kNothing:
        return Done{};
    case ServiceAction::kRefuse:
        return Win32Error(ServiceStep::kRefused, GetLastError());
    case ServiceAction::kStart:
        if (!::StartServiceA(service.get(), 0, nullptr))
            return Win32Error(ServiceStep::kCall, GetLastError());
        return Done{};
    case ServiceAction::kControl:
        if (!::ControlService(service.get(), action.control, &s))
            return Win32Error(ServiceStep::kCall, GetLastError());
        return Done{};
    }
    return Done{};
}

} // namespace pm::signals
