// Portable: no OS code here; every system call goes through SignalPlatform.
#include "procman/w32/signals/kill_process.h"

#include <cstring>
#include <string>

#include "procman/w32/table/table_trace.h"
#include "shared/base/endian.h"
#include "shared/text/text_string.h"

namespace pm::signals {
namespace {

using table::Trace;
using UL = unsigned long;

std::string Ansi(const char* compressed) {
    TextString s(compressed);
    s.FromCompressedUnicode();
    return s.CStr();
}

const char* Outcome(uint32_t result) {
    return result == kKillDone ? "successful" : "failed";
}

// Windows 95/98: console processes are terminated, others get WM_QUIT on their first thread.
uint32_t CloseOnWin9x(const table::ProcessEntry& process, SignalPlatform& p, bool* answered) {
    const uint32_t pid = process.process_id;
    const std::string name = Ansi(process.name.CStr());
    const bool console = (process.process_flags & kConsoleProcessFlag) != 0 ||
                         name.find(kConsoleModuleName) != std::string::npos;
    if (console) {
        const Win32Status<TerminateStep> done =
            p.TerminateProcessById(pid, ProcessAccess::kTerminateOnly);
        if (done.FailedAt(TerminateStep::kOpenProcess)) {
            Trace("!!KillProcess: Windows cannot get the handle for console process ID=%lu\n",
                  UL(pid));
            *answered = true;
            return kKillNotFound;
        }
        if (!done) {
            Trace("!!KillProcess: System call to terminate console process ID=%lu failed with "
                  "code %lu\n",
                  UL(pid), UL(done.error()));
            return kKillCallFailed;
        }
        return kKillDone;
    }

    *answered = true;
    const QuitAnswer quit = p.PostQuitToFirstThread(pid);
    if (quit.status.ok()) {
        Trace("<-RawTable::KillProcess() successful\n");
        return kKillDone;
    }
    switch (quit.status.failed_step()) {
    case QuitStep::kThreadSnapshot:
        Trace("!!KillProcess: Windows cannot get the handle for process ID=%lu\n", UL(pid));
        return kKillNotFound;
    case QuitStep::kNoThread:
        Trace("!!KillProcess: Windows cannot locate main thread for process ID=%lu\n", UL(pid));
        return kKillCallFailed;
    case QuitStep::kPost:
        Trace("!!KillProcess: System call to terminate thread ID=%lu for process ID=%lu failed\n",
              UL(quit.thread_id), UL(pid));
        return kKillCallFailed;
    }
    return kKillCallFailed;
}

uint32_t KillProcessEntry(const table::RawTable& table, uint32_t tab, uint32_t signal,
                          const uint8_t* data, uint32_t data_size, SignalPlatform& p) {
    if (data == nullptr || data_size < 4) {
        Trace("!!KillProcess: process id parameter of %lu bytes is too short\n", UL(data_size));
        return kKillNotFound;
    }
    const uint32_t pid = le::Load32(data);
    const table::ProcessEntry* process = nullptr;
    for (const auto& e : table.Processes()) {
        if (e.process_id == pid) {
            process = &e;
            break;
        }
    }
    if (process == nullptr) {
        Trace("!!KillProcess: Process %lu not found on cached list\n", UL(pid));
        return kKillNotFound;
    }
    if (signal != kSignalCloseApplication) {
        Trace("<-RawTable::KillProcess: Unsupported Signal ID=%lu for Tab #%lu\n", UL(signal),
              UL(tab));
        return kKillUnsupported;
    }

    uint32_t result;
    if (p.IsWin9x()) {
        bool answered = false;
        result = CloseOnWin9x(*process, p, &answered);
        if (answered) return result;
    } else {
        const Win32Status<TerminateStep> done = p.TerminateProcessById(pid, ProcessAccess::kAll);
        if (done.FailedAt(TerminateStep::kOpenProcess)) {
            Trace("!!KillProcess: Windows cannot get the handle for process ID=%lu\n", UL(pid));
            result = kKillNotFound;
        } else {
            result = done ? kKillDone : kKillCallFailed;
        }
    }
    Trace("<-RawTable::KillProcess(): %s\n", Outcome(result));
    return result;
}

// One service signal: the state it needs, what it does, and its two trace texts (after
// "KillProcess(group=%lu, signal=%lu, key=%s):\n"). A null wrong-state text writes no line.
struct ServiceSignal {
    uint32_t signal;
    uint32_t needed_state;
    uint32_t needed_accept; // 0: no accepted-controls bit needed
    uint32_t control;       // 0: start the service instead of controlling it
    const char* call_failed;
    const char* wrong_state;
};

const ServiceSignal kServiceSignals[] = {
    {kSignalPauseService, kServiceRunning, kAcceptPauseContinue, kControlPause,
     "system call to pause service failed", nullptr},
    {kSignalContinueService, kServicePaused, 0, kControlContinue,
     "system call to resume paused service failed",
     "cannot resume service because service is not paused"},
    {kSignalStopService, kServiceRunning, kAcceptStop, kControlStop,
     "system call to stop service failed",
     "cannot stop service because service is not running or service does not allow being "
     "stopped"},
    {kSignalStartService, kServiceStopped, 0, 0, "system call to start service failed",
     "cannot start service because service is not stopped"},
};

const ServiceSignal& RowOf(uint32_t signal) {
    // Callers pass only signals 6 to 9; anything else is treated as start, the last row.
    const ServiceSignal* row = &kServiceSignals[3];
    for (const ServiceSignal& r : kServiceSignals)
        if (r.signal == signal) row = &r;
    return *row;
}

ServiceAction Decide(const ServiceSignal& row, const ServiceStatus& status) {
    const bool allowed =
        status.current_state == row.needed_state &&
        (row.needed_accept == 0 || (status.controls_accepted & row.needed_accept) != 0);
    if (!allowed) return ServiceAction{ServiceAction::kRefuse, 0};
    if (row.control == 0) return ServiceAction{ServiceAction::kStart, 0};
    return ServiceAction{ServiceAction::kControl, row.control};
}

uint32_t KillService(uint32_t tab, uint32_t signal, const uint8_t* data, uint32_t data_size,
                     SignalPlatform& p) {
    if (data == nullptr || std::memchr(data, 0, data_size) == nullptr) {
        Trace("!!KillProcess(group=%lu, signal=%lu): service name is not terminated\n", UL(tab),
              UL(signal));
        return kKillCannotOpen;
    }
    const std::string key = Ansi(reinterpret_cast<const char*>(data));
    if (signal < kSignalPauseService || signal > kSignalStartService) {
        Trace("<-RawTable::KillProcess: Unsupported Signal ID=%lu for Tab #%lu\n", UL(signal),
              UL(tab));
        return kKillUnsupported;
    }

    const ServiceSignal& row = RowOf(signal);
    const Win32Status<ServiceStep> done =
        p.ControlServiceByName(key, KeyNameLookup::kDisplayNameOnly,
                               [&row](const ServiceStatus& status) { return Decide(row, status); });
    uint32_t result = kKillDone;
    if (!done) {
        switch (done.failed_step()) {
        case ServiceStep::kOpenManager:
            return kKillCannotOpen;
        case ServiceStep::kKeyName:
        case ServiceStep::kOpenService:
            Trace("<-KillProcess(group=%lu, signal=%lu, key=%s):\nsystem call to get service "
                  "handle failed\n",
                  UL(tab), UL(signal), key.c_str());
            return kKillCannotOpen;
        case ServiceStep::kQueryStatus:
            Trace("<-KillProcess(group=%lu, signal=%lu, key=%s):\nsystem call to query service "
                  "status failed\n",
                  UL(tab), UL(signal), key.c_str());
            return kKillNotFound;
        case ServiceStep::kRefused:
            if (row.wrong_state)
                Trace("--KillProcess(group=%lu, signal=%lu, key=%s):\n%s\n", UL(tab), UL(signal),
                      key.c_str(), row.wrong_state);
            result = kKillWrongState;
            break;
        case ServiceStep::kCall:
            Trace("!!KillProcess(group=%lu, signal=%lu, key=%s):\n%s\n", UL(tab), UL(signal),
                  key.c_str(), row.call_failed);
            result = kKillCallFailed;
            break;
        }
    }
    Trace("<-RawTable::KillProcess(group=%lu, signal=%lu, key=%s): %s\n", UL(tab), UL(signal),
          key.c_str(), Outcome(result));
    return result;
}

} // namespace

uint32_t KillProcess(const table::RawTable& table, uint32_t tab, uint32_t signal,
                     const uint8_t* data, uint32_t data_size, SignalPlatform& platform) {
    Trace("->RawTable::KillProcess: Sending signal %lu to process in tab #%lu\n", UL(signal),
          UL(tab));
    if (tab > 1 && table.Win95Mode()) {
        Trace("!!KillProcess: Tab #%lu does not exist for Windows 95\n", UL(tab));
        return kKillNoSuchTab;
    }
    if (tab == 1) return KillProcessEntry(table, tab, signal, data, data_size, platform);
    return KillService(tab, signal, data, data_size, platform);
}

} // namespace pm::signals
