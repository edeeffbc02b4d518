// Win32 implementation of SnapshotPlatform: toolhelp, performance data, PSAPI, tokens and the
// service control manager. Every handle is owned by an RAII type.
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

class Win32SnapshotPlatform final : public SnapshotPlatform {
public:
    bool IsWin95Mode() override { return Toolhelp().complete; }
    void CreateExecutionMutexOnce() override {
        if (!g_execution_mutex) g_execution_mutex = CreateMutexA(nullptr, FALSE, nullptr);
    }

    bool OpenToolhelpSnapshot() override {
        auto& th = Toolhelp();
        if (!th.complete) return false;
        snapshot_.reset(th.create_snapshot(TH32CS_SNAPPROCESS, 0));
        return snapshot_.valid();
    }
    bool ProcessFirst(ToolhelpProcess* e) override { return Walk(e, Toolhelp().process_first); }
    bool ProcessNext(ToolhelpProcess* e) override { return Walk(e, Toolhelp().process_next); }
    uint32_t GetProcessFlags(uint32_t pid) override {
        auto fn = Toolhelp().get_process_flags;
        return fn ? fn(pid) : 0;
    }
    void CloseToolhelpSnapshot() override { snapshot_.reset(); }

    int PerfCountersDisabledByLibrary() override {
        HMODULE ipc = GetModuleHandleA("KAVIPC32.DLL");
        if (!ipc) return 0;
        auto fn = reinterpret_cast<OrdinalFlagFn>(
            reinterpret_cast<void*>(GetProcAddress(ipc, MAKEINTRESOURCEA(59))));
        return fn ? fn() : 0;
    }
    bool OpenPerfProcKey() override {
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                             "SYSTEM\\CurrentControlSet\\Services\\PerfProc\\Performance", 0,
                             KEY_QUERY_VALUE, perfproc_.put()) == ERROR_SUCCESS;
    }
    bool ReadDisablePerformanceCounters(uint32_t* value) override {
        DWORD v = 0, size = sizeof v;
        if (RegQueryValueExA(perfproc_.get(), "Disable Performance Counters", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&v), &size) != ERROR_SUCCESS)
            return false;
        *value = v;
        return true;
    }
    void ClosePerfProcKey() override { perfproc_.reset(); }

    bool OpenPerflibKey() override {
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                             "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009", 0,
                             KEY_READ, perflib_.put()) == ERROR_SUCCESS;
    }
    long QueryCountersSize(uint32_t* size) override {
        DWORD s = 0;
        LONG rc = RegQueryValueExW(perflib_.get(), L"Counters", nullptr, nullptr, nullptr, &s);
        *size = s;
        return rc;
    }
    bool ReadCounters(std::vector<uint8_t>* data, uint32_t buffer_size) override {
        data->assign(buffer_size, 0);
        DWORD s = buffer_size;
        if (RegQueryValueExW(perflib_.get(), L"Counters", nullptr, nullptr, data->data(), &s) !=
            ERROR_SUCCESS)
            return false;
        data->resize(s < buffer_size ? s : buffer_size);
        return true;
    }
    void ClosePerflibKey() override { perflib_.reset(); }

    long QueryPerformanceData(const std::string& name, uint32_t buffer_size,
                              std::vector<uint8_t>* data) override {
        std::wstring wide(name.begin(), name.end()); // a decimal number
        data->assign(buffer_size, 0);
        DWORD s = buffer_size;
        LONG rc = RegQueryValueExW(HKEY_PERFORMANCE_DATA, wide.c_str(), nullptr, nullptr,
                                   data->data(), &s);
        if (rc == ERROR_SUCCESS) data->resize(s < buffer_size ? s : buffer_size);
        RegCloseKey(HKEY_PERFORMANCE_DATA);
        return rc;
    }

    void OpenProcess(uint32_t pid) override {
        process_.reset(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid));
    }
    std::string ModuleFileName() override {
        auto& ps = Psapi();
        char name[MAX_PATH] = "";
        if (!ps.complete || !process_) return "";
        HMODULE module = nullptr;
        DWORD needed = 0;
        if (ps.enum_modules(process_.get(), &module, sizeof module, &needed))
            ps.module_file_name(process_.get(), module, name, sizeof name);
        name[MAX_PATH - 1] = 0;
        return name;
    }
    bool TokenUserName(std::string* name, uint32_t* token_error) override {
        *token_error = 0;
        win::unique_handle token;
        if (!OpenProcessToken(process_.get(), TOKEN_QUERY, token.put())) {
            *token_error = GetLastError();
            return false;
        }
        DWORD size = 0;
        GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
        if (size == 0 || size > 65536) return false;
        std::vector<uint8_t> buffer(size);
        if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return false;
        PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
        char account[260] = "", domain[260] = "";
        DWORD account_len = sizeof account, domain_len = sizeof domain;
        SID_NAME_USE use;
        if (!LookupAccountSidA(nullptr, sid, account, &account_len, domain, &domain_len, &use))
            return false;
        account[259] = 0;
        *name = account;
        return true;
    }
    void CloseProcess() override { process_.reset(); }

    bool OpenServiceManager() override {
        scm_.reset(OpenSCManagerA(nullptr, nullptr, GENERIC_READ));
        return scm_.valid();
    }
    bool EnumServicesSize(uint32_t type, uint32_t* needed, uint32_t* count,
                          bool* more_data) override {
        DWORD n = 0, c = 0, resume = 0;
        BOOL ok =
            EnumServicesStatusA(scm_.get(), type, SERVICE_STATE_ALL, nullptr, 0, &n, &c, &resume);
        *more_data = !ok && GetLastError() == ERROR_MORE_DATA;
        *needed = n;
        *count = c;
        return ok != FALSE;
    }
    bool EnumServices(uint32_t type, uint32_t buffer_size,
                      std::vector<ServiceStatusEntry>* out) override {
        // The sizing call counted Win32 services and drivers together; a list can also grow
        // between the two calls, so keep the "more data" entries by resuming.
        std::vector<uint8_t> buffer(buffer_size ? buffer_size : sizeof(ENUM_SERVICE_STATUSA));
        DWORD resume = 0;
        for (int rounds = 0; rounds < 64; ++rounds) {
            DWORD needed = 0, count = 0;
            BOOL ok =
                EnumServicesStatusA(scm_.get(), type, SERVICE_STATE_ALL,
                                    reinterpret_cast<ENUM_SERVICE_STATUSA*>(buffer.data()),
                                    static_cast<DWORD>(buffer.size()), &needed, &count, &resume);
            DWORD err = ok ? 0 : GetLastError();
            if (!ok && err != ERROR_MORE_DATA) return !out->empty();
            auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSA*>(buffer.data());
            for (DWORD i = 0; i < count; ++i) {
                ServiceStatusEntry e;
                e.display_name = entries[i].lpDisplayName ? entries[i].lpDisplayName : "";
                e.current_state = entries[i].ServiceStatus.dwCurrentState;
                out->push_back(std::move(e));
            }
            if (ok) return true;
            if (needed > buffer.size()) buffer.resize(needed);
        }
        return true;
    }
    void CloseServiceManager() override { scm_.reset(); }

    std::string WideToAnsi(const std::u16string& text) override {
        char out[260] = "";
        std::wstring wide(text.begin(), text.end());
        int n =
            WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, out, sizeof out - 1, nullptr, nullptr);
        if (n <= 0) return "";
        out[sizeof out - 1] = 0;
        return out;
    }

private:
    bool Walk(ToolhelpProcess* e, Process32Fn fn) {
        if (!fn || !snapshot_) return false;
        PROCESSENTRY32 pe{};
        pe.dwSize = sizeof pe; // 296 on i686, as Windows 95 lays it out
        if (!fn(snapshot_.get(), &pe)) return false;
        e->process_id = pe.th32ProcessID;
        e->parent_process_id = pe.th32ParentProcessID;
        e->thread_count = pe.cntThreads;
        e->base_priority = pe.pcPriClassBase;
        pe.szExeFile[MAX_PATH - 1] = 0;
        e->exe_file = pe.szExeFile;
        return true;
    }

    win::unique_hfile snapshot_;
    win::unique_hkey perfproc_;
    win::unique_hkey perflib_;
    win::unique_handle process_;
    win::unique_schandle scm_;
};

} // namespace

SnapshotPlatform& SystemSnapshotPlatform() {
    static Win32SnapshotPlatform platform;
    return platform;
}

HANDLE ExecutionMutex() {
    return g_execution_mutex;
}

bool Kernel32ToolhelpComplete() {
    return Toolhelp().complete;
}

} // namespace pm::table
