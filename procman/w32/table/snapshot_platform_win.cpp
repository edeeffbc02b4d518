// Win32 implementation of SnapshotPlatform: toolhelp, performance data, PSAPI, tokens and the
// service control manager. Every handle is a local RAII object of the question that opens it.
#include "procman/w32/table/snapshot_platform_win.h"

#include <tlhelp32.h>

#include <memory>

#include "shared/base/dynamic_library.h"
#include "shared/base/win_handles.h"

namespace pm::table {
namespace {

using CreateToolhelp32SnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
using Process32Fn = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);
using GetProcessFlagsFn = DWORD(WINAPI*)(DWORD);
using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using GetModuleFileNameExAFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);
using OrdinalFlagFn = int(WINAPI*)(void);

struct Kernel32Toolhelp {
    std::unique_ptr<DynamicLibrary> library;
    CreateToolhelp32SnapshotFn create_snapshot = nullptr;
    Process32Fn process_first = nullptr;
    Process32Fn process_next = nullptr;
    void* thread_first = nullptr;
    void* thread_next = nullptr;
    GetProcessFlagsFn get_process_flags = nullptr;
    bool complete = false;
};

// Bound once; a second call does nothing, even when the first failed.
Kernel32Toolhelp& Toolhelp() {
    static Kernel32Toolhelp th = [] {
        Kernel32Toolhelp t;
        t.library = std::make_unique<DynamicLibrary>("KERNEL32.DLL");
        auto& l = *t.library;
        t.create_snapshot = l.GetProcAs<CreateToolhelp32SnapshotFn>("CreateToolhelp32Snapshot");
        t.process_first = l.GetProcAs<Process32Fn>("Process32First");
        t.process_next = l.GetProcAs<Process32Fn>("Process32Next");
        t.thread_first = l.GetProc("Thread32First");
        t.thread_next = l.GetProc("Thread32Next");
        t.get_process_flags = l.GetProcAs<GetProcessFlagsFn>("GetProcessFlags");
        t.complete = t.create_snapshot && t.process_first && t.process_next && t.thread_first &&
                     t.thread_next && t.get_process_flags;
        return t;
    }();
    return th;
}

struct PsapiFunctions {
    std::unique_ptr<DynamicLibrary> library;
    EnumProcessModulesFn enum_modules = nullptr;
    GetModuleFileNameExAFn module_file_name = nullptr;
    bool complete = false;
};

PsapiFunctions& Psapi() {
    static PsapiFunctions ps = [] {
        PsapiFunctions p;
        p.library = std::make_unique<DynamicLibrary>("PSAPI.DLL");
        p.enum_modules = p.library->GetProcAs<EnumProcessModulesFn>("EnumProcessModules");
        p.module_file_name = p.library->GetProcAs<GetModuleFileNameExAFn>("GetModuleFileNameExA");
        p.complete = p.enum_modules && p.module_file_name;
        return p;
    }();
    return ps;
}

HANDLE g_execution_mutex = nullptr;
// Set once at start-up, before the first snapshot, from the "Platform" setting.
PlatformChoice g_platform_choice = PlatformChoice::kAutomatic;

// The first module's full path; empty when it cannot be read.
std::string ModulePath(HANDLE process) {
    auto& ps = Psapi();
    char name[MAX_PATH] = "";
    if (!ps.complete || !process) return "";
    HMODULE module = nullptr;
    DWORD needed = 0;
    if (ps.enum_modules(process, &module, sizeof module, &needed))
        ps.module_file_name(process, module, name, sizeof name);
    name[MAX_PATH - 1] = 0;
    return name;
}

// The account name of the token's user; a null process makes the token's open fail.
Win32Result<std::string, TokenStep> TokenUserName(HANDLE process) {
    win::unique_handle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put()))
        return Win32Error(TokenStep::kOpenToken, GetLastError());
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0 || size > 65536) return Win32Error(TokenStep::kTokenUser, GetLastError());
    std::vector<uint8_t> buffer(size);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        return Win32Error(TokenStep::kTokenUser, GetLastError());
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    char account[260] = "", domain[260] = "";
    DWORD account_len = sizeof account, domain_len = sizeof domain;
    SID_NAME_USE use;
    if (!LookupAccountSidA(nullptr, sid, account, &account_len, domain, &domain_len, &use))
        return Win32Error(TokenStep::kLookupAccount, GetLastError());
    account[259] = 0;
    return std::string(account);
}

