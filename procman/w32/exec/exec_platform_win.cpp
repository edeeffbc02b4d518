// Win32 implementation of ExecPlatform. Handles are owned by the RAII objects of this file:
// the mutex hold, the logon token, the window station and desktop, and the started process
// with its pipe. Every handle is created with the agent's default security, and only the
// child's ends of the pipe and "nul" are inheritable, for as long as process creation takes;
// where the system has it, the child is given exactly those two to inherit
// (PROC_THREAD_ATTRIBUTE_HANDLE_LIST), whatever else of the agent's may be inheritable.
#include "procman/w32/exec/exec_platform_win.h"

#include <windows.h>

#include <string>
#include <vector>

#include "procman/w32/exec/exec_process.h"
#include "procman/w32/procmgr_svc_node.h"
#include "procman/w32/table/snapshot_platform_win.h"
#include "shared/node/trace_log.h"
#include "shared/base/win_handles.h"

namespace pm::exec {
namespace {

constexpr const char* kInstallKey = "SOFTWARE\\Orvane\\Kestrane\\CurrentVersion";
constexpr const char* kEnvironmentKey = "SOFTWARE\\Orvane\\Kestrane\\Environment";
constexpr DWORD kPipeSize = 8192;
constexpr DWORD kSavedDirectorySize = 4096;

struct WinstaTraits {
    using type = HWINSTA;
    static type invalid() noexcept { return nullptr; }
    static void close(type v) noexcept {
        DWORD err = GetLastError();
        CloseWindowStation(v); // the process is back on its own station by now (StationRestore)
        SetLastError(err);
    }
};
struct DesktopTraits {
    using type = HDESK;
    static type invalid() noexcept { return nullptr; }
    static void close(type v) noexcept {
        DWORD err = GetLastError();
        CloseDesktop(v);
        SetLastError(err);
    }
};

class HeldMutex final : public ExecutionLock {
public:
    explicit HeldMutex(HANDLE mutex) : mutex_(mutex) {}
    ~HeldMutex() override { ReleaseMutex(mutex_); }

private:
    HANDLE mutex_; // the process-wide execution mutex, never closed
};

class Token final : public LogonToken {
public:
    explicit Token(HANDLE h) : handle(h) {}
    win::unique_handle handle;
};

// The security of a user object (window station or desktop) as DACL bytes.
template <typename Traits> class Win32UserObject final : public UserObject {
public:
    explicit Win32UserObject(typename Traits::type h) : handle_(h) {}
    typename Traits::type Handle() const { return handle_.get(); }
    bool ReadDacl(std::vector<uint8_t>* dacl, DaclKind* kind, uint32_t* error) override {
        SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
        DWORD needed = 0;
        if (GetUserObjectSecurity(handle_.get(), &info, nullptr, 0, &needed) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            *error = GetLastError();
            return false;
        }
        std::vector<uint8_t> sd(needed, 0);
        if (!GetUserObjectSecurity(handle_.get(), &info, sd.data(), needed, &needed)) {
            *error = GetLastError();
            return false;
        }
        BOOL has = FALSE, defaulted = FALSE;
        PACL acl = nullptr;
        if (!GetSecurityDescriptorDacl(sd.data(), &has, &acl, &defaulted)) {
            *error = GetLastError();
            return false;
        }
        *kind = !has ? DaclKind::kAbsent : acl ? DaclKind::kPresent : DaclKind::kNull;
        dacl->clear();
        if (*kind == DaclKind::kPresent) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(acl);
            dacl->assign(bytes, bytes + acl->AclSize);
        }
        return true;
    }
    bool WriteDacl(const std::vector<uint8_t>& acl, uint32_t* error) override {
        SECURITY_DESCRIPTOR sd;
        std::vector<uint8_t> copy(acl); // the descriptor points into it
        SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
        if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(copy.data()), FALSE) ||
            !SetUserObjectSecurity(handle_.get(), &info, &sd)) {
            *error = GetLastError();
            return false;
        }
        return true;
    }

