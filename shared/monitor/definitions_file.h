// "velstra.ini", the monitor definitions: binary despite its name. The magic 22 45 32 11, then
// per monitor its record (`length` bytes) followed at once by its 8-byte owner id; no count, no
// trailer. Portable: the bytes come from and go to the caller. No OS code here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "shared/monitor/monitor_record.h"

namespace pm::monitor {

constexpr uint32_t kDefinitionsMagic = 0x11324522;
constexpr const char* kDefinitionsFileName = "velstra.ini";
// A file larger than this is read only this far (its whole entries before the cut load).
constexpr size_t kMaxDefinitionsBytes = 64u * 1024 * 1024;

using OwnerId = std::array<uint8_t, kOwnerIdSize>;

struct DefinitionEntry {
    std::vector<uint8_t> record; // exactly `length` bytes
    OwnerId owner{};
};

enum class LoadStop {
    kEnd,       // every byte was used
    kNoMagic,   // shorter than the magic, or another magic
    kCut,       // the last entry was cut short
    kBadRecord, // a record whose length or name offset leaves no room for its name
};

struct ParsedDefinitions {
    std::vector<DefinitionEntry> entries; // in file order
    LoadStop stop = LoadStop::kEnd;
    size_t bad_at = 0; // offset of the entry that stopped the loading (kCut, kBadRecord)
};

// Reads the entries in file order. Stops at the end, at an entry cut short (nothing of it is
// kept) and at a malformed record (the entries before it stay).
ParsedDefinitions ParseDefinitions(const uint8_t* bytes, size_t size);

// The file's bytes for these entries, in the given order.
std::vector<uint8_t> SerializeDefinitions(const std::vector<const DefinitionEntry*>& entries);

} // namespace pm::monitor
