// Portable: no OS code here.
#include "shared/monitor/command_buffer.h"

#include <cstring>

#include "shared/monitor/monitor_record.h"

namespace pm::monitor {

namespace {

// A record at `at` within `room` bytes (kUnknownSize-safe): its length is read first, and
// nothing past the length it claims is read after that.
bool RecordAt(const uint8_t* at, size_t room, size_t* length) {
    if (room < 2) return false;
    const size_t claimed = ReadU16(at + kLengthAt);
    if (claimed < kHeaderSize + 1 || claimed > room) return false;
    if (!IsWellFormedRecord(at, claimed)) return false;
    *length = claimed;
    return true;
}

} // namespace

const char* CommandWord(uint32_t code) {
    switch (code) {
    case kCmdListAll:
        return "LIST_ALL";
    case kCmdDelete:
        return "DELETE";
    case kCmdAdd:
        return "ADD";
    case kCmdListPids:
        return "LIST_PIDS";
    case kCmdReplaceAll:
        return "REPLACE_ALL";
    case kCmdUpdateAll:
        return "UPDATE_ALL";
    case kCmdListAll2:
        return "LIST_ALL_2";
    default:
        return nullptr;
    }
}

bool CommandHasReply(uint32_t code) {
    return code == kCmdListAll || code == kCmdListAll2 || code == kCmdListPids || code == kCmdAdd ||
           code == kCmdReplace;
}

static size_t Check(const uint8_t* bytes, size_t size, CheckedCommand* out) {
    if (!bytes || size < 4) return 0;
    CheckedCommand c;
    c.code = ReadU32(bytes);
    size_t used = 4;
    switch (c.code) {
    case kCmdDelete: {
        if (size - 4 < 4) return 0;
        const size_t n = ReadU32(bytes + 4);
        if (n == 0 || n > size - 8) return 0;
        const void* nul = std::memchr(bytes + 8, 0, n);
        if (!nul) return 0;
        c.name = bytes + 8;
        c.name_length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - c.name);
        used = 8 + n;
        break;
    }
    case kCmdAdd:
    case kCmdReplace: {
        size_t length = 0;
        if (!RecordAt(bytes + 4, size - 4, &length)) return 0;
        c.records.push_back(bytes + 4);
        used = 4 + length;
        break;
    }
    case kCmdReplaceAll:
    case kCmdUpdateAll: {
        if (size - 4 < 4) return 0;
        const uint32_t count = ReadU32(bytes + 4);
        size_t at = 8;
        // Every record takes at least 13 bytes, so a count the rest cannot hold is refused
        // before the walk.
        if (size != kUnknownSize && count > (size - at) / (kHeaderSize + 1)) return 0;
        for (uint32_t i = 0; i < count; ++i) {
            size_t length = 0;
            if (!RecordAt(bytes + at, size - at, &length)) return 0;
            c.records.push_back(bytes + at);
            at += length; // length >= 13: the walk always moves on
        }
        used = at;
        break;
    }
    default:
        break;
    }
    if (out) *out = std::move(c);
    return used;
}

bool CheckCommandBuffer(const uint8_t* bytes, size_t size, CheckedCommand* out) {
    return Check(bytes, size, out) != 0;
}

size_t CommandBufferUsed(const uint8_t* bytes, size_t size) {
    return Check(bytes, size, nullptr);
}

} // namespace pm::monitor
