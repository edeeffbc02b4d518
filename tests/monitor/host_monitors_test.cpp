// The host's side of the monitor commands and statistics, and `pmconsole monitors` and `stats`,
// run against the plug-in's own core through export-shaped trampolines that count every buffer
// handed out and freed.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "fake_plugin_platform.h"
#include "outside/pmconsole/monitors_command.h"
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

namespace pm::console {
namespace {

using monitor::Plugin;

bool ToCompressed(const std::string& ansi, std::string& out) {
    out = monitor::test::Cu(ansi.c_str()) + std::string(1, '\0');
    return true;
}
std::string FromCompressed(const std::string& c) {
    TextString s(c.c_str());
    s.FromCompressedUnicode();
    return s.CStr();
}

// Plays quorlent (unwrapping 0x73124536 as the forwarding does) and the host.
class PluginIo final : public ConsoleIo {
public:
    Reply Send(const Request& r) override {
        sent.push_back(r);
        host::HostAnswer a;
        if (r.code == 0x73124536 && r.to == "ProcMgr" && r.params.size() == 1) {
            std::string unwrapped;
            if (!host::UnwrapForwarded(host::WrapForwarded(r.params[0]), &unwrapped))
                a.status = 1;
            else
                a = host::RunMonitorCommand(unwrapped, {}, &host::Passthrough2, &host::FreeBuffer);
        } else if (r.code == host::kCmdMonitorCommand && r.params.size() == 2) {
            std::array<uint8_t, 8> owner{};
            std::copy(r.params[0].begin(), r.params[0].end(), owner.begin());
            a = host::RunMonitorCommand(r.params[1], owner, &host::Passthrough2, &host::FreeBuffer);
        } else if (r.code == host::kCmdStatistics) {
            a = host::AnswerStatistics(r.params, stats, 1, 100);
        } else {
            a.status = 1;
        }
        Reply reply;
        reply.outcome = Reply::Outcome::kReply;
        reply.status = static_cast<uint32_t>(a.status);
        reply.items = a.items;
        return reply;
    }
    void Out(const std::string& t) override { out += t; }
    void Err(const std::string& t) override { err += t; }
    CompressedConverter Converter() override { return &ToCompressed; }
    TextDecoder Decoder() override { return &FromCompressed; }
    std::vector<Request> sent;
    std::vector<host::MonitorStats> stats;
    std::string out, err;
};

// Reached the way the messages go: through quorlent's forwarding wrapper (code 0x73124536) or
// straight to the host with an owner.
class MonitorsConsole : public ::testing::Test {
protected:
    void SetUp() override {
        host::g_plugin = &plugin;
        host::g_allocs = host::g_frees = 0;
        plugin.InitIndepMonitors("C:\\Data\\");
    }
    void TearDown() override { EXPECT_EQ(host::g_allocs, host::g_frees); }
    int Run(std::vector<std::string> args) {
        io.out.clear();
        io.err.clear();
        return RunConsole(args, io);
    }
    monitor::test::FakePluginPlatform platform;
    Plugin plugin{platform};
    PluginIo io;
};

TEST_F(MonitorsConsole, AddListReplaceDeleteThroughTheAgent) {
    ASSERT_EQ(Run({"monitors", "add", "C:\\Tools\\notepad.exe", "--on", "start,stop,not-started",
                   "--start-timeout", "60", "--level", "3"}),
              0)
        << io.err;
    EXPECT_EQ(io.out, "added NOTEPAD.EXE with key 1\n");
    EXPECT_EQ(io.sent.back().code, 0x73124536u);
    // The stored record as the file holds it.
    const auto& file = platform.files["C:\\Data\\velstra.ini"];
    std::vector<uint8_t> record = monitor::MakeRecord(1, 3, 7, 60, "NOTEPAD.EXE");
    ASSERT_EQ(file.size(), 4 + record.size() + 8);
    EXPECT_TRUE(std::equal(record.begin(), record.end(), file.begin() + 4));

    EXPECT_EQ(Run({"monitors", "add", "notepad.exe"}), 0);
    EXPECT_EQ(io.out, "NOTEPAD.EXE is already monitored with key 1\n");
    EXPECT_EQ(plugin.Registry().Size(), 1u);
    EXPECT_EQ(Run({"monitors", "add", "calc.exe", "--quiet", "--on", "-"}), 0);
    EXPECT_EQ(Run({"monitors", "list"}), 0);
    EXPECT_EQ(io.out, "# key level on timeout name\n"
                      "1 3 start,stop,not-started 60 NOTEPAD.EXE\n"
                      "2 1 quiet 0 CALC.EXE\n");
    EXPECT_EQ(Run({"monitors", "list", "--json"}), 0);
    EXPECT_NE(io.out.find("{\"key\":2,\"level\":1,\"on\":[\"quiet\"]"), std::string::npos);
    EXPECT_EQ(Run({"monitors", "replace", "2", "ping.exe", "--on", "stop"}), 0);
    EXPECT_EQ(io.out, "replaced PING.EXE with key 2\n");
    EXPECT_EQ(Run({"monitors", "replace", "9", "x.exe"}), 1);
    EXPECT_EQ(Run({"monitors", "delete", "nope.exe"}), 1);
    EXPECT_EQ(Run({"monitors", "delete", "ping.exe"}), 0);
    EXPECT_EQ(Run({"monitors", "delete", "notepad.exe"}), 0);
    EXPECT_EQ(platform.files["C:\\Data\\velstra.ini"],
              (std::vector<uint8_t>{0x22, 0x45, 0x32, 0x11}));
    EXPECT_EQ(Run({"monitors", "pids", "--json"}), 0);
    EXPECT_EQ(io.out, "[]\n");
}

TEST_F(MonitorsConsole, OwnerGoesToTheHostAndFilesRoundTrip) {
    const std::string path = ::testing::TempDir() + "monitors_console_test.txt";
    {
        std::ofstream f(path);
        f << "# two monitors\n\n17 2 start,stop 0 notepad.exe\n0x20 0 - 30 My App.exe\n";
    }
    ASSERT_EQ(Run({"monitors", "replace-all", path, "--owner", "0102030405060708"}), 0) << io.err;
    EXPECT_EQ(io.sent.back().code, host::kCmdMonitorCommand);
    EXPECT_EQ(io.sent.back().params[0], std::string("\1\2\3\4\5\6\7\x08", 8));
    EXPECT_EQ(Run({"monitors", "add", "calc.exe"}), 0); // no owner
    EXPECT_EQ(Run({"monitors", "list", "--owner", "0102030405060708"}), 0);
    EXPECT_EQ(io.out, "# key level on timeout name\n"
                      "17 2 start,stop 0 NOTEPAD.EXE\n"
                      "32 0 - 30 MY APP.EXE\n");
    // Replacing that owner's set leaves the others.
    {
        std::ofstream f(path);
        f << "5 1 stop 0 ping.exe\n";
    }
    EXPECT_EQ(Run({"monitors", "replace-all", path, "--owner", "0102030405060708"}), 0);
    EXPECT_EQ(plugin.Registry().Size(), 2u);
    EXPECT_EQ(Run({"monitors", "update", path}), 0);
    EXPECT_EQ(plugin.Registry().Size(), 2u); // key 5 replaced in place
    {
        std::ofstream f(path);
        f << "5 1 stop zero ping.exe\n";
    }
    EXPECT_EQ(Run({"monitors", "update", path}), 2);
    EXPECT_NE(io.err.find("line 1"), std::string::npos);
    std::remove(path.c_str());
}

TEST_F(MonitorsConsole, UsageErrors) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"monitors"},
                                               {"monitors", "add"},
                                               {"monitors", "add", "a", "--level", "300"},
                                               {"monitors", "add", "a", "--on", "sometimes"},
                                               {"monitors", "list", "--owner", "12"},
                                               {"monitors", "frobnicate"},
                                               {"monitors", "update"},
                                               {"stats", "a", "b"}})
        EXPECT_EQ(Run(args), 2) << args.back();
    EXPECT_TRUE(io.sent.empty());
}

