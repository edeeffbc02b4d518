// Portable: no OS code here; every system call goes through SignalPlatform.
#include "procman/w32/signals/kill_process.h"

#include <cstring>
#include <string>

#include "procman/w32/signals/platform_guards.h"
#include "procman/w32/table/table_trace.h"
#include "shared/text/text_string.h"

namespace pm::signals {
namespace {

using table::Trace;
using UL = unsigned long;

uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

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
        if (!p.OpenProcess(pid, false)) {
            Trace("!!KillProcess: Windows cannot get the handle for console process ID=%lu\n",
                  UL(pid));
            *answered = true;
            return kKillNotFound;
        }
        ProcessGuard held(p);
        if (!p.TerminateProcess(0)) {
            Trace("!!KillProcess: System call to terminate console process ID=%lu failed with "
                  "code %lu\n",
                  UL(pid), UL(p.LastError()));
            return kKillCallFailed;
        }
        return kKillDone;
    }

    *answered = true;
    uint32_t thread_id = 0;
    bool found = false;
    {
        if (!p.OpenThreadSnapshot()) {
            Trace("!!KillProcess: Windows cannot get the handle for process ID=%lu\n", UL(pid));
            return kKillNotFound;
        }
        ThreadSnapshotGuard held(p);
        ThreadInfo t;
        for (bool more = p.ThreadFirst(&t); more; more = p.ThreadNext(&t)) {
            if (t.owner_process_id == pid) {
                thread_id = t.thread_id;
                found = true;
                break;
            }
        }
    }
    if (!found) {
        Trace("!!KillProcess: Windows cannot locate main thread for process ID=%lu\n", UL(pid));
        return kKillCallFailed;
    }
    if (!p.PostQuit(thread_id)) {
        Trace("!!KillProcess: System call to terminate thread ID=%lu for process ID=%lu failed\n",
              UL(thread_id), UL(pid));
        return kKillCallFailed;
    }
    Trace("<-RawTable::KillProcess() successful\n");
    return kKillDone;
}

uint32_t KillProcessEntry(const table::RawTable& table, uint32_t tab, uint32_t signal,
                          const uint8_t* data, uint32_t data_size, SignalPlatform& p) {
    if (data == nullptr || data_size < 4) {
        Trace("!!KillProcess: process id parameter of %lu bytes is too short\n", UL(data_size));
        return kKillNotFound;
    }
    const uint32_t pid = ReadU32(data);
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
    if (p.IsWin9x() != 0) {
        bool answered = false;
        result = CloseOnWin9x(*process, p, &answered);
        if (answered) return result;
    } else if (!p.OpenProcess(pid, true)) {
        Trace("!!KillProcess: Windows cannot get the handle for process ID=%lu\n", UL(pid));
        result = kKillNotFound;
    } else {
        ProcessGuard held(p);
        result = p.TerminateProcess(0) ? kKillDone : kKillCallFailed;
    }
    Trace("<-RawTable::KillProcess(): %s\n", Outcome(result));
    return result;
}

uint32_t ControlByState(uint32_t tab, uint32_t signal, const std::string& key,
                        const ServiceStatus& status, SignalPlatform& p) {
    const char* k = key.c_str();
    const bool running = status.current_state == kServiceRunning;
    switch (signal) {
    case kSignalPauseService:
        if (running && (status.controls_accepted & kAcceptPauseContinue) != 0) {
            if (p.ControlService(kControlPause)) return kKillDone;
            Trace("!!KillProcess(group=%lu, signal=%lu, key=%s):\nsystem call to pause service "
                  "failed\n",
                  UL(tab), UL(signal), k);
            return kKillCallFailed;
        }
        return kKillWrongState;
    case kSignalContinueService:
        if (status.current_state == kServicePaused) {
            if (p.ControlService(kControlContinue)) return kKillDone;
            Trace("!!KillProcess(group=%lu, signal=%lu, key=%s):\nsystem call to resume paused "
                  "service failed\n",
                  UL(tab), UL(signal), k);
            return kKillCallFailed;
        }
        Trace("--KillProcess(group=%lu, signal=%lu, key=%s):\ncannot resume service because "
              "service is not paused\n",
              UL(tab), UL(signal), k);
        return kKillWrongState;
    case kSignalStopService:
        if (running && (status.controls_accepted & kAcceptStop) != 0) {
            if (p.ControlService(kControlStop)) return kKillDone;
            Trace("!!KillProcess(group=%lu, signal=%lu, key=%s):\nsystem call to stop service "
                  "failed\n",
                  UL(tab), UL(signal), k);
            return kKillCallFailed;
        }
        Trace("--KillProcess(group=%lu, signal=%lu, key=%s):\ncannot stop service because "
              "service is not running or service does not allow being stopped\n",
              UL(tab), UL(signal), k);
        return kKillWrongState;
    case kSignalStartService:
    default:
        if (status.current_state == kServiceStopped) {
            if (p.StartServiceNoArgs()) return kKillDone;
            Trace("!!KillProcess(group=%lu, signal=%lu, key=%s):\nsystem call to start service "
                  "failed\n",
                  UL(tab), UL(signal), k);
            return kKillCallFailed;
        }
        Trace("--KillProcess(group=%lu, signal=%lu, key=%s):\ncannot start service because "
              "service is not stopped\n",
              UL(tab), UL(signal), k);
        return kKillWrongState;
    }
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

    if (!p.OpenServiceManager()) return kKillCannotOpen;
    ServiceManagerGuard manager(p);
    std::string key_name;
    if (!p.ServiceKeyName(key, &key_name) || !p.OpenServiceByKey(key_name)) {
        manager.Close();
        Trace("<-KillProcess(group=%lu, signal=%lu, key=%s):\nsystem call to get service handle "
              "failed\n",
              UL(tab), UL(signal), key.c_str());
        return kKillCannotOpen;
    }
    ServiceGuard service(p);
    ServiceStatus status;
    if (!p.QueryServiceStatus(&status)) {
        service.Close();
        manager.Close();
        Trace("<-KillProcess(group=%lu, signal=%lu, key=%s):\nsystem call to query service "
              "status failed\n",
              UL(tab), UL(signal), key.c_str());
        return kKillNotFound;
    }
    const uint32_t result = ControlByState(tab, signal, key, status, p);
    service.Close();
    manager.Close();
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
