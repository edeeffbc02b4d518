// The four records that describe the agent to the console before any process data: manager
// info, the columns of each tab (ProcMgrInfo1), the signals of each tab and the texts of the
// enumerated columns; and the five reply items of Get Configuration. Their content depends only
// on the platform mode, the OS version and the program's string resources.
// Portable: texts come from a StringSource, the OS version is handed in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "procman/w32/table/update_records.h"

namespace pm::baseinfo {

using table::Record;

// A string resource of the program by id, in the ANSI code page ("" when missing).
using StringSource = std::function<std::string(unsigned id)>;

// What the messaging library's OS version query (ordinal 16) reports.
struct OsVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t platform = 0; // 2: the NT family
};

constexpr uint32_t kManagerVersion = 0x00011000;
constexpr uint32_t kPlatformNt = 2;
constexpr uint8_t kOsTypeNt = 4;
constexpr uint8_t kOsTypeWin9x = 2;
constexpr uint32_t kFlagsNt = 0x1F;
constexpr uint32_t kFlagsWin95 = 0x1D;
constexpr uint32_t kManagerInfoSize = 16;
// Texts are taken at most this long before conversion.
constexpr size_t kMaxTextLength = 255;

// String ids of the texts these records carry.
enum StringId : unsigned {
    kIdProcessId = 101,
    kIdProgramName = 102,
    kIdParentProcessId = 104,
    kIdNumThreads = 106,
    kIdUserId = 108,
    kIdPriority = 109,
    kIdState = 116,
    kIdMonitored = 120,
    kIdMemory = 121,
    kIdCloseApplication = 205,
    kIdPauseService = 210,
    kIdContinueService = 211,
    kIdStartService = 212,
    kIdStopService = 213,
    kIdPriorityFirst = 400, // "Idle" .. "Real-Time": 400 to 408
    kIdStateFirst = 510,    // "Stopped" .. "Paused": 510 to 516
};

// ProcMgrManagerInfo, 16 bytes.
Record GetProcessManagerInfo(bool win95_mode, const OsVersion& os);
// ProcMgrInfo1: one block per group (1 in Windows 95 mode, 3 in NT mode).
Record GetProcessInfoFields(bool win95_mode, const StringSource& strings);
// The kill-signal table: "Close Application" only in Windows 95 mode, 7 signals in NT mode.
Record GetProcessKillSignals(bool win95_mode, const StringSource& strings);
// ProcMgrStringEnums: the priorities, and in NT mode the service states.
Record GetStringEnumerations(bool win95_mode, const StringSource& strings);

// The reply items of Get Configuration, in order: the four records above and the language
// code in compressed unicode with its terminator. A record that could not be allocated is null.
std::vector<Record> GetProcessBaseInfo(bool win95_mode, const OsVersion& os,
                                       const StringSource& strings, const char* language_code);

// A text as these records carry it: at most 255 characters, converted to compressed unicode.
std::string ConvertedText(const std::string& ansi);

} // namespace pm::baseinfo