// One enumeration: a sizing call without a buffer, then, when that reports services (or more
// data), the real call, resumed while the list grows between the calls.
std::vector<ServiceStatusEntry> EnumerateServices(SC_HANDLE scm, const ServiceTypeQuery& q) {
    std::vector<ServiceStatusEntry> out;
    DWORD needed = 0, count = 0, resume = 0;
    BOOL ok = EnumServicesStatusA(scm, q.sizing_type, SERVICE_STATE_ALL, nullptr, 0, &needed,
                                  &count, &resume);
    const bool more_data = !ok && GetLastError() == ERROR_MORE_DATA;
    if (!(more_data || (ok && count > 0))) return out;
    // The sizing call may have counted other types too (Win32 services and drivers together).
    std::vector<uint8_t> buffer(needed ? needed : sizeof(ENUM_SERVICE_STATUSA));
    resume = 0;
    for (int rounds = 0; rounds < 64; ++rounds) {
        needed = 0;
        count = 0;
        ok = EnumServicesStatusA(scm, q.type, SERVICE_STATE_ALL,
                                 reinterpret_cast<ENUM_SERVICE_STATUSA*>(buffer.data()),
                                 static_cast<DWORD>(buffer.size()), &needed, &count, &resume);
        if (!ok && GetLastError() != ERROR_MORE_DATA) return out;
        auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSA*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            ServiceStatusEntry e;
            e.display_name = entries[i].lpDisplayName ? entries[i].lpDisplayName : "";
            e.current_state = entries[i].ServiceStatus.dwCurrentState;
            out.push_back(std::move(e));
        }
        if (ok) return out;
        if (needed > buffer.size()) buffer.resize(needed);
    }
    return out;
}

} // namespace

bool Win32SnapshotPlatform::IsWin95Mode() {
    return Kernel32ToolhelpComplete();
}

std::optional<std::vector<ToolhelpProcess>> Win32SnapshotPlatform::ToolhelpProcesses(size_t limit) {
    auto& th = Toolhelp();
    if (!th.complete) return std::nullopt; // Windows 95 mode forced where toolhelp is missing
    win::unique_hfile snapshot(th.create_snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return std::nullopt;
    std::vector<ToolhelpProcess> found;
    PROCESSENTRY32 pe{};
    pe.dwSize = sizeof pe; // 296 on i686, as Windows 95 lays it out
    for (BOOL more = th.process_first(snapshot.get(), &pe); more && found.size() < limit;
         more = th.process_next(snapshot.get(), &pe)) {
        ToolhelpProcess e;
        e.process_id = pe.th32ProcessID;
        e.parent_process_id = pe.th32ParentProcessID;
        e.thread_count = pe.cntThreads;
        e.base_priority = pe.pcPriClassBase;
        pe.szExeFile[MAX_PATH - 1] = 0;
        e.exe_file = pe.szExeFile;
        found.push_back(std::move(e));
        pe.dwSize = sizeof pe;
    }
    for (ToolhelpProcess& e : found)
        e.process_flags = th.get_process_flags(e.process_id);
    return found;
}

PerfCountersSwitch Win32SnapshotPlatform::PerfCounters() {
    PerfCountersSwitch answer;
    HMODULE ipc = GetModuleHandleA("KAVIPC32.DLL");
    auto fn = ipc ? reinterpret_cast<OrdinalFlagFn>(
                        reinterpret_cast<void*>(GetProcAddress(ipc, MAKEINTRESOURCEA(59))))
                  : nullptr;
    if (!fn || fn() == 0) return answer;
    answer.library_defers_to_registry = true;
    win::unique_hkey key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Services\\PerfProc\\Performance", 0,
                            KEY_QUERY_VALUE, key.put());
    if (rc != ERROR_SUCCESS) {
        answer.disable_value = Win32Error(RegistryStep::kOpenKey, static_cast<uint32_t>(rc));
        return answer;
    }
    DWORD v = 0, size = sizeof v;
    rc = RegQueryValueExA(key.get(), "Disable Performance Counters", nullptr, nullptr,
                          reinterpret_cast<BYTE*>(&v), &size);
    if (rc != ERROR_SUCCESS)
        answer.disable_value = Win32Error(RegistryStep::kReadValue, static_cast<uint32_t>(rc));
    else
        answer.disable_value = Win32Result<uint32_t, RegistryStep>(static_cast<uint32_t>(v));
    return answer;
}

