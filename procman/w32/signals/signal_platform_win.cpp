#include "procman/w32/signals/signal_platform_win.h"

#include <tlhelp32.h>

#include <cstring>

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

bool Walk(HANDLE snapshot, Thread32Fn fn, ThreadInfo* out) {
    if (fn == nullptr || snapshot == INVALID_HANDLE_VALUE) return false;
    THREADENTRY32 te{};
    te.dwSize = sizeof te; // 28
    if (!fn(snapshot, &te)) return false;
    out->thread_id = te.th32ThreadID;
    out->owner_process_id = te.th32OwnerProcessID;
    return true;
}

} // namespace

int Win32SignalPlatform::IsWin9x() {
    HMODULE ipc = GetModuleHandleA("KAVIPC32.DLL");
    if (ipc == nullptr) return 0;
    auto fn = reinterpret_cast<KavFlagFn>(
        reinterpret_cast<void*>(GetProcAddress(ipc, MAKEINTRESOURCEA(37))));
    return fn != nullptr ? fn() : 0;
}

bool Win32SignalPlatform::OpenProcess(uint32_t process_id, bool all_access) {
    process_.reset(
        ::OpenProcess(all_access ? PROCESS_ALL_ACCESS : PROCESS_TERMINATE, FALSE, process_id));
    return process_.valid();
}

bool Win32SignalPlatform::TerminateProcess(uint32_t exit_code) {
    return ::TerminateProcess(process_.get(), exit_code) != FALSE;
}

bool Win32SignalPlatform::OpenThreadSnapshot() {
    const auto& th = Toolhelp();
    if (th.create == nullptr) return false;
    snapshot_.reset(th.create(TH32CS_SNAPTHREAD, 0));
    return snapshot_.valid();
}

bool Win32SignalPlatform::ThreadFirst(ThreadInfo* thread) {
    return Walk(snapshot_.get(), Toolhelp().first, thread);
}

bool Win32SignalPlatform::ThreadNext(ThreadInfo* thread) {
    return Walk(snapshot_.get(), Toolhelp().next, thread);
}

bool Win32SignalPlatform::PostQuit(uint32_t thread_id) {
    return PostThreadMessageA(thread_id, WM_QUIT, 0, 0) != FALSE;
}

bool Win32SignalPlatform::OpenServiceManager() {
    manager_.reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return manager_.valid();
}

bool Win32SignalPlatform::ServiceKeyName(const std::string& display_name, std::string* key_name) {
    char buffer[512] = "";
    DWORD size = 510;
    if (!::GetServiceKeyNameA(manager_.get(), display_name.c_str(), buffer, &size)) return false;
    buffer[sizeof buffer - 1] = '\0';
    *key_name = buffer;
    return true;
}

bool Win32SignalPlatform::OpenServiceByKey(const std::string& key_name) {
    service_.reset(::OpenServiceA(manager_.get(), key_name.c_str(), SERVICE_ALL_ACCESS));
    return service_.valid();
}

bool Win32SignalPlatform::QueryServiceStatus(ServiceStatus* status) {
    SERVICE_STATUS s{};
    if (!::QueryServiceStatus(service_.get(), &s)) return false;
    status->current_state = s.dwCurrentState;
    status->controls_accepted = s.dwControlsAccepted;
    return true;
}

bool Win32SignalPlatform::ControlService(uint32_t control) {
    SERVICE_STATUS s{};
    return ::ControlService(service_.get(), control, &s) != FALSE;
}

bool Win32SignalPlatform::StartServiceNoArgs() {
    return ::StartServiceA(service_.get(), 0, nullptr) != FALSE;
}

} // namespace pm::signals
