// The process table against the real system under Windows or Wine: toolhelp for processes,
// and the NT-mode service enumeration against the real service control manager.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "procman/w32/table/raw_table.h"
#include "procman/w32/table/snapshot_platform_win.h"

namespace pm::table {
namespace {

std::string Ansi(const TextString& stored) {
    TextString s(stored.CStr());
    s.FromCompressedUnicode();
    return s.CStr();
}

// The real system with the platform decision forced to NT mode (Wine exports the Windows 95
// toolhelp functions, so it would otherwise always choose Windows 95 mode).
class ForcedNtPlatform : public SnapshotPlatform {
public:
    explicit ForcedNtPlatform(SnapshotPlatform& real) : r_(real) {}
    bool IsWin95Mode() override { return false; }
    void CreateExecutionMutexOnce() override { r_.CreateExecutionMutexOnce(); }
    bool OpenToolhelpSnapshot() override { return r_.OpenToolhelpSnapshot(); }
    bool ProcessFirst(ToolhelpProcess* e) override { return r_.ProcessFirst(e); }
    bool ProcessNext(ToolhelpProcess* e) override { return r_.ProcessNext(e); }
    uint32_t GetProcessFlags(uint32_t pid) override { return r_.GetProcessFlags(pid); }
    void CloseToolhelpSnapshot() override { r_.CloseToolhelpSnapshot(); }
    int PerfCountersDisabledByLibrary() override { return r_.PerfCountersDisabledByLibrary(); }
    bool OpenPerfProcKey() override { return r_.OpenPerfProcKey(); }
    bool ReadDisablePerformanceCounters(uint32_t* v) override {
        return r_.ReadDisablePerformanceCounters(v);
    }
    void ClosePerfProcKey() override { r_.ClosePerfProcKey(); }
    bool OpenPerflibKey() override { return r_.OpenPerflibKey(); }
    long QueryCountersSize(uint32_t* s) override { return r_.QueryCountersSize(s); }
    bool ReadCounters(std::vector<uint8_t>* d, uint32_t n) override { return r_.ReadCounters(d, n); }
    void ClosePerflibKey() override { r_.ClosePerflibKey(); }
    long QueryPerformanceData(const std::string& name, uint32_t size,
                              std::vector<uint8_t>* data) override {
        return r_.QueryPerformanceData(name, size, data);
    }
    void OpenProcess(uint32_t pid) override { r_.OpenProcess(pid); }
    std::string ModuleFileName() override { return r_.ModuleFileName(); }
    bool TokenUserName(std::string* n, uint32_t* e) override { return r_.TokenUserName(n, e); }
    void CloseProcess() override { r_.CloseProcess(); }
    bool OpenServiceManager() override { return r_.OpenServiceManager(); }
    bool EnumServicesSize(uint32_t t, uint32_t* n, uint32_t* c, bool* m) override {
        return r_.EnumServicesSize(t, n, c, m);
    }
    bool EnumServices(uint32_t t, uint32_t s, std::vector<ServiceStatusEntry>* o) override {
        return r_.EnumServices(t, s, o);
    }
    void CloseServiceManager() override { r_.CloseServiceManager(); }
    std::string WideToAnsi(const std::u16string& t) override { return r_.WideToAnsi(t); }

private:
    SnapshotPlatform& r_;
};

TEST(SnapshotWinTest, ToolhelpSnapshotListsThisProcess) {
    SnapshotPlatform& sys = SystemSnapshotPlatform();
    if (!sys.IsWin95Mode()) GTEST_SKIP() << "no toolhelp process-flag functions on this system";
    SnapshotState state;
    RawTable t(sys, state);
    EXPECT_EQ(t.GetNumGroups(), 1u);
    EXPECT_NE(ExecutionMutex(), nullptr);
    bool found = false;
    for (const auto& p : t.Processes()) {
        if (p.process_id != GetCurrentProcessId()) continue;
        found = true;
        EXPECT_NE(Ansi(p.name).find("table_win_tests"), std::string::npos) << Ansi(p.name);
        EXPECT_GE(p.thread_count, 1);
    }
    EXPECT_TRUE(found);
}

TEST(SnapshotWinTest, ServiceControlManagerEnumerationInNtMode) {
    ForcedNtPlatform nt(SystemSnapshotPlatform());
    SnapshotState state;
    RawTable t(nt, state);
    EXPECT_EQ(t.GetNumGroups(), 3u);
    ASSERT_GT(t.GetNumEntries(2), 0u);
    for (const auto& s : t.Services(2)) {
        EXPECT_GE(s.current_state, 1);
        EXPECT_LE(s.current_state, 7);
        EXPECT_EQ(s.group, 2);
        EXPECT_FALSE(Ansi(s.display_name).empty());
    }
    for (const auto& s : t.Services(3)) EXPECT_EQ(s.group, 3);
    // Two snapshots in a row of an idle system match entry by entry.
    RawTable again(nt, state);
    EXPECT_EQ(again.GetNumEntries(2), t.GetNumEntries(2));
}

} // namespace
} // namespace pm::table
