// Version, settings and the trace folder.
#include "outside/kavipc32/system_info_win.h"

#include <vector>

#include "outside/kavipc32/settings.h"
#include "shared/base/win_handles.h"

namespace kavipc {

bool ReadOsVersion(OsVersion* v) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    if (!GetVersionExA(&info)) return false;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    v->major = info.dwMajorVersion & 0xFF;
    v->minor = info.dwMinorVersion & 0xFF;
    v->platform = info.dwPlatformId;
    return true;
}

bool IsWin9xPlatform() {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return (GetVersion() & 0x80000000u) != 0;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

uint32_t ReadMessagingFlag(const char* value) {
    pm::win::unique_hkey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMessagingKey, 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return 0;
    }
    DWORD type = 0, data = 0, size = sizeof data;
    if (RegQueryValueExA(key.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof data) {
        return 0;
    }
    return data;
}

namespace {

std::string ReadInstallString(const char* value) {
    pm::win::unique_hkey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return {};
    }
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key.get(), value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 || size > 32768) {
        return {};
    }
    std::vector<char> buf(size + 1, '\0');
    if (RegQueryValueExA(key.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()),
                         &size) != ERROR_SUCCESS) {
        return {};
    }
    std::string s(buf.data());
    if (type == REG_EXPAND_SZ) {
        char out[MAX_PATH * 2];
        DWORD n = ExpandEnvironmentStringsA(s.c_str(), out, sizeof out);
        if (n != 0 && n <= sizeof out) s = out;
    }
    return s;
}

} // namespace

std::string TraceDirectory(HMODULE module) {
    std::string dir = ReadInstallString(kLogDirValue);
    if (dir.empty()) dir = ReadInstallString(kDataValue);
    if (!dir.empty()) return dir;
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    std::string p(path, n);
    size_t slash = p.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

} // namespace kavipc
