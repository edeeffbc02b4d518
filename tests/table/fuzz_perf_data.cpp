// Arbitrary bytes as a performance data block and as a "Counters" value: the reader must stay
// inside the buffer whatever the offsets, lengths and counts say.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "procman/w32/table/perf_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> copy(data, data + size); // exact size: overreads are caught
    pm::table::PerfCounterTable table;
    pm::table::MatchCounterTitles(copy.data(), copy.size(), table);
    // Known title indexes so that offsets get resolved from the block's definitions.
    uint32_t index = 1;
    for (auto& row : table.rows)
        row.title_index = row.title_index ? row.title_index : index++;
    uint32_t announced = 0;
    std::vector<pm::table::PerfInstance> out;
    pm::table::ReadPerfInstances(copy.data(), copy.size(), table, &announced, out);
    return 0;
}
