// Portable: the process list's operations. Trace lines go to the program's trace log.
#include "procman/w32/process_list/process_list.h"

#include <atomic>

#include "shared/node/trace_log.h"

namespace pm {
namespace {
std::atomic<ProcessList*> g_list{nullptr};

const char* Addr(const Command& c) {
    const char* a = c.GetReturnAddr();
    return a ? a : "(null)";
}
} // namespace

ProcessList* TheProcessList() {
    return g_list.load();
}
void SetProcessList(ProcessList* list) {
    g_list.store(list);
}

// Hands every record to the command, or none: a record that could not be allocated (null)
// fails the whole answer, which then must not read as a success (the console asks again with
// the clock it has). Records not handed over are freed with the vector.
bool TakeOverAll(Command& command, std::vector<table::Record>& items) {
    for (const table::Record& r : items) {
        if (!r) {
            command.status = kStatusReplyNotCopied;
            return false;
        }
    }
    for (table::Record& r : items) {
        const uint32_t size = r.size();
        command.AddResultTakeOver(r.release(), size);
    }
    return true;
}

ProcessList::ProcessList(std::unique_ptr<Mutex> lock, SnapshotSource take, PerfEnabled perf_enabled)
    : lock_(std::move(lock)), take_(std::move(take)), perf_enabled_(std::move(perf_enabled)) {}

void ProcessList::CheckForUpdates() {
    MutexLock hold(*lock_);
    Trace("->ProcessList::CheckForUpdates()\n");
    Trace("Gathering Process Data\n");
    tracker_.Renew(take_());
    Trace("<-ProcessList::CheckForUpdates()\n");
}

void ProcessList::AddUpdateRecords(Command& command, uint32_t since) {
    MutexLock hold(*lock_);
    Trace("->ProcessList::AddUpdateRecords(): cmd.return_addr=%s\n", Addr(command));
    std::vector<table::Record> items = tracker_.CollectUpdates(since);
    command.status = 0;
    TakeOverAll(command, items);
}

void ProcessList::GetProcessUpdates(Command& command) {
    uint32_t version = kDefaultConsoleVersion, since = 0;
    bool ok = command.GetParamCount() >= 2
                  ? command.ParamU32(0, &version) && command.ParamU32(1, &since)
                  : command.ParamU32(0, &since);
    if (!ok) {
        command.status = 1;
        return;
    }
    MutexLock hold(*lock_);
    Trace("--ProcessList::GetProcessUpdates(): cmd.return_addr=%s\n", Addr(command));
    CheckForUpdates();
    AddUpdateRecords(command, since);
    if (command.status != 0) return; // records lost: the console keeps its clock and asks again
    if (version > kDefaultConsoleVersion && perf_enabled_ && !perf_enabled_())
        command.status = kStatusPerfCountersDisabled;
}

void ProcessList::GetProcessBaseInfo(Command& command) {
    if (!base_info_) {
        command.status = 1;
        return;
    }
    MutexLock hold(*lock_);
    std::vector<table::Record> items = base_info_();
    command.status = 0;
    TakeOverAll(command, items);
}

void ProcessList::KillProcess(Command& command) {
    uint32_t tab = 0, signal = 0;
    if (command.GetParamCount() != 3 || !command.ParamU32(0, &tab) ||
        !command.ParamU32(1, &signal) || !signaller_) {
        Trace("!!ProcessList::KillProcess(cmd.return_addr=%s): Invalid Command, too few input "
              "parameters\n",
              Addr(command));
        command.status = 1;
        return;
    }
    MutexLock hold(*lock_);
    Trace("--ProcessList::KillProcess(cmd.return_addr=%s): Calling RawTable::KillProcess\n",
          Addr(command));
    const table::RawTable* current = tracker_.Current();
    table::RawTable empty(false);
    uint32_t result = signaller_(current ? *current : empty, tab, signal, command.GetParam(2),
                                 command.GetParamSize(2));
    command.status = static_cast<int32_t>(result);
    if (result == 0) CheckForUpdates();
}

void ProcessList::ExecuteCommand(Command& command) {
    const uint8_t* line = command.GetParam(0);
    if (!line || command.GetParamSize(0) == 0 || line[0] == 0 || !exec_start_) {
        Trace("!!ProcessList::ExecuteCommand(cmd.return_addr=%s): Invalid Command, too few input "
              "parameters\n",
              Addr(command));
        command.status = 1;
        return;
    }
    // The snapshot is not read: no lock. The thread owns the command from here.
    const table::RawTable* current = tracker_.Current();
    table::RawTable empty(false);
    if ((current ? *current : empty).ExecuteCommand(command, exec_start_)) CheckForUpdates();
}

void ProcessList::OsSpecificCommand(Command& command) {
    if (os_command_) os_command_(command);
}

} // namespace pm
