// The host's side of the monitor commands and statistics, run against the plug-in's own core
// through export-shaped trampolines.
#include <gtest/gtest.h>

#include <cstdlib>

#include "fake_plugin_platform.h"
#include "outside/pmhost/host_monitors.h"
#include "shared/monitor/command_buffer.h"

namespace pm::host {
namespace {

using monitor::OwnerId;
using monitor::Plugin;
using monitor::ReadU32;

Plugin* g_plugin = nullptr;
int g_calls = 0, g_allocs = 0, g_frees = 0;

uint8_t* Counted(uint8_t* p) {
    if (p) ++g_allocs;
    return p;
}
void TARNVEX_API Free(void* p) {
    if (p) ++g_frees;
    Plugin::FreeBuffer(p);
}

uint32_t TARNVEX_API Passthrough2(uint32_t i, const uint8_t* c, uint8_t** r, uint32_t* s,
                                  const uint8_t* o) {
    ++g_calls;
    const uint32_t result = g_plugin->Passthrough2(i, c, monitor::kUnknownSize, r, s, o);
    if (result && monitor::CommandHasReply(ReadU32(c)) && *r) ++g_allocs;
    return result;
}
uint32_t TARNVEX_API FreeBuffer(void* b, uint32_t) {
    Free(b);
    return 1;
}
uint32_t TARNVEX_API Init() {
    return g_plugin->InitNodes();
}
uint32_t TARNVEX_API Term() {
    return g_plugin->TermNodes();
}
uint8_t* TARNVEX_API List(const uint8_t* p) {
    return Counted(g_plugin->GetNodeList(p, ReadU32(p)));
}
void TARNVEX_API FreeList(uint8_t* l) {
    Free(l);
}
uint8_t* TARNVEX_API Attributes(uint32_t h) {
    return Counted(g_plugin->GetNodeAttributes(h));
}
void TARNVEX_API FreeAttributes(uint8_t* a) {
    Free(a);
}
uint32_t TARNVEX_API Connect(const uint8_t* p, uint32_t* h, uint8_t* f) {
    return g_plugin->NodeConnect(p, ReadU32(p), h, f);
}
uint32_t TARNVEX_API Disconnect(uint32_t) {
    return 1;
}
uint32_t TARNVEX_API NodePulse(uint32_t, uint32_t) {
    return 15000;
}
uint8_t* TARNVEX_API Value(uint32_t h) {
    return Counted(g_plugin->NodeGetValue(h));
}
void TARNVEX_API FreeValue(uint8_t* v) {
    Free(v);
}

NodeFunctions Nodes() {
    return {&Init,    &Term,       &List,      &FreeList, &Attributes, &FreeAttributes,
            &Connect, &Disconnect, &NodePulse, &Value,    &FreeValue};
}

std::string Bytes(const std::vector<uint8_t>& v) {
    return std::string(v.begin(), v.end());
}
std::string U32(uint32_t v) {
    std::string b(4, '\0');
    monitor::WriteU32(reinterpret_cast<uint8_t*>(&b[0]), v);
    return b;
}

class HostMonitors : public ::testing::Test {
protected:
    void SetUp() override {
        g_plugin = &plugin;
        g_calls = g_allocs = g_frees = 0;
        plugin.InitIndepMonitors("C:\\Data\\");
        plugin.InitNodes();
    }
    void TearDown() override {
        EXPECT_EQ(g_allocs, g_frees);
        g_plugin = nullptr;
    }
    HostAnswer Command(const std::string& buffer, const std::array<uint8_t, 8>& owner = {}) {
        return RunMonitorCommand(buffer, owner, &Passthrough2, &FreeBuffer);
    }
    monitor::test::FakePluginPlatform platform;
    Plugin plugin{platform};
};

TEST_F(HostMonitors, ForwardedWrappingUnwrapsAndEveryAlteredFieldIsRefused) {
    const std::string command(10, 'c');
    const std::vector<std::string> params = WrapForwarded(command);
    ASSERT_EQ(params[1].size(), 35u);
    ASSERT_EQ(params[0].size(), 25u + 7 + 10);
    std::string out;
    ASSERT_TRUE(UnwrapForwarded(params, &out));
    EXPECT_EQ(out, command);
    // Each field of either parameter changed by one: refused.
    const std::vector<std::pair<size_t, size_t>> fields = {{0, 0},  {0, 4},  {0, 11}, {0, 15},
                                                           {0, 19}, {0, 23}, {0, 31}, {1, 0},
                                                           {1, 4},  {1, 5},  {1, 9},  {1, 13}};
    for (const auto& [param, at] : fields) {
        std::vector<std::string> bad = params;
        bad[param][at] = static_cast<char>(bad[param][at] + 1);
        EXPECT_FALSE(UnwrapForwarded(bad, &out)) << param << "@" << at;
    }
    std::vector<std::string> cut = params;
    cut[1].pop_back();
    EXPECT_FALSE(UnwrapForwarded(cut, &out));
    EXPECT_FALSE(UnwrapForwarded({params[0]}, &out));
}

TEST_F(HostMonitors, CommandsAnswerStatusAndReplyItemAndEveryReplyIsFreed) {
    HostAnswer list = Command(U32(monitor::kCmdListAll));
    EXPECT_EQ(list.status, 0);
    ASSERT_EQ(list.items.size(), 1u);
    EXPECT_EQ(list.items[0], U32(0));
    const std::string add =
        U32(monitor::kCmdAdd) + Bytes(monitor::MakeRecord(5, 1, 3, 0, monitor::test::Cu("a.exe")));
    HostAnswer added = Command(add, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(added.status, 0);
    EXPECT_EQ(added.items, std::vector<std::string>{U32(5)});
    EXPECT_EQ(plugin.Registry().Head()->definition.owner, (OwnerId{1, 2, 3, 4, 5, 6, 7, 8}));
    // DELETE of a name no monitor holds: status 1; of a stored one: status 0 and no item.
    const std::string name = "A.EXE";
    HostAnswer miss = Command(U32(monitor::kCmdDelete) + U32(3) + std::string("B.\0", 3));
    EXPECT_EQ(miss.status, 1);
    HostAnswer del = Command(U32(monitor::kCmdDelete) + U32(6) + monitor::test::Cu("A.EXE") +
                             std::string(1, '\0'));
    EXPECT_EQ(del.status, 0);
    EXPECT_TRUE(del.items.empty());
    EXPECT_EQ(Command(U32(0x999)).status, 1);
}

TEST_F(HostMonitors, BuffersInconsistentWithTheirRealSizeNeverReachThePlugin) {
    const std::string add = U32(monitor::kCmdAdd) + Bytes(monitor::MakeRecord(5, 1, 3, 0, "A.EXE"));
    const int before = g_calls;
    EXPECT_EQ(Command(add.substr(0, add.size() - 1)).status, 1);
    EXPECT_EQ(Command(U32(monitor::kCmdReplaceAll) + U32(1)).status, 1);
    EXPECT_EQ(Command(std::string("\x00\x01", 2)).status, 1);
    EXPECT_EQ(g_calls, before);
    EXPECT_TRUE(plugin.Registry().Empty());
}

TEST_F(HostMonitors, StatisticsReadEveryLeafAndTheAlertNodesFirstZero) {
    monitor::ProcMonitor* a = plugin.CreateMonitor(
        monitor::MakeRecord(0x123, 1, 3, 0, "NOTEPAD.EXE").data(), false, OwnerId{});
    a->current_count = 1;
    a->execution_seconds = {90, 0};
    a->times_started = 2;
    a->times_stopped = 1;
    plugin.CreateMonitor(monitor::MakeRecord(0x124, 1, 3, 0, "CALC.EXE").data(), false, OwnerId{});
    uint32_t interval = 0;
    std::vector<MonitorStats> first = ReadStatistics(Nodes(), "en_US", &interval);
    EXPECT_EQ(interval, 15000u);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].name, "NOTEPAD.EXE");
    EXPECT_EQ(first[1].name, "CALC.EXE");
    EXPECT_EQ(first[0].leaf_names[5], "Total execution time");
    for (bool r : first[0].read)
        EXPECT_TRUE(r);
    const std::array<double, kStatCount> expected_first = {1, 0, 0, 0, 0, 1.5, 0, 2, 1, 0, 0, 0, 0};
    EXPECT_EQ(first[0].values, expected_first);
    std::vector<MonitorStats> second = ReadStatistics(Nodes(), "en_US", &interval);
    EXPECT_EQ(second[0].values[10], 2.0);
    EXPECT_EQ(second[0].values[11], 1.0);
    MonitorStats back;
    ASSERT_TRUE(DecodeStats(EncodeStats(second[0]), &back));
    EXPECT_EQ(back.name, second[0].name);
    EXPECT_EQ(back.values, second[0].values);
    EXPECT_EQ(back.read, second[0].read);
    EXPECT_EQ(back.leaf_names, second[0].leaf_names);
    EXPECT_FALSE(DecodeStats(EncodeStats(second[0]).substr(1), &back) &&
                 back.name == second[0].name);
    HostAnswer one = AnswerStatistics({"CALC.EXE"}, second, 2, 77);
    ASSERT_EQ(one.items.size(), 2u);
    EXPECT_EQ(one.items[0], U32(2) + U32(77) + U32(1));
}

TEST_F(HostMonitors, EmptyRegistryReadsNothing) {
    uint32_t interval = 42;
    EXPECT_TRUE(ReadStatistics(Nodes(), "en_US", &interval).empty());
    EXPECT_EQ(interval, 42u);
}

TEST(HostMetrics, PrometheusTextHasHelpTypeAndEscapedLabels) {
    MonitorStats s;
    s.name = "MY \"APP\"\\X.EXE";
    s.values[0] = 2;
    s.values[5] = 1.5;
    s.read[0] = s.read[5] = true;
    const std::string text = PrometheusText({s});
    EXPECT_NE(text.find("# TYPE procmon_current_active_processes gauge\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE procmon_times_started_total counter\n"), std::string::npos);
    EXPECT_NE(text.find("procmon_current_active_processes{executable=\"MY \\\"APP\\\"\\\\X.EXE\"}"
                        " 2\n"),
              std::string::npos);
    EXPECT_NE(text.find("procmon_execution_minutes_today{executable=\"MY \\\"APP\\\"\\\\X.EXE\"}"
                        " 1.5\n"),
              std::string::npos);
    // Values not read have no sample.
    EXPECT_EQ(text.find("procmon_times_started_total{"), std::string::npos);
}

} // namespace
} // namespace pm::host
