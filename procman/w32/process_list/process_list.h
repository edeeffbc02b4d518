// The one process list of the program: the current snapshot, its change stamps and the lock
// that serialises them, and the console's Get Updates on Active Processes. Portable: the
// snapshot and the lock come from the outside.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "shared/node/command.h"
#include "shared/node/node_platform.h"
#include "procman/w32/table/change_tracker.h"

namespace pm {

// Update reply for a newer console while the process performance counters are disabled.
constexpr int32_t kStatusPerfCountersDisabled = static_cast<int32_t>(0xDA000E01u);
// The console version assumed when the request carries only its clock.
constexpr uint32_t kDefaultConsoleVersion = 0x10000;

class ProcessList {
public:
    using SnapshotSource = std::function<std::unique_ptr<table::RawTable>()>;
    using PerfEnabled = std::function<bool()>;
    // The five reply items of Get Configuration (records the caller takes over).
    using BaseInfoSource = std::function<std::vector<table::Record>()>;
    // Carries out a signal on an entry of the snapshot; answers the result code.
    using Signaller =
        std::function<uint32_t(const table::RawTable& table, uint32_t tab, uint32_t signal,
                               const uint8_t* data, uint32_t data_size)>;
    // Carries out the Operating System Specific Command (service control by name).
    using OsCommand = std::function<void(Command& command)>;

    ProcessList(std::unique_ptr<Mutex> lock, SnapshotSource take, PerfEnabled perf_enabled);

    // Takes a new snapshot and stamps what changed (under the lock).
    void CheckForUpdates();
    // Get Updates on Active Processes: parameter 0 = since, or 0 = console version and
    // 1 = since; answers the clock, ProcMgrValidProcIDs when processes ended, and the records.
    void GetProcessUpdates(Command& command);
    // The clock, ProcMgrValidProcIDs and the update records newer than since (under the lock).
    void AddUpdateRecords(Command& command, uint32_t since);

    // Get Configuration for Process Management Task: four records and the language code.
    void GetProcessBaseInfo(Command& command);
    // Signal a Process: exactly three parameters (tab, signal, data); a fresh snapshot follows
    // a signal that succeeded, so that the next update shows its effect.
    void KillProcess(Command& command);
    // The Operating System Specific Command; runs without the lock (it reads no snapshot).
    void OsSpecificCommand(Command& command);
    // Execute Command: parameter 0 (the command line) must be there and not empty; the
    // execution thread then owns the command, and a fresh snapshot follows.
    void ExecuteCommand(Command& command);

    void SetBaseInfoSource(BaseInfoSource source) { base_info_ = std::move(source); }
    void SetSignaller(Signaller signaller) { signaller_ = std::move(signaller); }
    void SetOsCommand(OsCommand command) { os_command_ = std::move(command); }
    void SetExecThreadStarter(table::ExecThreadStarter start) { exec_start_ = std::move(start); }

    Mutex& Lock() { return *lock_; }
    // Read under Lock().
    const table::ChangeTracker& Tracker() const { return tracker_; }

private:
    std::unique_ptr<Mutex> lock_;
    SnapshotSource take_;
    PerfEnabled perf_enabled_;
    BaseInfoSource base_info_;
    Signaller signaller_;
    OsCommand os_command_;
    table::ExecThreadStarter exec_start_;
    table::ChangeTracker tracker_;
};

// The program's one instance; null until the program has made it.
ProcessList* TheProcessList();
void SetProcessList(ProcessList* list);

// Reads a little-endian 32-bit parameter; false when it is absent or shorter than 4 bytes.
bool ReadU32Param(const Command& command, size_t index, uint32_t* value);

} // namespace pm
