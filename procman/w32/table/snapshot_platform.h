// What a snapshot asks the system, as whole questions that answer values and keep nothing
// open between them. The programs use the Win32 implementation (snapshot_platform_win.cpp);
// tests answer with fakes. Texts come back in the local ANSI code page, as the system hands
// them over. Portable: no OS code here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "shared/base/win32_result.h"

namespace pm::table {

struct ToolhelpProcess {
    uint32_t process_id = 0;
    uint32_t parent_process_id = 0;
    uint32_t thread_count = 0;
    int32_t base_priority = 0;
    std::string exe_file;
    uint32_t process_flags = 0; // GetProcessFlags
};

struct ServiceStatusEntry {
    std::string display_name;
    uint32_t current_state = 0;
};

// The two service enumerations of one snapshot: a sizing call with one type, the real one with
// another.
struct ServiceTypeQuery {
    uint32_t sizing_type = 0;
    uint32_t type = 0;
};

// The registry status of a buffer too small for the value: the table grows it and asks again.
constexpr uint32_t kErrorMoreData = 234;

// Where reading a registry value stopped.
enum class RegistryStep : uint8_t { kOpenKey, kQuerySize, kReadValue };

// Whether the process performance counters are switched off.
struct PerfCountersSwitch {
    // The messaging library's ordinal 59 answered nonzero: the registry decides.
    bool library_defers_to_registry = false;
    // Read only when the library defers: the value "Disable Performance Counters" of HKLM
    // "SYSTEM\CurrentControlSet\Services\PerfProc\Performance" (fails at kOpenKey or
    // kReadValue).
    std::optional<Win32Result<uint32_t, RegistryStep>> disable_value;
};

// One process, opened with all access rights.
enum class TokenStep : uint8_t { kOpenToken, kTokenUser, kLookupAccount };
struct ProcessDetails {
    // The first module's full path through PSAPI; empty when it cannot be read.
    std::string module_path;
    // Account name of the process token's user (the domain dropped).
    Win32Result<std::string, TokenStep> user_name = Win32Error(TokenStep::kOpenToken, 0);
};

class SnapshotPlatform {
public:
    virtual ~SnapshotPlatform() = default;

    // Windows 95 mode: all six toolhelp and process-flag functions were found in KERNEL32.
    virtual bool IsWin95Mode() = 0;

    // One walk of a toolhelp process snapshot (at most limit entries), each with its process
    // flags. nullopt: the snapshot could not be taken.
    virtual std::optional<std::vector<ToolhelpProcess>> ToolhelpProcesses(size_t limit) = 0;

    virtual PerfCountersSwitch PerfCounters() = 0;

    // HKLM "SOFTWARE\Microsoft\Windows NT\CurrentVersion\Perflib\009", value "Counters" (the
    // UTF-16 bytes); on failure the step and the registry status.
    virtual Win32Result<std::vector<uint8_t>, RegistryStep> CountersText() = 0;

    // HKEY_PERFORMANCE_DATA queried with the value name into a buffer of buffer_size bytes:
    // the bytes returned, or the registry status (kErrorMoreData: the buffer was too small).
    virtual Win32Result<std::vector<uint8_t>> PerformanceData(const std::string& value_name,
                                                              uint32_t buffer_size) = 0;

    virtual ProcessDetails Process(uint32_t process_id) = 0;

    // The local service control manager (generic read), one enumeration per query (state
    // all), answered in the order asked. Every list is empty when the manager cannot be opened;
    // a list is empty when its sizing call reports nothing.
    virtual std::vector<std::vector<ServiceStatusEntry>>
    Services(const std::vector<ServiceTypeQuery>& queries) = 0;

    // UTF-16 instance name to the ANSI code page (at most 259 bytes).
    virtual std::string WideToAnsi(const std::u16string& text) = 0;
};

} // namespace pm::table
