// What a snapshot needs from the system, narrowed to the calls the table makes. The programs
// use the Win32 implementation (snapshot_platform_win.cpp); tests drive the table with fakes.
// Texts come back in the local ANSI code page, as the system hands them over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pm::table {

struct ToolhelpProcess {
    uint32_t process_id = 0;
    uint32_t parent_process_id = 0;
    uint32_t thread_count = 0;
    int32_t base_priority = 0;
    std::string exe_file;
};

struct ServiceStatusEntry {
    std::string display_name;
    uint32_t current_state = 0;
};

// Registry status values the table tells apart.
constexpr long kStatusOk = 0;
constexpr long kErrorMoreData = 234;
constexpr long kErrorFileNotFound = 2;

class SnapshotPlatform {
public:
    virtual ~SnapshotPlatform() = default;

    // Windows 95 mode: all six toolhelp and process-flag functions were found in KERNEL32.
    virtual bool IsWin95Mode() = 0;
    virtual void CreateExecutionMutexOnce() = 0;

    // Toolhelp (Windows 95 mode). A walk restarts at the first process each time.
    virtual bool OpenToolhelpSnapshot() = 0; // false: invalid handle
    virtual bool ProcessFirst(ToolhelpProcess* entry) = 0;
    virtual bool ProcessNext(ToolhelpProcess* entry) = 0;
    virtual uint32_t GetProcessFlags(uint32_t process_id) = 0;
    virtual void CloseToolhelpSnapshot() = 0;

    // The messaging library's ordinal 59: nonzero when the counters count as disabled.
    virtual int PerfCountersDisabledByLibrary() = 0;
    // HKLM "SYSTEM\CurrentControlSet\Services\PerfProc\Performance", value
    // "Disable Performance Counters". false from open: the key could not be opened.
    virtual bool OpenPerfProcKey() = 0;
    virtual bool ReadDisablePerformanceCounters(uint32_t* value) = 0;
    virtual void ClosePerfProcKey() = 0;

    // HKLM "SOFTWARE\Microsoft\Windows NT\CurrentVersion\Perflib\009", value "Counters".
    virtual bool OpenPerflibKey() = 0;
    virtual long QueryCountersSize(uint32_t* size) = 0; // registry status
    virtual bool ReadCounters(std::vector<uint8_t>* data, uint32_t buffer_size) = 0;
    virtual void ClosePerflibKey() = 0;

    // HKEY_PERFORMANCE_DATA queried with the value name, into a buffer of buffer_size bytes.
    // Answers the registry status; on success data holds the bytes returned.
    virtual long QueryPerformanceData(const std::string& value_name, uint32_t buffer_size,
                                      std::vector<uint8_t>* data) = 0;

    // One process, opened with all access rights (may fail: the calls below then fail too).
    virtual void OpenProcess(uint32_t process_id) = 0;
    // The first module's full path through PSAPI; empty when it cannot be read.
    virtual std::string ModuleFileName() = 0;
    // Account name of the process token's user. false: no name; *token_error is the system
    // error when the token itself could not be opened (0 when it was opened).
    virtual bool TokenUserName(std::string* name, uint32_t* token_error) = 0;
    virtual void CloseProcess() = 0;

    // The service control manager (generic read) and EnumServicesStatusA.
    virtual bool OpenServiceManager() = 0;
    // Sizing call: no buffer. Answers true when it succeeded; *more_data is set for
    // ERROR_MORE_DATA, *needed and *count as reported.
    virtual bool EnumServicesSize(uint32_t type, uint32_t* needed, uint32_t* count,
                                  bool* more_data) = 0;
    virtual bool EnumServices(uint32_t type, uint32_t buffer_size,
                              std::vector<ServiceStatusEntry>* out) = 0;
    virtual void CloseServiceManager() = 0;

    // UTF-16 instance name to the ANSI code page (at most 259 bytes).
    virtual std::string WideToAnsi(const std::u16string& text) = 0;
};

} // namespace pm::table
