// The binary records the console reads to follow the process and service tables.
// Portable. Each builder answers an owned, zero-filled record (null when it cannot be
// allocated); a reply item takes the bytes over without copying.
#pragma once

#include <cstdint>
#include <functional>

#include "procman/w32/table/record.h"

namespace pm::table {

// Field numbers of the attributes (the console's column numbers).
enum FieldId : uint32_t {
    kFieldProcessId = 1,
    kFieldProgramName = 2,
    kFieldNumThreads = 4,
    kFieldParentProcessId = 6,
    kFieldUserId = 8,
    kFieldPriority = 9,
    kFieldState = 15,
    kFieldMonitored = 16,
    kFieldMemory = 17,
};

constexpr uint16_t kRecUpdate = 1;
constexpr uint16_t kRecValidProcIds = 2;
constexpr uint32_t kUpdateHeaderSize = 14;  // ProcUpdateProcessRec
constexpr uint32_t kNumberAttribSize = 10;  // ProcMgrAttrib holding a 32-bit number
constexpr uint32_t kTextAttribOverhead = 7; // ProcMgrAttrib holding n text bytes: n + 7
// The console reserves room after a service record's two attributes.
constexpr uint32_t kServiceRecordTail = 30;
// num_valid is 16 bits wide: a list never claims more ids than it holds.
constexpr uint32_t kMaxValidProcIds = 0xFFFF;

// Priority class index (enumeration "Idle", "Normal", "High", "Time-Critical") of a base priority.
uint32_t PriorityIndex(uint32_t base_priority);

// What a process record carries; texts are the stored (compressed unicode) bytes, null = empty.
struct ProcessRecordFields {
    uint32_t process_id = 0;
    uint32_t parent_process_id = 0;
    uint32_t thread_count = 0;
    uint32_t base_priority = 0;
    uint32_t monitored = 0;
    uint32_t working_set = 0;
    const char* name = nullptr;
    const char* user_name = nullptr;
};

// Called once per attribute written: text is non-null for text attributes.
using AttribObserver = std::function<void(uint32_t field_id, const char* text, uint32_t number)>;

// NT mode: name, id, user, threads, priority, monitored, memory (length 78 + name + user).
// Windows 95 mode: name, id, parent id, threads, priority, monitored (length 71 + name).
Record BuildProcessUpdateRecord(const ProcessRecordFields& f, bool win95_mode,
                                const AttribObserver& observe = {});

// Display name and state, then 30 zero bytes (length 61 + name).
Record BuildServiceUpdateRecord(const char* display_name, uint32_t state, uint32_t group,
                                const AttribObserver& observe = {});

// ProcMgrValidProcIDs: rec_type 2, count, group 1, then the ids (length 6 + 4n, n capped).
Record BuildValidProcIds(const uint32_t* ids, uint32_t count);

} // namespace pm::table
