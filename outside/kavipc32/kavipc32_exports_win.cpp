// The DLL's entry points. Each export is noexcept in effect: one catch maps any failure to the
// export's error value, so nothing unwinds into the caller.
#include <windows.h>

#include <mutex>
#include <set>

#include "shared/ipc/kavipc32_abi.h"
#include "outside/kavipc32/message_block.h"
#include "shared/ipc/message_layout.h"
#include "outside/kavipc32/messenger.h"
#include "outside/kavipc32/pipe_transport_win.h"
#include "outside/kavipc32/settings.h"
#include "outside/kavipc32/system_info_win.h"
#include "outside/kavipc32/trace_file.h"

namespace {

HMODULE g_module = nullptr;
std::atomic<DWORD> g_main_thread{0};

// The thread that called InitApplication, asked to leave its loop with WM_QUIT.
bool HasMainThread() {
    return g_main_thread.load() != 0;
}
bool PostQuitToMainThread() {
    DWORD tid = g_main_thread.load();
    return tid != 0 && PostThreadMessageA(tid, WM_QUIT, 0, 0);
}

// The library's state. Never destroyed: at process exit its threads are already gone, and
// joining them from a destructor would hang. TermApplication stops everything explicitly.
struct Library {
    kavipc::Messenger messenger;
    kavipc::PipeTransport transport;
    Library() : messenger(transport, {HasMainThread, PostQuitToMainThread}), transport(messenger) {}
};

std::mutex g_lib_mu;
Library* g_lib = nullptr;

Library& Lib() {
    std::lock_guard<std::mutex> lock(g_lib_mu);
    if (g_lib == nullptr) {
        // Once threads run in this DLL it must not be unloaded under them.
        HMODULE pinned = nullptr;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCSTR>(&PostQuitToMainThread), &pinned);
        g_lib = new Library();
    }
    return *g_lib;
}

std::mutex g_trace_mu;
std::set<kavipc::TraceFile*>* g_traces = new std::set<kavipc::TraceFile*>();

template <typename F> void WithTrace(uintptr_t handle, F&& f) {
    std::lock_guard<std::mutex> lock(g_trace_mu);
    auto* t = reinterpret_cast<kavipc::TraceFile*>(handle);
    if (g_traces->count(t) != 0) f(*t);
}

template <typename R, typename F> R Guard(R on_error, F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        return on_error;
    }
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" {

int KAVIPC_API InitApplication(void) {
    return Guard(0, [] {
        g_main_thread = GetCurrentThreadId();
        // PostThreadMessage needs the thread's queue: make sure it exists now.
        MSG msg;
        PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        Lib();
        return 1;
    });
}

int KAVIPC_API TermApplication(void) {
    return Guard(0, [] {
        Lib().messenger.Shutdown();
        return 1;
    });
}

int KAVIPC_API EnqueueMessage(void* message) {
    return Guard(0, [&] { return Lib().messenger.Enqueue(message); });
}

int KAVIPC_API EnqueueMessage2(void* message, int /*flag*/) {
    return Guard(0, [&] { return Lib().messenger.Enqueue(message); });
}

void* KAVIPC_API AllocateMessage(uint32_t size) {
    return kavipc::AllocateBlock(size);
}

void KAVIPC_API FreeMessage(void* message) {
    kavipc::FreeBlock(message);
}

int KAVIPC_API SvcNodeExists(const char* name) {
    return Guard(0, [&] { return Lib().messenger.Exists(name) ? 1 : 0; });
}

uintptr_t KAVIPC_API CreateSvcNode(const char* name, void* node, KavMessageCallback callback) {
    return Guard<uintptr_t>(0, [&] { return Lib().messenger.CreateNode(name, node, callback); });
}

int KAVIPC_API DeleteSvcNode(const char* name) {
    return Guard(0, [&] { return Lib().messenger.DeleteNode(name); });
}

uint32_t KAVIPC_API GetGlobalTimeout(const char* /*addressee*/, uint32_t timeout_ms) {
    return timeout_ms;
}

int KAVIPC_API NFUseInputDesktop(int /*use*/) {
    return 1;
}

int KAVIPC_API RequestNodeQuit(const char* name) {
    return Guard(static_cast<int>(kavipc::QuitAnswer::kNoAnswer),
                 [&] { return static_cast<int>(Lib().messenger.RequestQuit(name)); });
}

