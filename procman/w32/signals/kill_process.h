// Signal a Process: "Close Application" for a process of the snapshot, and pause, continue,
// stop and start for a service addressed by its display name. Portable decision logic over
// SignalPlatform.
#pragma once

#include <cstdint>

#include "procman/w32/signals/signal_platform.h"
#include "procman/w32/table/raw_table.h"

namespace pm::signals {

// Result codes (the command's status).
constexpr uint32_t kKillDone = 0;
constexpr uint32_t kKillWrongState = 0xDA000001;  // state does not allow it, or not accepted
constexpr uint32_t kKillUnsupported = 0xDA000002; // signal not offered for that tab
constexpr uint32_t kKillCannotOpen = 0xDA000004;  // manager or service cannot be opened
constexpr uint32_t kKillNotFound = 0xDA000005;    // process unknown / not opened / no status
constexpr uint32_t kKillNoSuchTab = 0xDA000006;   // a service tab in Windows 95 mode
constexpr uint32_t kKillCallFailed = 0xDA000007;  // the system call failed, or no thread

// Signal ids.
constexpr uint32_t kSignalCloseApplication = 5;
constexpr uint32_t kSignalPauseService = 6;
constexpr uint32_t kSignalContinueService = 7;
constexpr uint32_t kSignalStopService = 8;
constexpr uint32_t kSignalStartService = 9;

// Process flag of a Windows 95/98 console process, and the module that marks one by name.
constexpr uint16_t kConsoleProcessFlag = 0x20;
constexpr const char* kConsoleModuleName = "WINOA386.MOD";

// tab 1: data holds the process id in its first 4 bytes (fewer bytes: the process is not
// found). Other tabs: data holds the service's display name in compressed unicode, which must
// end with its zero byte inside data_size (otherwise the service cannot be opened).
uint32_t KillProcess(const table::RawTable& table, uint32_t tab, uint32_t signal,
                     const uint8_t* data, uint32_t data_size, SignalPlatform& platform);

} // namespace pm::signals
