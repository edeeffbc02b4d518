// Portable: no OS code here.
#include "shared/monitor/monitor_record.h"

#include <cstring>

namespace pm::monitor {

bool IsWellFormedRecord(const uint8_t* bytes, size_t available) {
    if (available < kHeaderSize) return false;
    const size_t length = ReadU16(bytes + kLengthAt);
    const size_t name_offset = ReadU16(bytes + kNameOffsetAt);
    if (length > available || name_offset < kHeaderSize || name_offset > kMaxNameOffset)
        return false;
    if (length < name_offset + 1) return false;
    return std::memchr(bytes + name_offset, 0, length - name_offset) != nullptr;
}

std::vector<uint8_t> MakeRecord(uint32_t key, uint8_t alert_level, uint8_t conditions,
                                uint16_t start_timeout, const std::string& name) {
    if (kMaxNameOffset + name.size() + 1 > 0xFFFF) return {};
    std::vector<uint8_t> r(kMaxNameOffset + name.size() + 1, 0);
    WriteU16(&r[kLengthAt], static_cast<uint16_t>(r.size()));
    WriteU32(&r[kKeyAt], key);
    WriteU16(&r[kNameOffsetAt], kMaxNameOffset);
    r[kAlertLevelAt] = alert_level;
    r[kConditionsAt] = conditions;
    WriteU16(&r[kStartTimeoutAt], start_timeout);
    std::memcpy(&r[kMaxNameOffset], name.data(), name.size());
    return r;
}

bool DecodeRecordList(const std::string& reply, std::string (*decode)(const std::string&),
                      std::vector<MonitorDef>* out) {
    const auto* b = reinterpret_cast<const uint8_t*>(reply.data());
    if (reply.size() < 4) return false;
    const uint32_t count = ReadU32(b);
    size_t at = 4;
    std::vector<MonitorDef> defs;
    for (uint32_t i = 0; i < count; ++i) {
        if (reply.size() - at < kHeaderSize) return false;
        const size_t name_offset = ReadU16(b + at + kNameOffsetAt);
        if (name_offset < kHeaderSize || name_offset > kMaxNameOffset ||
            reply.size() - at <= name_offset)
            return false;
        const size_t nul = reply.find('\0', at + name_offset);
        if (nul == std::string::npos) return false;
        MonitorDef d;
        d.key = ReadU32(b + at + kKeyAt);
        d.level = b[at + kAlertLevelAt];
        d.conditions = b[at + kConditionsAt];
        d.start_timeout = ReadU16(b + at + kStartTimeoutAt);
        d.name = decode(reply.substr(at + name_offset, nul - at - name_offset));
        defs.push_back(d);
        at = nul + 1;
    }
    if (at != reply.size()) return false;
    *out = std::move(defs);
    return true;
}

} // namespace pm::monitor
