// What the ordinal-only exports read from the system.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace kavipc {

struct OsVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t platform = 0;
};
// GetVersionEx: major and minor (low 8 bits each) and the platform id; false when it fails.
bool ReadOsVersion(OsVersion* v);
// The Windows 95/98 platform: GetVersion's high bit.
bool IsWin9xPlatform();
// A DWORD under the messaging key; 0 when missing or not a DWORD.
uint32_t ReadMessagingFlag(const char* value);
// The folder for trace files: "LogDir", else "Data", else the folder of `module`.
std::string TraceDirectory(HMODULE module);

} // namespace kavipc