uint32_t KAVIPC_API NodeOwnerProcess(const char* name) {
    if (!kavipc::IsValidNodeName(name)) return 0;
    return Guard<uint32_t>(0, [&] { return kavipc::NodeServerProcessId(name); });
}

int KAVIPC_API KavGetOsVersion(uint32_t* major, uint32_t* minor, uint32_t* platform) {
    kavipc::OsVersion v;
    if (!kavipc::ReadOsVersion(&v)) return 0;
    if (major != nullptr) *major = v.major;
    if (minor != nullptr) *minor = v.minor;
    if (platform != nullptr) *platform = v.platform;
    return 1;
}

int KAVIPC_API KavIsWin9x(void) {
    return kavipc::IsWin9xPlatform() ? 1 : 0;
}

int KAVIPC_API KavAnonExecRestricted(void) {
    return kavipc::ReadMessagingFlag(kavipc::kAnonExecRestrictedValue) != 0 ? 1 : 0;
}

int KAVIPC_API KavPerfCountersDisabled(void) {
    return kavipc::ReadMessagingFlag(kavipc::kPerfCountersDisabledValue) != 0 ? 1 : 0;
}

uintptr_t KAVIPC_API KavTraceOpen(const char* name, const char* second_name, uint32_t max_kb) {
    if (name == nullptr || *name == '\0') return 0;
    return Guard<uintptr_t>(0, [&]() -> uintptr_t {
        std::string dir = kavipc::TraceDirectory(g_module);
        std::string second = second_name != nullptr && *second_name != '\0' ? second_name : "";
        auto* t = new kavipc::TraceFile(
            kavipc::JoinTracePath(dir, name),
            second.empty() ? std::string() : kavipc::JoinTracePath(dir, second), max_kb);
        if (!t->Open()) {
            delete t;
            return 0;
        }
        std::lock_guard<std::mutex> lock(g_trace_mu);
        g_traces->insert(t);
        return reinterpret_cast<uintptr_t>(t);
    });
}

void KAVIPC_API KavTraceClose(uintptr_t trace) {
    std::lock_guard<std::mutex> lock(g_trace_mu);
    auto* t = reinterpret_cast<kavipc::TraceFile*>(trace);
    if (g_traces->erase(t) != 0) delete t;
}

void KAVIPC_API KavTrace0(uintptr_t trace, const char* label, int line, const char* fmt) {
    Guard(0, [&] {
        WithTrace(trace, [&](kavipc::TraceFile& t) {
            t.WriteLine(kavipc::FormatTraceLine(label, line, fmt));
        });
        return 0;
    });
}

void KAVIPC_API KavTraceS(uintptr_t trace, const char* label, int line, const char* fmt,
                          const char* s) {
    Guard(0, [&] {
        WithTrace(trace, [&](kavipc::TraceFile& t) {
            t.WriteLine(kavipc::FormatTraceLine(label, line, fmt, s));
        });
        return 0;
    });
}

void KAVIPC_API KavTraceSS(uintptr_t trace, const char* label, int line, const char* fmt,
                           const char* s1, const char* s2) {
    Guard(0, [&] {
        WithTrace(trace, [&](kavipc::TraceFile& t) {
            t.WriteLine(kavipc::FormatTraceLine(label, line, fmt, s1, s2));
        });
        return 0;
    });
}

void KAVIPC_API KavTraceSI(uintptr_t trace, const char* label, int line, const char* fmt,
                           const char* s, long n) {
    Guard(0, [&] {
        WithTrace(trace, [&](kavipc::TraceFile& t) {
            t.WriteLine(kavipc::FormatTraceLine(label, line, fmt, s, n));
        });
        return 0;
    });
}

void KAVIPC_API KavTraceI(uintptr_t trace, const char* label, int line, const char* fmt, long n) {
    Guard(0, [&] {
        WithTrace(trace, [&](kavipc::TraceFile& t) {
            t.WriteLine(kavipc::FormatTraceLine(label, line, fmt, n));
        });
        return 0;
    });
}

void KAVIPC_API KavTraceII(uintptr_t trace, const char* label, int line, const char* fmt, long n1,
                           long n2) {
    Guard(0, [&] {
        WithTrace(trace, [&](kavipc::TraceFile& t) {
            t.WriteLine(kavipc::FormatTraceLine(label, line, fmt, n1, n2));
        });
        return 0;
    });
}

} // extern "C"