private:
    UniqueResource<Traits> handle_;
};

// Puts the process back on the window station it had.
class StationRestore final : public StationSwitch {
public:
    explicit StationRestore(HWINSTA previous) : previous_(previous) {}
    ~StationRestore() override {
        if (previous_) SetProcessWindowStation(previous_);
    }

private:
    HWINSTA previous_; // GetProcessWindowStation's: not to be closed
};

// The handles a child may inherit, as a process-creation attribute, where KERNEL32 has the
// attribute list (resolved at run time; without it creation inherits every inheritable
// handle, which then are only the child's ends).
class InheritList {
public:
    InheritList(HANDLE a, HANDLE b) {
        if (a) handles_[count_++] = a;
        if (b && b != INVALID_HANDLE_VALUE && b != a) handles_[count_++] = b;
        HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
        if (!kernel || count_ == 0) return;
        auto init = reinterpret_cast<InitializeFn>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "InitializeProcThreadAttributeList")));
        auto update = reinterpret_cast<UpdateFn>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "UpdateProcThreadAttribute")));
        remove_ = reinterpret_cast<DeleteFn>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "DeleteProcThreadAttributeList")));
        if (!init || !update || !remove_) return;
        SIZE_T size = 0;
        init(nullptr, 1, 0, &size);
        if (size == 0) return;
        storage_.assign(size, 0);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!init(list, 1, 0, &size)) return;
        if (!update(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_, count_ * sizeof(HANDLE),
                    nullptr, nullptr)) {
            remove_(list);
            return;
        }
        list_ = list;
    }
    ~InheritList() {
        if (list_) remove_(list_);
    }
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

private:
    using InitializeFn = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD, PSIZE_T);
    using UpdateFn = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T,
                                   PVOID, PSIZE_T);
    using DeleteFn = VOID(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST);
    HANDLE handles_[2] = {};
    SIZE_T count_ = 0;
    std::vector<uint8_t> storage_;
    DeleteFn remove_ = nullptr;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

class Win32Started final : public StartedProcess, public CaptureSource {
public:
    Win32Started(HANDLE process, win::unique_handle read_end)
        : process_(process), read_(std::move(read_end)) {}
    CaptureSource& Output() override { return *this; }
    WaitOutcome Wait(uint32_t timeout_ms, uint32_t* exit_code, uint32_t* error) override {
        DWORD r = WaitForSingleObject(process_.get(), timeout_ms);
        if (r == WAIT_FAILED) {
            *error = GetLastError();
            return WaitOutcome::kFailed;
        }
        DWORD code = 0;
        GetExitCodeProcess(process_.get(), &code);
        *exit_code = code;
        return r == WAIT_TIMEOUT ? WaitOutcome::kTimedOut : WaitOutcome::kEnded;
    }
    bool WaitProcess(uint32_t ms) override {
        return WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0;
    }
    bool BytesWaiting(uint32_t* count, uint32_t* error) override {
        DWORD available = 0;
        if (!PeekNamedPipe(read_.get(), nullptr, 0, nullptr, &available, nullptr)) {
            *error = GetLastError();
            return false;
        }
        *count = available;
        return true;
    }
    bool Read(uint8_t* chunk, uint32_t size, uint32_t* got) override {
        DWORD n = 0;
        BOOL ok = ReadFile(read_.get(), chunk, size, &n, nullptr);
        *got = n;
        return ok != FALSE;
    }

private:
    win::unique_handle process_;
    win::unique_handle read_;
};

