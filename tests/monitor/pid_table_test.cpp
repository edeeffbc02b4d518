#include <gtest/gtest.h>

#include <map>
#include <set>

#include "procman/com/pid_table.h"

namespace pm::monitor {
namespace {

// The slots of one pid as (monitor, index) pairs.
std::set<std::pair<ProcMonitor*, uint32_t>> SlotsOf(const PidTable& t, uint32_t pid) {
    std::set<std::pair<ProcMonitor*, uint32_t>> out;
    for (uint32_t s = t.First(pid); s != PidTable::kNone; s = t.At(s).next) {
        EXPECT_EQ(t.At(s).pid, pid);
        out.insert({t.At(s).monitor, t.At(s).index});
    }
    return out;
}

TEST(PidTable, FindsEverySlotAcrossGrowthAndForgetsThemAtClear) {
    auto* a = reinterpret_cast<ProcMonitor*>(0x1000);
    auto* b = reinterpret_cast<ProcMonitor*>(0x2000);
    PidTable t;
    EXPECT_EQ(t.First(4), PidTable::kNone);
    std::map<uint32_t, std::set<std::pair<ProcMonitor*, uint32_t>>> expected;
    for (uint32_t i = 0; i < 5000; ++i) {
        const uint32_t pid = 4 * (i % 3000) + 4; // 2000 pids appear twice
        ProcMonitor* m = i < 3000 ? a : b;
        t.Add(pid, m, i);
        expected[pid].insert({m, i});
    }
    for (const auto& [pid, slots] : expected)
        ASSERT_EQ(SlotsOf(t, pid), slots) << pid;
    EXPECT_EQ(t.First(2), PidTable::kNone);
    EXPECT_EQ(t.First(0), PidTable::kNone);

    for (int round = 0; round < 3; ++round) {
        t.Clear();
        for (const auto& [pid, slots] : expected)
            EXPECT_EQ(t.First(pid), PidTable::kNone) << pid;
        t.Add(0, a, 7);
        EXPECT_EQ(SlotsOf(t, 0), (std::set<std::pair<ProcMonitor*, uint32_t>>{{a, 7}}));
    }
}

} // namespace
} // namespace pm::monitor
