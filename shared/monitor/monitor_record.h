// The monitor record: one monitor's definition as "velstra.ini" stores it and as the console
// sends it. Little-endian and packed; the name sits at `name_offset` and ends with a NUL that
// `length` counts. Portable: no OS code here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/base/endian.h"

namespace pm::monitor {

// Field offsets.
constexpr size_t kLengthAt = 0;
constexpr size_t kKeyAt = 2;
constexpr size_t kNameOffsetAt = 6;
constexpr size_t kAlertLevelAt = 8;
constexpr size_t kConditionsAt = 9;
constexpr size_t kStartTimeoutAt = 10;
// The interpreted fields end here; bytes 12-15 travel unread.
constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxNameOffset = 16;

// `conditions` bits; the others are kept as they come.
constexpr uint8_t kCondTermination = 0x01;
constexpr uint8_t kCondRunning = 0x02;
constexpr uint8_t kCondNotStarted = 0x04;
constexpr uint8_t kCondNewServer = 0x40;

constexpr size_t kOwnerIdSize = 8;

// The format's names for the little-endian helpers of shared/base/endian.h.
inline constexpr auto& ReadU16 = le::Load16;
inline constexpr auto& ReadU32 = le::Load32;
inline constexpr auto& WriteU16 = le::Store16;
inline constexpr auto& WriteU32 = le::Store32;

// True when `bytes` (of `available` bytes) starts with a record whose `length` fits in them,
// whose `name_offset` lies between the header's end and 16, and whose name ends with a NUL
// inside the record. Nothing outside [bytes, bytes + available) is read.
bool IsWellFormedRecord(const uint8_t* bytes, size_t available);

// The record of these fields, as the console sends it and the definitions file stores it:
// name_offset 16, the 4 spare bytes zero, then `name` (the stored bytes, without their NUL) and
// its NUL. Empty when the record would not fit its 16-bit length.
std::vector<uint8_t> MakeRecord(uint32_t key, uint8_t alert_level, uint8_t conditions,
                                uint16_t start_timeout, const std::string& name);

// One monitor's definition with its name as text (UTF-8), as the console shows it and the
// gate's policies compare it.
struct MonitorDef {
    uint32_t key = 0;
    uint8_t level = 0;
    uint8_t conditions = 0;
    uint16_t start_timeout = 0;
    std::string name;
};

// A record list reply (LIST_ALL: a count, then the records); false when it does not hold
// together. `decode` turns a stored name (compressed unicode) into text.
bool DecodeRecordList(const std::string& reply, std::string (*decode)(const std::string&),
                      std::vector<MonitorDef>* out);

} // namespace pm::monitor
