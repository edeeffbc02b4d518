// Shared set-up for the signal tests: snapshots and parameters.
#pragma once

#include <cstdint>
#include <vector>

#include "procman/w32/table/raw_table.h"
#include "shared/text/text_string.h"

namespace pm::signals::test {

inline std::vector<uint8_t> Compressed(const char* ansi) {
    TextString s(ansi);
    if (*ansi != '\0') s.ToCompressedUnicode();
    std::vector<uint8_t> out(s.CStr(), s.CStr() + s.Length());
    out.push_back(0);
    return out;
}

inline std::vector<uint8_t> Pid(uint32_t pid) {
    return {static_cast<uint8_t>(pid), static_cast<uint8_t>(pid >> 8),
            static_cast<uint8_t>(pid >> 16), static_cast<uint8_t>(pid >> 24)};
}

inline table::ProcessEntry Process(uint32_t pid, const char* name, uint16_t flags = 0) {
    table::ProcessEntry e;
    e.process_id = pid;
    e.process_flags = flags;
    e.name = reinterpret_cast<const char*>(Compressed(name).data());
    return e;
}

} // namespace pm::signals::test
