// The Win32 side of CmdLine: working directory, command line, module path, global atoms, the
// registry and response files.
#include <windows.h>

#include <vector>

#include "shared/base/win_handles.h"
#include "shared/cmdline/cmd_line_win.h"

namespace pm {

bool Win32SettingsSource::CurrentDirectory(std::string& out) {
    char buffer[kCurrentDirectoryBytes];
    DWORD length = GetCurrentDirectoryA(sizeof buffer, buffer);
    // On success the length excludes the terminator; too small a buffer answers the size needed.
    if (length == 0 || length >= sizeof buffer) return false;
    out.assign(buffer, length);
    return true;
}

bool Win32SettingsSource::CommandLine(std::string& out) {
    // WC_COMPOSITECHECK | WC_DEFAULTCHAR: characters without an ANSI form become the default one.
    constexpr DWORD kFlags = 0x240;
    const wchar_t* wide = GetCommandLineW();
    if (wide == nullptr) return false;
    int size = WideCharToMultiByte(CP_ACP, kFlags, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return false;
    std::vector<char> buffer(static_cast<std::size_t>(size));
    if (WideCharToMultiByte(CP_ACP, kFlags, wide, -1, buffer.data(), size, nullptr, nullptr) <= 0) {
        return false;
    }
    buffer.back() = '\0';
    out = buffer.data();
    return true;
}

bool Win32SettingsSource::ModuleFileName(std::string& out) {
    char buffer[kModuleFileNameChars + 1];
    DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    if (length == 0) return false;
    // A path that did not fit is cut to the buffer (older systems leave it unterminated).
    if (length > kModuleFileNameChars) length = kModuleFileNameChars;
    out.assign(buffer, length);
    return true;
}

bool Win32SettingsSource::GlobalAtomText(unsigned atom, std::string& out) {
    char buffer[kAtomTextBytes];
    UINT length = GlobalGetAtomNameA(static_cast<ATOM>(atom), buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer) return false;
    out.assign(buffer, length);
    return true;
}

RegistryRead Win32SettingsSource::ReadRegistryString(const char* key, const char* value,
                                                     std::string& raw) {
    win::unique_hkey hkey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, hkey.put()) != ERROR_SUCCESS) {
        return RegistryRead::kMissing;
    }
    BYTE buffer[kRegistryValueBytes];
    DWORD type = 0;
    DWORD size = sizeof buffer;
    LONG status = RegQueryValueExA(hkey.get(), value, nullptr, &type, buffer, &size);
    if (status == ERROR_MORE_DATA) return RegistryRead::kTooLong;
    if (status != ERROR_SUCCESS) return RegistryRead::kMissing;
    if (type != REG_SZ) return RegistryRead::kNotString;
    if (size > sizeof buffer) return RegistryRead::kTooLong; // never trust a size past the buffer
    raw.assign(reinterpret_cast<const char*>(buffer), size);
    return RegistryRead::kOk;
}

bool Win32SettingsSource::ReadResponseFile(const char* path, std::string& contents) {
    // Others may read the file meanwhile but not write it.
    win::unique_hfile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    std::string text;
    char chunk[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) return false;
        if (got == 0) break;
        text.append(chunk, got);
    }
    contents = std::move(text);
    return true;
}

SettingsSource& SystemSettingsSource() {
    static Win32SettingsSource source;
    return source;
}

} // namespace pm
