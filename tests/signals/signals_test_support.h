// Shared set-up for the signal tests: snapshots, parameters and a trace recorder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "procman/w32/table/raw_table.h"
#include "procman/w32/table/table_trace.h"
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

class TraceRecorder {
public:
    TraceRecorder() {
        lines().clear();
        table::SetTraceSink([](const char* l) { lines().push_back(l); });
    }
    ~TraceRecorder() { table::SetTraceSink(nullptr); }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> l;
        return l;
    }
    bool Has(const std::string& line) const {
        for (const auto& l : lines())
            if (l == line) return true;
        return false;
    }
};

} // namespace pm::signals::test
