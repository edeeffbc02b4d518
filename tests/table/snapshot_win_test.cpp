// The snapshot's questions against the real system under Windows or Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "procman/w32/table/raw_table.h"
#include "procman/w32/table/snapshot_platform_win.h"

namespace pm::table {
namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(SnapshotWinTest, ToolhelpSnapshotListsThisProcess) {
    Win32SnapshotPlatform sys;
    if (!sys.IsWin95Mode()) GTEST_SKIP() << "no toolhelp process-flag functions on this system";
    auto found = sys.ToolhelpProcesses(1 << 20);
    ASSERT_TRUE(found.has_value());
    bool self = false;
    for (const auto& p : *found) {
        if (p.process_id != GetCurrentProcessId()) continue;
        self = true;
        EXPECT_NE(p.exe_file.find("table_win_tests"), std::string::npos) << p.exe_file;
        EXPECT_GE(p.thread_count, 1u);
    }
    EXPECT_TRUE(self);
    EXPECT_LE(sys.ToolhelpProcesses(2)->size(), 2u);

    CreateExecutionMutexOnce();
    HANDLE mutex = ExecutionMutex();
    EXPECT_NE(mutex, nullptr);
    CreateExecutionMutexOnce(); // once per run
    EXPECT_EQ(ExecutionMutex(), mutex);

    SnapshotState state;
    RawTable t(sys, state);
    EXPECT_EQ(t.GetNumGroups(), 1u);
    EXPECT_GT(t.GetNumEntries(1), 0u);
}

TEST(SnapshotWinTest, DetailsOfThisProcess) {
    Win32SnapshotPlatform sys;
    ProcessDetails me = sys.Process(GetCurrentProcessId());
    EXPECT_TRUE(EndsWith(me.module_path, "table_win_tests.exe")) << me.module_path;
    // Wine's tokens answer a user; whatever the system, a failure names its step.
    if (!me.user_name) RecordProperty("token_step", int(me.user_name.failed_step()));
    ProcessDetails none = sys.Process(0xFFFFFFF0u); // no such process
    EXPECT_EQ(none.module_path, "");
    EXPECT_TRUE(none.user_name.FailedAt(TokenStep::kOpenToken));
    EXPECT_NE(none.user_name.error(), 0u);
}

TEST(SnapshotWinTest, ServiceControlManagerEnumeration) {
    Win32SnapshotPlatform sys;
    auto lists = sys.Services({{0x3B, 0x30}, {0x0B, 0x0B}});
    ASSERT_EQ(lists.size(), 2u);
    ASSERT_GT(lists[0].size(), 0u);
    for (const auto& s : lists[0]) {
        EXPECT_GE(s.current_state, 1u);
        EXPECT_LE(s.current_state, 7u);
        EXPECT_FALSE(s.display_name.empty());
    }
    // Two enumerations in a row of an idle system list the same services.
    EXPECT_EQ(sys.Services({{0x3B, 0x30}})[0].size(), lists[0].size());
}

TEST(SnapshotWinTest, RegistryAnswers) {
    Win32SnapshotPlatform sys;
    // Wine answers a "PERF" block holding no object; a buffer too small says "more data".
    auto block = sys.PerformanceData("230", 1 << 16);
    ASSERT_TRUE(block.ok()) << block.error();
    ASSERT_GE(block->size(), 8u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block->data()), 8),
              std::string("P\0E\0R\0F\0", 8));
    auto small = sys.PerformanceData("230", 4);
    EXPECT_EQ(small.error(), static_cast<uint32_t>(ERROR_MORE_DATA));
    auto counters = sys.CountersText();
    if (counters) {
        EXPECT_EQ(counters->size() % 2, 0u); // UTF-16
    }
    EXPECT_FALSE(sys.PerfCounters().library_defers_to_registry); // no messaging library
    EXPECT_EQ(sys.WideToAnsi(u"_Total"), "_Total");
}

} // namespace
} // namespace pm::table
