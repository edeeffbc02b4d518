// Shared set-up for the process-table tests: a standard counter layout.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "tests/table/fake_snapshot_platform.h"
#include "tests/table/perf_block_builder.h"

namespace pm::table::test {

// Title indexes as Windows numbers them, and where each value sits in the counter block.
constexpr uint32_t kProcessIndex = 230, kIdProcessIndex = 784, kPriorityIndex = 682,
                   kThreadsIndex = 680, kWorkingSetIndex = 180, kOtherIndex = 6;
constexpr uint32_t kWorkingSetAt = 8, kThreadsAt = 16, kPriorityAt = 20, kIdAt = 24, kOtherAt = 28;

inline std::vector<uint8_t> StandardCounters() {
    return CountersValue({{"1", "1847"},
                          {"6", "% Processor Time"},
                          {"180", "Working Set"},
                          {"230", "Process"},
                          {"680", "Thread Count"},
                          {"682", "Priority Base"},
                          {"784", "ID Process"}});
}

inline PerfBlockBuilder StandardBlock() {
    PerfBlockBuilder b;
    b.counters = {{kOtherIndex, kOtherAt, 8},
                  {kWorkingSetIndex, kWorkingSetAt, 8},
                  {kThreadsIndex, kThreadsAt, 4},
                  {kPriorityIndex, kPriorityAt, 4},
                  {kIdProcessIndex, kIdAt, 4}};
    return b;
}

inline InstanceDef Instance(const std::u16string& name, uint32_t pid, uint32_t threads,
                            uint32_t priority, uint64_t working_set) {
    return InstanceDef{name,
                       {{kIdAt, pid},
                        {kThreadsAt, threads},
                        {kPriorityAt, priority},
                        {kWorkingSetAt, working_set, 8}}};
}

} // namespace pm::table::test
