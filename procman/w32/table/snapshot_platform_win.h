// The Win32 side of the process table.
#pragma once

#include <windows.h>

#include "procman/w32/table/platform_choice.h"
#include "procman/w32/table/snapshot_platform.h"

namespace pm::table {

// The real system. Keeps nothing between questions: every handle is opened and closed inside
// the question that needs it. The library bindings behind it are made once per process.
class Win32SnapshotPlatform final : public SnapshotPlatform {
public:
    bool IsWin95Mode() override;
    std::optional<std::vector<ToolhelpProcess>> ToolhelpProcesses(size_t limit) override;
    PerfCountersSwitch PerfCounters() override;
    Win32Result<std::vector<uint8_t>, RegistryStep> CountersText() override;
    Win32Result<std::vector<uint8_t>> PerformanceData(const std::string& value_name,
                                                      uint32_t buffer_size) override;
    ProcessDetails Process(uint32_t process_id) override;
    std::vector<std::vector<ServiceStatusEntry>>
    Services(const std::vector<ServiceTypeQuery>& queries) override;
    std::string WideToAnsi(const std::u16string& text) override;
};

// The execution mutex: created (unnamed, not owned) before the first snapshot; command
// execution holds it while it changes process state. Null until created.
void CreateExecutionMutexOnce();
HANDLE ExecutionMutex();

// Windows 95 mode: all six toolhelp and process-flag functions exist in KERNEL32, unless the
// "Platform" setting made the choice. Every part that asks for the platform asks here.
bool Kernel32ToolhelpComplete();
// The choice of the "Platform" setting; made once at start-up, before the first snapshot.
void SetPlatformChoice(PlatformChoice choice);

} // namespace pm::table
