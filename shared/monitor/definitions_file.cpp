// Portable: no OS code here.
#include "shared/monitor/definitions_file.h"

#include <cstring>

namespace pm::monitor {

ParsedDefinitions ParseDefinitions(const uint8_t* bytes, size_t size) {
    ParsedDefinitions out;
    if (size < 4 || ReadU32(bytes) != kDefinitionsMagic) {
        out.stop = LoadStop::kNoMagic;
        return out;
    }
    size_t at = 4;
    while (size - at >= 2) {
        const size_t length = ReadU16(bytes + at);
        if (length < kHeaderSize) {
            out.stop = LoadStop::kBadRecord;
            out.bad_at = at;
            return out;
        }
        if (size - at < length + kOwnerIdSize) {
            out.stop = LoadStop::kCut;
            out.bad_at = at;
            return out;
        }
        if (!IsWellFormedRecord(bytes + at, length)) {
            out.stop = LoadStop::kBadRecord;
            out.bad_at = at;
            return out;
        }
        DefinitionEntry e;
        e.record.assign(bytes + at, bytes + at + length);
        std::memcpy(e.owner.data(), bytes + at + length, kOwnerIdSize);
        out.entries.push_back(std::move(e));
        at += length + kOwnerIdSize;
    }
    if (at != size) {
        out.stop = LoadStop::kCut; // one stray byte
        out.bad_at = at;
    }
    return out;
}

std::vector<uint8_t> SerializeDefinitions(const std::vector<const DefinitionEntry*>& entries) {
    std::vector<uint8_t> out(4);
    WriteU32(out.data(), kDefinitionsMagic);
    for (const DefinitionEntry* e : entries) {
        out.insert(out.end(), e->record.begin(), e->record.end());
        out.insert(out.end(), e->owner.begin(), e->owner.end());
    }
    return out;
}

} // namespace pm::monitor
