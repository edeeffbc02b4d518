#include "procman/w32/baseinfo/base_info_win.h"

#include <windows.h>

#include "shared/ipc/kavipc32_abi.h"
#include "procman/w32/table/snapshot_platform_win.h"
#include "shared/catalog/catalog.h"

namespace pm::baseinfo {

OsVersion QueryOsVersion() {
    OsVersion v;
    if (HMODULE ipc = GetModuleHandleA("KAVIPC32.DLL")) {
        auto fn = reinterpret_cast<KavGetOsVersionFn>(
            reinterpret_cast<void*>(GetProcAddress(ipc, MAKEINTRESOURCEA(16))));
        if (fn != nullptr) {
            uint32_t major = 0, minor = 0, platform = 0;
            fn(&major, &minor, &platform);
            v.major = major;
            v.minor = minor;
            v.platform = platform;
            return v;
        }
    }
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (GetVersionExA(&info)) {
        v.major = info.dwMajorVersion;
        v.minor = info.dwMinorVersion;
        v.platform = info.dwPlatformId;
    }
    return v;
}

StringSource ProgramStrings() {
    return [](unsigned id) { return std::string(catalog::LoadCatalogString(id).CStr()); };
}

std::vector<Record> SystemProcessBaseInfo() {
    return GetProcessBaseInfo(table::Kernel32ToolhelpComplete(), QueryOsVersion(), ProgramStrings(),
                              catalog::GetLanguageCode());
}

} // namespace pm::baseinfo
