// The Win32 wiring of the process list: real snapshots, a Win32 mutex, and the table's trace
// lines sent to the program's trace log.
#include "procman/w32/process_list/process_list_win.h"

#include "procman/w32/baseinfo/base_info_win.h"
#include "procman/w32/exec/exec_platform_win.h"
#include "procman/w32/procmgr_svc_node.h"
#include "procman/w32/signals/kill_process.h"
#include "procman/w32/signals/service_command.h"
#include "procman/w32/signals/signal_platform_win.h"
#include "procman/w32/process_list/process_list.h"
#include "procman/w32/table/snapshot_platform_win.h"
#include "procman/w32/table/table_trace.h"
#include "shared/node/trace_log.h"

namespace pm {
namespace {

table::SnapshotState g_state;

void TableTraceToLog(const char* line) {
    Trace("%s", line);
}

void RefreshProcessList() {
    // The trace log is settled before the first snapshot; with tracing off the table formats
    // nothing at all.
    static bool wired = false;
    if (!wired) {
        wired = true;
        if (ProcessTraceLog().IsEnabled()) table::SetTraceSink(&TableTraceToLog);
    }
    if (ProcessList* list = TheProcessList()) list->CheckForUpdates();
}

} // namespace

void InstallProcessList() {
    static ProcessList list(
        SystemNodePlatform().NewMutex(),
        [] {
            // The first snapshot is taken at start-up, before any execution thread exists.
            table::CreateExecutionMutexOnce();
            table::Win32SnapshotPlatform platform;
            return std::make_unique<table::RawTable>(platform, g_state);
        },
        [] {
            table::Win32SnapshotPlatform platform;
            return table::IsPerfProcEnabled(platform);
        });
    list.SetBaseInfoSource([] { return baseinfo::SystemProcessBaseInfo(); });
    list.SetSignaller([](const table::RawTable& table, uint32_t tab, uint32_t signal,
                         const uint8_t* data, uint32_t size) {
        signals::Win32SignalPlatform platform;
        return signals::KillProcess(table, tab, signal, data, size, platform);
    });
    list.SetOsCommand([](Command& command) {
        signals::Win32SignalPlatform platform;
        signals::OsSpecificCommand(command, platform);
    });
    list.SetExecThreadStarter(&exec::StartExecThread);
    SetProcessList(&list);
    SetCheckForUpdatesHook(&RefreshProcessList);
}

} // namespace pm