Win32Result<std::vector<uint8_t>, RegistryStep> Win32SnapshotPlatform::CountersText() {
    win::unique_hkey key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009", 0,
                            KEY_READ, key.put());
    if (rc != ERROR_SUCCESS) return Win32Error(RegistryStep::kOpenKey, static_cast<uint32_t>(rc));
    DWORD size = 0;
    rc = RegQueryValueExW(key.get(), L"Counters", nullptr, nullptr, nullptr, &size);
    if (rc != ERROR_SUCCESS) return Win32Error(RegistryStep::kQuerySize, static_cast<uint32_t>(rc));
    // Twice the size reported, as the value may grow between the two reads.
    const DWORD buffer_size = size <= 0x7FFFFFFF ? size * 2 : size;
    std::vector<uint8_t> data(buffer_size, 0);
    DWORD s = buffer_size;
    rc = RegQueryValueExW(key.get(), L"Counters", nullptr, nullptr, data.data(), &s);
    if (rc != ERROR_SUCCESS) return Win32Error(RegistryStep::kReadValue, static_cast<uint32_t>(rc));
    data.resize(s < buffer_size ? s : buffer_size);
    return data;
}

Win32Result<std::vector<uint8_t>> Win32SnapshotPlatform::PerformanceData(const std::string& name,
                                                                         uint32_t buffer_size) {
    std::wstring wide(name.begin(), name.end()); // a decimal number
    std::vector<uint8_t> data(buffer_size, 0);
    DWORD s = buffer_size;
    LONG rc =
        RegQueryValueExW(HKEY_PERFORMANCE_DATA, wide.c_str(), nullptr, nullptr, data.data(), &s);
    RegCloseKey(HKEY_PERFORMANCE_DATA);
    if (rc != ERROR_SUCCESS) return Win32Error(static_cast<uint32_t>(rc));
    data.resize(s < buffer_size ? s : buffer_size);
    return data;
}

ProcessDetails Win32SnapshotPlatform::Process(uint32_t process_id) {
    // May be null: the module path and the token are then not read.
    win::unique_handle process(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, process_id));
    ProcessDetails d;
    d.module_path = ModulePath(process.get());
    d.user_name = TokenUserName(process.get());
    return d;
}

std::vector<std::vector<ServiceStatusEntry>>
Win32SnapshotPlatform::Services(const std::vector<ServiceTypeQuery>& queries) {
    std::vector<std::vector<ServiceStatusEntry>> lists(queries.size());
    win::unique_schandle scm(OpenSCManagerA(nullptr, nullptr, GENERIC_READ));
    if (!scm) return lists;
    for (size_t i = 0; i < queries.size(); ++i)
        lists[i] = EnumerateServices(scm.get(), queries[i]);
    return lists;
}

std::string Win32SnapshotPlatform::WideToAnsi(const std::u16string& text) {
    char out[260] = "";
    std::wstring wide(text.begin(), text.end());
    int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, out, sizeof out - 1, nullptr, nullptr);
    if (n <= 0) return "";
    out[sizeof out - 1] = 0;
    return out;
}

void CreateExecutionMutexOnce() {
    if (!g_execution_mutex) g_execution_mutex = CreateMutexA(nullptr, FALSE, nullptr);
}

HANDLE ExecutionMutex() {
    return g_execution_mutex;
}

bool Kernel32ToolhelpComplete() {
    return DecideWin95Mode(g_platform_choice, Toolhelp().complete);
}

void SetPlatformChoice(PlatformChoice choice) {
    g_platform_choice = choice;
}

} // namespace pm::table
