// libFuzzer: the definitions-file loader on any bytes. Every entry it keeps must be a
// well-formed record, and writing the entries back must give the same leading bytes.
#include <cstdlib>
#include <cstring>

#include "shared/monitor/definitions_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pm::monitor;
    ParsedDefinitions p = ParseDefinitions(data, size);
    std::vector<const DefinitionEntry*> entries;
    for (const DefinitionEntry& e : p.entries) {
        if (!IsWellFormedRecord(e.record.data(), e.record.size())) std::abort();
        if (ReadU16(e.record.data()) != e.record.size()) std::abort();
        entries.push_back(&e);
    }
    if (p.stop == LoadStop::kNoMagic) return 0;
    std::vector<uint8_t> again = SerializeDefinitions(entries);
    if (again.size() > size || std::memcmp(again.data(), data, again.size()) != 0) std::abort();
    if (p.stop == LoadStop::kEnd && again.size() != size) std::abort();
    return 0;
}
