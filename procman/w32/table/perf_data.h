// Reading the "Process" object of a performance data block from raw bytes.
// Portable: the block is what HKEY_PERFORMANCE_DATA hands back, laid out as Windows lays it
// out (PERF_DATA_BLOCK, PERF_OBJECT_TYPE, PERF_COUNTER_DEFINITION, PERF_INSTANCE_DEFINITION,
// PERF_COUNTER_BLOCK). Every offset and length in it is checked before use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pm::table {

// Byte offsets inside the performance structures (identical on 32 and 64 bits: winperf.h keeps
// the title pointers as DWORDs on 64-bit Windows).
namespace perf {
constexpr size_t kBlockHeaderLength = 24;  // PERF_DATA_BLOCK.HeaderLength
constexpr size_t kBlockMinSize = 88;       // sizeof(PERF_DATA_BLOCK)
constexpr size_t kObjDefinitionLength = 4; // PERF_OBJECT_TYPE.DefinitionLength
constexpr size_t kObjHeaderLength = 8;     // PERF_OBJECT_TYPE.HeaderLength
constexpr size_t kObjNumCounters = 32;     // PERF_OBJECT_TYPE.NumCounters
constexpr size_t kObjNumInstances = 40;    // PERF_OBJECT_TYPE.NumInstances
constexpr size_t kObjMinSize = 64;         // sizeof(PERF_OBJECT_TYPE)
constexpr size_t kCounterByteLength = 0;   // PERF_COUNTER_DEFINITION.ByteLength
constexpr size_t kCounterTitleIndex = 4;   // .CounterNameTitleIndex
constexpr size_t kCounterOffset = 36;      // .CounterOffset
constexpr size_t kCounterDefMinSize = 40;  // sizeof(PERF_COUNTER_DEFINITION)
constexpr size_t kInstByteLength = 0;      // PERF_INSTANCE_DEFINITION.ByteLength
constexpr size_t kInstNameOffset = 16;     // .NameOffset
constexpr size_t kInstNameLength = 20;     // .NameLength (bytes, terminator included)
constexpr size_t kInstMinSize = 24;        // sizeof(PERF_INSTANCE_DEFINITION)
} // namespace perf

// The five counters the process table needs, in this order.
enum PerfRow { kRowProcess, kRowIdProcess, kRowPriorityBase, kRowThreadCount, kRowWorkingSet };
constexpr int kPerfRows = 5;

struct PerfCounterRow {
    const char* name;         // ASCII, compared without regard to case
    uint32_t title_index = 0; // from the "Counters" list
    uint32_t offset = 0;      // inside the counter block
};

// Filled by the first snapshot that reads performance data and kept for the rest of the run.
struct PerfCounterTable {
    std::array<PerfCounterRow, kPerfRows> rows{
        {{"Process"}, {"ID Process"}, {"Priority Base"}, {"Thread Count"}, {"Working Set"}}};
    std::string query_value_name; // decimal "Process" title index; empty until resolved
    bool offsets_resolved = false;
};

// Scans the "Counters" value (UTF-16LE pairs of a decimal index and a name, each NUL-ended)
// and stores the title index of each row at its first match. Stops after five matches or at
// the end of the data; on_match is called with the row for each match. Returns the matches.
int MatchCounterTitles(const uint8_t* data, size_t size, PerfCounterTable& table,
                       const std::function<void(int row)>& on_match = {});

struct PerfInstance {
    uint32_t id_process = 0;
    uint32_t priority_base = 0;
    uint32_t thread_count = 0;
    uint32_t working_set = 0;
    std::u16string name; // the instance name, without terminator
};

enum class PerfReadResult {
    kOk,          // instances were read (possibly fewer than announced, when the block is short)
    kCheckFailed, // under 4 bytes or no "PERF" signature
};

// Checks the block, resolves the counter offsets once (when not yet resolved), and reads the
// instances of the first object in order. num_instances receives the announced count.
PerfReadResult ReadPerfInstances(const uint8_t* data, size_t size, PerfCounterTable& table,
                                 uint32_t* num_instances, std::vector<PerfInstance>& out);

} // namespace pm::table
