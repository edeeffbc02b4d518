#include "procman/com/plugin_platform_win.h"

#include <tlhelp32.h>

#include <ctime>

#include "shared/ipc/kavipc32_abi.h"
#include "shared/base/win_handles.h"
#include "shared/catalog/catalog.h"
#include "shared/cmdline/cmd_line.h"
#include "shared/monitor/file_replace.h"

namespace pm::monitor {

namespace {

using SnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
using Process32Fn = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);
using EnumProcessesFn = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using GetModuleFileNameExFn = DWORD(WINAPI*)(HANDLE, HMODULE, char*, DWORD);

constexpr DWORD kSnapshotProcesses = 2; // TH32CS_SNAPPROCESS
constexpr DWORD kOpenAccess = 0x1F0FFF; // every right a process handle had
constexpr DWORD kMaxIds = 1024;         // a 4096-byte array
constexpr DWORD kNameBuffer = 260;

#if defined(_M_IX86) || defined(__i386__)
static_assert(sizeof(PROCESSENTRY32) == 296, "the toolhelp entry of the i686 build");
#endif

} // namespace

bool Win32PluginPlatform::Resolve(Binding& b, const char* library, const char* const names[3]) {
    if (b.state != 0) return b.state > 0;
    b.state = -1;
    b.library = std::make_unique<DynamicLibrary>(library);
    if (!b.library->IsLoaded()) return false;
    for (int i = 0; i < 3; ++i) {
        b.fn[i] = b.library->GetProc(names[i]);
        if (!b.fn[i]) return false;
    }
    b.state = 1;
    return true;
}

int64_t Win32PluginPlatform::Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

LocalTime Win32PluginPlatform::Local(int64_t calendar_time) {
    const time_t t = static_cast<time_t>(calendar_time);
    std::tm tm{};
    LocalTime l;
    if (localtime_s(&tm, &t) != 0) return l;
    l.second = tm.tm_sec;
    l.minute = tm.tm_min;
    l.hour = tm.tm_hour;
    l.day_of_month = tm.tm_mday;
    return l;
}

bool Win32PluginPlatform::IsWin9xFamily() {
    return KavIsWin9x() != 0;
}

bool Win32PluginPlatform::ToolhelpUsable() {
    static const char* const names[3] = {"CreateToolhelp32Snapshot", "Process32First",
                                         "Process32Next"};
    return Resolve(toolhelp_, "KERNEL32.DLL", names);
}

bool Win32PluginPlatform::PsapiUsable() {
    static const char* const names[3] = {"EnumProcesses", "EnumProcessModules",
                                         "GetModuleFileNameExA"};
    return Resolve(psapi_, "PSAPI.DLL", names);
}

bool Win32PluginPlatform::ListToolhelp(std::vector<ProcessEntry>& out) {
    if (toolhelp_.state <= 0) return false;
    auto snapshot_fn = reinterpret_cast<SnapshotFn>(toolhelp_.fn[0]);
    auto first_fn = reinterpret_cast<Process32Fn>(toolhelp_.fn[1]);
    auto next_fn = reinterpret_cast<Process32Fn>(toolhelp_.fn[2]);
    win::unique_hfile snapshot(snapshot_fn(kSnapshotProcesses, 0));
    if (!snapshot) return false;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    if (!first_fn(snapshot.get(), &entry)) return false;
    do {
        entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
        out.push_back({entry.szExeFile, static_cast<uint32_t>(entry.th32ProcessID)});
    } while (next_fn(snapshot.get(), &entry));
    return true;
}