class Win32VariableSource final : public VariableSource {
public:
    bool EnvironmentValue(const std::string& name, std::string* value) override {
        std::vector<char> buffer(2048);
        DWORD n = GetEnvironmentVariableA(name.c_str(), buffer.data(), DWORD(buffer.size()));
        if (n >= buffer.size()) { // too small: n is the size needed
            buffer.resize(n + 1);
            n = GetEnvironmentVariableA(name.c_str(), buffer.data(), DWORD(buffer.size()));
            if (n >= buffer.size()) n = 0;
        }
        if (n == 0) return false;
        value->assign(buffer.data(), n);
        return true;
    }
    bool RegistryValue(const std::string& name, std::string* value, bool* expandable) override {
        HKEY key = EnvironmentKey();
        if (!key) return false;
        DWORD type = 0, size = 0;
        if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return false;
        std::vector<char> buffer(size + 1, 0);
        if (RegQueryValueExA(key, name.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS)
            return false;
        value->assign(buffer.data(), strnlen(buffer.data(), size));
        *expandable = type == REG_EXPAND_SZ;
        return true;
    }
    bool ExpandReferences(const std::string& text, std::string* out) override {
        std::vector<char> buffer(2048);
        DWORD n = ExpandEnvironmentStringsA(text.c_str(), buffer.data(), DWORD(buffer.size()));
        if (n > buffer.size()) {
            buffer.resize(n);
            n = ExpandEnvironmentStringsA(text.c_str(), buffer.data(), DWORD(buffer.size()));
        }
        if (n == 0 || n > buffer.size()) return false;
        out->assign(buffer.data());
        return true;
    }

private:
    // Opened once, kept for the life of the process (shared by every execution).
    static HKEY EnvironmentKey() {
        static const win::unique_hkey key = [] {
            win::unique_hkey k;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEnvironmentKey, 0, KEY_READ, k.put()) !=
                ERROR_SUCCESS)
                k.reset();
            return k;
        }();
        return key.get();
    }
};

class Win32ExecPlatform final : public ExecPlatform {
public:
    bool Win95Mode() override { return table::Kernel32ToolhelpComplete(); }