TEST_F(MonitorsConsole, StatsShowsTheTenStatisticsAndAlertNodes) {
    host::MonitorStats s;
    s.name = "PING.EXE";
    s.leaf_names = {"Current Active Processes", "b", "c", "d", "e",
                    "Total execution time",     "g", "h", "i", "j"};
    s.values = {1, 2, 0, 1, 0, 1.5, 0, 2, 1, 0, 2, 1, 0};
    s.read.fill(true);
    io.stats = {s};
    ASSERT_EQ(Run({"stats"}), 0);
    EXPECT_NE(io.out.find("  Current Active Processes         1\n"), std::string::npos);
    EXPECT_NE(io.out.find("Total execution time             1.500 min\n"), std::string::npos);
    EXPECT_NE(io.out.find("alert nodes: started 2, stopped 1, failed to start 0"),
              std::string::npos);
    ASSERT_EQ(Run({"stats", "ping.exe", "--json"}), 0);
    EXPECT_NE(io.out.find("\"execution_minutes_today\":1.5"), std::string::npos);
    EXPECT_EQ(io.sent.back().params, std::vector<std::string>{"PING.EXE"});
    EXPECT_EQ(Run({"stats", "other.exe"}), 1);
}

TEST(MonitorFile, LinesRoundTrip) {
    MonitorDef d;
    std::string e;
    ASSERT_TRUE(ParseMonitorLine("  7 255 start,not-started,quiet 65535 A B.EXE ", &d, &e));
    EXPECT_EQ(d.key, 7u);
    EXPECT_EQ(d.level, 255);
    EXPECT_EQ(d.conditions,
              monitor::kCondRunning | monitor::kCondNotStarted | monitor::kCondNewServer);
    EXPECT_EQ(d.start_timeout, 65535);
    EXPECT_EQ(d.name, "A B.EXE");
    MonitorDef again;
    ASSERT_TRUE(ParseMonitorLine(MonitorLine(d), &again, &e));
    EXPECT_EQ(MonitorLine(again), MonitorLine(d));
    EXPECT_FALSE(ParseMonitorLine("7 1 start 65536 A.EXE", &d, &e));
    EXPECT_FALSE(ParseMonitorLine("7 1 start 0", &d, &e));
}

TEST(MonitorFile, RecordListDecodingRefusesWhatDoesNotHoldTogether) {
    std::vector<MonitorDef> defs;
    auto keep = [](const std::string& s) { return s; };
    EXPECT_TRUE(DecodeRecordList(std::string(4, '\0'), keep, &defs));
    std::vector<uint8_t> r = monitor::MakeRecord(3, 1, 2, 0, "A.EXE");
    std::string one = std::string("\1\0\0\0", 4) + std::string(r.begin(), r.end());
    ASSERT_TRUE(DecodeRecordList(one, keep, &defs));
    EXPECT_EQ(defs[0].name, "A.EXE");
    EXPECT_FALSE(DecodeRecordList(one.substr(0, one.size() - 1), keep, &defs));
    EXPECT_FALSE(DecodeRecordList(one + "x", keep, &defs));
    std::string two = one;
    two[0] = 2;
    EXPECT_FALSE(DecodeRecordList(two, keep, &defs));
}

} // namespace
} // namespace pm::console