void Win32PluginPlatform::ListPsapi(std::vector<ProcessEntry>& out, uint32_t& ids) {
    ids = 0;
    if (psapi_.state <= 0) return;
    auto enum_fn = reinterpret_cast<EnumProcessesFn>(psapi_.fn[0]);
    auto modules_fn = reinterpret_cast<EnumProcessModulesFn>(psapi_.fn[1]);
    auto name_fn = reinterpret_cast<GetModuleFileNameExFn>(psapi_.fn[2]);
    DWORD list[kMaxIds];
    DWORD bytes = 0;
    if (!enum_fn(list, sizeof list, &bytes)) return;
    ids = bytes / sizeof(DWORD);
    if (ids > kMaxIds) ids = kMaxIds;
    for (uint32_t i = 0; i < ids; ++i) {
        win::unique_handle process(OpenProcess(kOpenAccess, FALSE, list[i]));
        if (!process) continue;
        HMODULE module = nullptr;
        DWORD needed = 0;
        char name[kNameBuffer] = {};
        const bool named = modules_fn(process.get(), &module, sizeof module, &needed) && module &&
                           name_fn(process.get(), module, name, kNameBuffer) != 0;
        name[kNameBuffer - 1] = '\0';
        out.push_back({named ? name : "", static_cast<uint32_t>(list[i]), named});
    }
}

std::string Win32PluginPlatform::LogDirectory() {
    CmdLine cmd_line(1);
    const char* dir = cmd_line.LogDirectory();
    return dir ? dir : "";
}

bool Win32PluginPlatform::FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Win32PluginPlatform::ReadFile(const std::string& path, size_t limit,
                                   std::vector<uint8_t>& out) {
    win::unique_hfile file(CreateFileA(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    out.clear();
    uint8_t chunk[64 * 1024];
    while (out.size() < limit) {
        DWORD want = static_cast<DWORD>(std::min<size_t>(sizeof chunk, limit - out.size()));
        DWORD got = 0;
        if (!::ReadFile(file.get(), chunk, want, &got, nullptr)) return false;
        if (got == 0) break;
        out.insert(out.end(), chunk, chunk + got);
    }
    return true;
}

bool Win32PluginPlatform::ReplaceFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    return ReplaceFileWhole(path, bytes.data(), bytes.size());
}

int Win32PluginPlatform::LoadOwnString(unsigned id, char* buffer, int size) {
    return LoadStringA(module_, id, buffer, size);
}

std::vector<std::string> Win32PluginPlatform::CatalogStrings(const std::vector<unsigned>& ids) {
    catalog::MessageCatalog catalog("TARNVEX.DLL", catalog::GetLanguageCode());
    std::vector<std::string> out;
    for (unsigned id : ids)
        out.push_back(catalog.LoadCompressed(id).CStr());
    return out;
}

std::vector<std::string> Win32PluginPlatform::CatalogStringsFor(const std::string& code,
                                                                const std::vector<unsigned>& ids) {
    catalog::MessageCatalog catalog("TARNVEX.DLL", code.c_str());
    std::vector<std::string> out;
    for (unsigned id : ids)
        out.push_back(catalog.LoadCompressed(id).CStr());
    return out;
}

std::string Win32PluginPlatform::LanguageCode() {
    return catalog::GetLanguageCode();
}

uintptr_t Win32PluginPlatform::TraceOpen(const char* name, const char* second_name,
                                         uint32_t max_kb) {
    return KavTraceOpen(name, second_name, max_kb);
}
void Win32PluginPlatform::TraceClose(uintptr_t trace) {
    KavTraceClose(trace);
}
void Win32PluginPlatform::Trace0(uintptr_t trace, int line, const char* fmt) {
    KavTrace0(trace, kTraceLabel, line, fmt);
}
void Win32PluginPlatform::TraceS(uintptr_t trace, int line, const char* fmt, const char* s) {
    KavTraceS(trace, kTraceLabel, line, fmt, s);
}
void Win32PluginPlatform::TraceSS(uintptr_t trace, int line, const char* fmt, const char* s1,
                                  const char* s2) {
    KavTraceSS(trace, kTraceLabel, line, fmt, s1, s2);
}
void Win32PluginPlatform::TraceSI(uintptr_t trace, int line, const char* fmt, const char* s,
                                  long n) {
    KavTraceSI(trace, kTraceLabel, line, fmt, s, n);
}
void Win32PluginPlatform::TraceI(uintptr_t trace, int line, const char* fmt, long n) {
    KavTraceI(trace, kTraceLabel, line, fmt, n);
}
void Win32PluginPlatform::TraceII(uintptr_t trace, int line, const char* fmt, long n1, long n2) {
    KavTraceII(trace, kTraceLabel, line, fmt, n1, n2);
}

} // namespace pm::monitor