    std::unique_ptr<ExecutionLock> HoldExecutionMutex(uint32_t ms) override {
        HANDLE mutex = table::ExecutionMutex();
        if (!mutex) return nullptr; // created at start-up; without it no execution runs
        DWORD r = WaitForSingleObject(mutex, ms);
        if (r == WAIT_ABANDONED)
            Trace("--ExecProcess(): execution mutex abandoned by a thread that ended, taken\n");
        if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) return nullptr;
        return std::make_unique<HeldMutex>(mutex);
    }

    int AnonymousRequest() override {
        HMODULE ipc = GetModuleHandleA("KAVIPC32.DLL");
        if (!ipc) return 0;
        auto fn = reinterpret_cast<int(WINAPI*)(void)>(
            reinterpret_cast<void*>(GetProcAddress(ipc, MAKEINTRESOURCEA(38))));
        return fn ? fn() : 0;
    }

    bool RestrictAnonCmdExec(uint32_t* value) override {
        win::unique_hkey key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
            return false;
        DWORD v = 0, size = sizeof v;
        if (RegQueryValueExA(key.get(), "RestrictAnonCmdExec", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&v), &size) != ERROR_SUCCESS)
            return false;
        *value = v;
        return true;
    }

    VariableSource& Variables() override { return variables_; }

    std::unique_ptr<LogonToken> LogOn(const std::string& user, const std::string& password,
                                      uint32_t* error) override {
        HANDLE token = nullptr;
        if (!LogonUserA(user.c_str(), nullptr, password.c_str(), LOGON32_LOGON_INTERACTIVE,
                        LOGON32_PROVIDER_DEFAULT, &token)) {
            *error = GetLastError();
            return nullptr;
        }
        return std::make_unique<Token>(token);
    }

    std::unique_ptr<UserObject> OpenInteractiveStation(uint32_t* error) override {
        HWINSTA station = OpenWindowStationA("winsta0", FALSE, READ_CONTROL | WRITE_DAC);
        if (!station) {
            *error = GetLastError();
            return nullptr;
        }
        return std::make_unique<Win32UserObject<WinstaTraits>>(station);
    }

    std::unique_ptr<StationSwitch> UseStation(UserObject& station, uint32_t* error) override {
        HWINSTA previous = GetProcessWindowStation();
        if (!SetProcessWindowStation(
                static_cast<Win32UserObject<WinstaTraits>&>(station).Handle())) {
            *error = GetLastError();
            return nullptr;
        }
        return std::make_unique<StationRestore>(previous);
    }

    std::unique_ptr<UserObject> OpenDefaultDesktop(uint32_t* error) override {
        HDESK desktop =
            OpenDesktopA("default", 0, FALSE,
                         READ_CONTROL | WRITE_DAC | DESKTOP_WRITEOBJECTS | DESKTOP_READOBJECTS);
        if (!desktop) {
            *error = GetLastError();
            return nullptr;
        }
        return std::make_unique<Win32UserObject<DesktopTraits>>(desktop);
    }

    bool TokenUserSid(const LogonToken& token, std::string* sid, uint32_t* error) override {
        HANDLE h = static_cast<const Token&>(token).handle.get();
        DWORD needed = 0;
        if (GetTokenInformation(h, TokenUser, nullptr, 0, &needed) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            *error = GetLastError();
            return false;
        }
        std::vector<uint8_t> buffer(needed, 0);
        if (!GetTokenInformation(h, TokenUser, buffer.data(), needed, &needed)) {
            *error = GetLastError();
            return false;
        }
        PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
        if (!IsValidSid(user)) {
            *error = ERROR_INVALID_SID;
            return false;
        }
        sid->assign(static_cast<const char*>(user), GetLengthSid(user));
        return true;
    }

    StartResult Start(const StartSpec& spec) override {
        StartResult result;
        STARTUPINFOEXA six{};
        STARTUPINFOA& si = six.StartupInfo;
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = SW_MINIMIZE;
        char desktop[] = "WinSta0\\Default";
        si.lpDesktop = desktop;

        win::unique_handle read_end, write_end;
        win::unique_hfile nul;
        if (spec.capture) {
            // Default security, not inheritable; only the child's ends become inheritable.
            HANDLE r = nullptr, w = nullptr;
            if (!CreatePipe(&r, &w, nullptr, kPipeSize)) {
                result.failure = StartResult::Failure::kPipe;
                result.error = GetLastError();
                return result;
            }
            read_end.reset(r);
            write_end.reset(w);
            if (!SetHandleInformation(w, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
                result.failure = StartResult::Failure::kPipe;
                result.error = GetLastError();
                return result;
            }
            SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
            nul.reset(CreateFileA("nul", GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                                  0, nullptr));
            si.hStdOutput = w;
            si.hStdError = w;
            si.hStdInput = nul.get();
            si.dwFlags |= STARTF_USESTDHANDLES;
        }
        // Without capture the child inherits nothing at all.
        const BOOL inherit = spec.capture ? TRUE : FALSE;
        InheritList inherit_list(write_end.get(), nul.get());
        DWORD flags = spec.no_window ? (CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS)
                                     : (CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS);
        if (inherit_list.Get()) {
            six.lpAttributeList = inherit_list.Get();
            si.cb = sizeof six;
            flags |= EXTENDED_STARTUPINFO_PRESENT;
        }

        // As the user first: the working directory is changed as the identity that will run
        // the command, and nothing starts when that identity cannot be taken.
        HANDLE token = spec.token ? static_cast<const Token*>(spec.token)->handle.get() : nullptr;
        if (token && !ImpersonateLoggedOnUser(token)) {
            result.failure = StartResult::Failure::kImpersonate;
            result.error = GetLastError();
            if (!Win95Mode()) RevertToSelf();
            return result;
        }
        char saved[kSavedDirectorySize] = {};
        bool changed = false;
        if (!spec.working_directory.empty()) {
            DWORD n = GetCurrentDirectoryA(kSavedDirectorySize, saved);
            changed = n > 0 && n < kSavedDirectorySize;
            SetCurrentDirectoryA(spec.working_directory.c_str());
        }
        std::vector<char> line(spec.command_line.begin(), spec.command_line.end());
        line.push_back('\0');
        void* environment = spec.environment ? const_cast<uint8_t*>(spec.environment) : nullptr;
        // With an environment block the working directory goes to creation too (none if empty).
        const char* cwd = spec.environment && !spec.working_directory.empty()
                              ? spec.working_directory.c_str()
                              : nullptr;
        PROCESS_INFORMATION pi{};
        BOOL ok = FALSE;
        if (token) {
            ok = CreateProcessAsUserA(token, nullptr, line.data(), nullptr, nullptr, inherit, flags,
                                      environment, cwd, &si, &pi);
        } else {
            ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, inherit, flags, environment,
                                cwd, &si, &pi);
        }
        DWORD error = ok ? 0 : GetLastError();
        if (changed) SetCurrentDirectoryA(saved);
        if (!Win95Mode()) RevertToSelf();
        // The agent's copies of the child's ends go before the execution mutex is released.
        write_end.reset();
        nul.reset();
        if (!ok) {
            result.failure = StartResult::Failure::kCreate;
            result.error = error;
            return result;
        }
        CloseHandle(pi.hThread);
        result.process = std::make_unique<Win32Started>(pi.hProcess, std::move(read_end));
        return result;
    }

    void ConvertOemToAnsi(uint8_t* text, size_t size) override {
        // In pieces: the conversion goes through a UTF-16 copy of what it is given, which for
        // a large output would hold twice its size at once. A piece never ends between the two
        // bytes of a double-byte character.
        constexpr size_t kPiece = 64 * 1024;
        char* p = reinterpret_cast<char*>(text);
        for (size_t at = 0; at < size;) {
            size_t end = at;
            while (end < size && end - at < kPiece)
                end += IsDBCSLeadByteEx(CP_OEMCP, BYTE(p[end])) && end + 1 < size ? 2 : 1;
            OemToCharBuffA(p + at, p + at, static_cast<DWORD>(end - at));
            at = end;
        }
    }

    CharacterLayout AnsiLayout() override {
        CharacterLayout layout;
        if (GetACP() == CP_UTF8) {
            layout.kind = CharacterLayout::Kind::kUtf8;
            return layout;
        }
        CPINFO info{};
        if (GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 2) {
            layout.kind = CharacterLayout::Kind::kDoubleByte;
            for (unsigned b = 0; b < 256; ++b)
                layout.lead[b] = IsDBCSLeadByteEx(CP_ACP, BYTE(b)) != 0;
        }
        return layout;
    }

private:
    Win32VariableSource variables_;
};

DWORD WINAPI ExecThread(void* parameter) {
    auto* command = static_cast<Command*>(parameter);
    ExecutionTracker& tracker = ProcessExecutions();
    DWORD code = 0;
    try {
        code = ExecProcess(
            command, SystemExecPlatform(),
            [](Command* c) {
                ProcMgrSvcNode* node = ProcessNode();
                return node && node->SendReply(c) != 0;
            },
            &tracker);
    } catch (...) {
        // ExecProcess lets nothing out; this only keeps a throw of the thread's own set-up
        // from ending the agent.
    }
    tracker.Finish();
    return code;
}

} // namespace

ExecPlatform& SystemExecPlatform() {
    static Win32ExecPlatform platform;
    return platform;
}

bool StartExecThread(Command* command) {
    return StartExecution(command, ProcessExecutions(), [](Command* c) {
        win::unique_handle thread(CreateThread(nullptr, 0, &ExecThread, c, 0, nullptr));
        return thread.valid();
    });
}

} // namespace pm::exec
