// One snapshot of the machine: processes (group 1) and, on the NT family, Win32 services
// (group 2) and device services (group 3). Built once by the constructor, never changed after.
// Portable: the system is reached only through SnapshotPlatform.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "shared/node/command.h"
#include "procman/w32/table/perf_data.h"
#include "procman/w32/table/snapshot_platform.h"
#include "procman/w32/table/update_records.h"
#include "shared/text/text_string.h"

namespace pm::table {

struct ProcessEntry {
    uint32_t process_id = 0;
    uint32_t parent_process_id = 0;
    uint16_t process_flags = 0;
    uint16_t thread_count = 0;
    uint16_t base_priority = 0;
    uint8_t monitored = 0;
    uint32_t working_set = 0;
    TextString name;      // compressed unicode
    TextString user_name; // compressed unicode; empty in Windows 95 mode
};

struct ServiceEntry {
    TextString display_name; // compressed unicode
    uint16_t current_state = 0;
    uint16_t group = 0;
};

constexpr uint32_t kGroupProcesses = 1;
constexpr uint32_t kGroupServices = 2;
constexpr uint32_t kGroupDrivers = 3;
constexpr int kServiceSlots = 5; // one per group number 1 to 5; only 2 and 3 are filled

// Process-wide state kept across snapshots: counter indexes and offsets found once per run.
// Starts the execution thread of an Execute Command, which then owns the command; false when
// the thread cannot be created.
using ExecThreadStarter = std::function<bool(Command*)>;

struct SnapshotState {
    PerfCounterTable counters;
};

class RawTable {
public:
    // Takes the snapshot. Never fails: an error ends the work early and keeps what was gathered.
    // The execution mutex is the caller's to create before the first snapshot.
    RawTable(SnapshotPlatform& platform, SnapshotState& state);
    // An empty table in the given mode, filled by tests and benchmarks directly.
    explicit RawTable(bool win95_mode);

    RawTable(const RawTable&) = delete;
    RawTable& operator=(const RawTable&) = delete;

    bool Win95Mode() const { return win95_mode_; }
    uint32_t GetNumGroups() const { return win95_mode_ ? 1 : 3; }
    uint32_t GetNumEntries(uint32_t group) const;

    uint32_t GetProcUniqueID(uint32_t index) const;
    bool IsProcessUpdated(uint32_t index, const RawTable& older, uint32_t old_index) const;
    const char* GetKey(uint32_t group, int64_t index) const;
    bool IsKeyDifferent(uint32_t group, int64_t index, const char* name) const;
    bool IsUpdated(const RawTable& other, uint32_t group, const char* key) const;
    Record GetProcessUpdateRecord(uint32_t index) const;
    Record GetUpdateRecord(uint32_t group, uint32_t index) const;

    // Execute Command: sets the deferred-reply flag and hands the command to a new execution
    // thread. When the thread cannot be created, the command keeps status 255 and the node
    // answers it when the handler returns. Reads nothing from the snapshot; answers 1.
    int ExecuteCommand(Command& command, const ExecThreadStarter& start) const;

    const std::vector<ProcessEntry>& Processes() const { return processes_; }
    const std::vector<ServiceEntry>& Services(uint32_t group) const;
    std::vector<ProcessEntry>& MutableProcesses() { return processes_; }
    std::vector<ServiceEntry>& MutableServices(uint32_t group);

private:
    void TakeWin95(SnapshotPlatform& p);
    bool TakeNtProcesses(SnapshotPlatform& p, SnapshotState& state);
    bool ResolveTitleIndexes(SnapshotPlatform& p, SnapshotState& state);
    void TakeServices(SnapshotPlatform& p);
    int FindService(uint32_t group, const char* key) const;

    bool win95_mode_ = false;
    std::vector<ServiceEntry> services_[kServiceSlots];
    std::vector<ProcessEntry> processes_;
};

// isPerfProcEnabled: true when the process performance counters may be read.
bool IsPerfProcEnabled(SnapshotPlatform& platform);

} // namespace pm::table
