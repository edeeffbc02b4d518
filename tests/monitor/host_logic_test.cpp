// The host's side of the monitor commands and statistics, run against the plug-in's own core
// through export-shaped trampolines that count every buffer handed out and freed; and
// `pmconsole monitors` and `stats` answered by that host logic (reached through quorlent's
// forwarding wrapper or straight with an owner).
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "fake_plugin_platform.h"
#include "outside/pmconsole/monitors_command.h"
#include "outside/pmhost/host_logic.h"
#include "shared/base/endian.h"
#include "shared/monitor/command_buffer.h"
#include "shared/monitor/forwarded_command.h"
#include "shared/monitor/host_text.h"

namespace pm::host::test {
namespace {

using monitor::OwnerId;
using monitor::Plugin;
using monitor::ReadU32;

Plugin* g_plugin = nullptr;
int g_calls = 0, g_allocs = 0, g_frees = 0;

// The plug-in's exports; every buffer they hand out or take back is counted.
struct Exports {
    static uint8_t* Counted(uint8_t* p) {
        g_allocs += p != nullptr;
        return p;
    }
    static void TARNVEX_API Free(uint8_t* p) {
        g_frees += p != nullptr;
        Plugin::FreeBuffer(p);
    }
    static uint32_t TARNVEX_API Passthrough2(uint32_t i, const uint8_t* c, uint8_t** r, uint32_t* s,
                                             const uint8_t* o) {
        ++g_calls;
        const uint32_t result = g_plugin->Passthrough2(i, c, monitor::kUnknownSize, r, s, o);
        g_allocs += result && monitor::CommandHasReply(ReadU32(c)) && *r;
        return result;
    }
    static uint32_t TARNVEX_API FreeBuffer(void* b, uint32_t) {
        Free(static_cast<uint8_t*>(b));
        return 1;
    }
    static uint32_t TARNVEX_API Init() { return g_plugin->InitNodes(); }
    static uint32_t TARNVEX_API Term() { return g_plugin->TermNodes(); }
    static uint8_t* TARNVEX_API List(const uint8_t* p) {
        return Counted(g_plugin->GetNodeList(p, ReadU32(p)));
    }
    static uint8_t* TARNVEX_API Attributes(uint32_t h) {
        return Counted(g_plugin->GetNodeAttributes(h));
    }
    static uint32_t TARNVEX_API Connect(const uint8_t* p, uint32_t* h, uint8_t* f) {
        return g_plugin->NodeConnect(p, ReadU32(p), h, f);
    }
    static uint32_t TARNVEX_API Disconnect(uint32_t) { return 1; }
    static uint32_t TARNVEX_API NodePulse(uint32_t, uint32_t) { return 15000; }
    static uint8_t* TARNVEX_API Value(uint32_t h) { return Counted(g_plugin->NodeGetValue(h)); }
};

NodeFunctions Nodes() {
    using E = Exports;
    return {&E::Init,    &E::Term,       &E::List,      &E::Free,  &E::Attributes, &E::Free,
            &E::Connect, &E::Disconnect, &E::NodePulse, &E::Value, &E::Free};
}

std::string Bytes(const std::vector<uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

// The plug-in on the fake platform behind the exports; every buffer handed out is freed.
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
        return RunMonitorCommand(buffer, owner, &Exports::Passthrough2, &Exports::FreeBuffer);
    }
    monitor::ProcMonitor* Watch(uint32_t key, const char* name) {
        return plugin.CreateMonitor(monitor::MakeRecord(key, 1, 3, 0, name).data(), false,
                                    OwnerId{});
    }
    monitor::test::FakePluginPlatform platform;
    Plugin plugin{platform};
};

TEST_F(HostMonitors, BuffersInconsistentWithTheirRealSizeNeverReachThePlugin) {
    const std::string add =
        le::Bytes32(monitor::kCmdAdd) + Bytes(monitor::MakeRecord(5, 1, 3, 0, "A.EXE"));
    for (const std::string& bad :
         {add.substr(0, add.size() - 1), le::Bytes32(monitor::kCmdReplaceAll) + le::Bytes32(1),
          std::string("\0\1", 2)})
        EXPECT_EQ(Command(bad).status, 1) << bad.size();
    EXPECT_EQ(g_calls, 0);
    EXPECT_TRUE(plugin.Registry().Empty());
    EXPECT_EQ(Command(le::Bytes32(0x999)).status, 1); // no such command
}

TEST_F(HostMonitors, StatisticsReadEveryLeafAndTheAlertNodesFirstZero) {
    uint32_t interval = 42;
    EXPECT_TRUE(ReadStatistics(Nodes(), "en_US", &interval).empty());
    EXPECT_EQ(interval, 42u); // untouched without monitors
    monitor::ProcMonitor* a = Watch(0x123, "NOTEPAD.EXE");
    a->current_count = 1;
    a->execution_seconds = {90, 0};
    a->times_started = 2;
    a->times_stopped = 1;
    Watch(0x124, "CALC.EXE");
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
    MonitorStats back; // the round trip itself: the console's stats case
    EXPECT_FALSE(DecodeStats(EncodeStats(second[0]).substr(1), &back) &&
                 back.name == second[0].name);
    HostAnswer one = AnswerStatistics({"CALC.EXE"}, second, 2, 77);
    ASSERT_EQ(one.items.size(), 2u);
    EXPECT_EQ(one.items[0], le::Bytes32(2) + le::Bytes32(77) + le::Bytes32(1));
}

TEST(HostMetrics, PrometheusTextHasBaseUnitsEscapedLabelsAndOnlyValuesRead) {
    MonitorStats s;
    s.name = "MY \"APP\"\\X.EXE";
    s.values[0] = 2;
    s.values[5] = 1.5000000000000002; // 90 seconds as the node tree gives them, in minutes
    s.read[0] = s.read[5] = true;
    const std::string text = PrometheusText({s});
    for (const char* line :
         {"procmon_current_active_processes{executable=\"MY \\\"APP\\\"\\\\X.EXE\"} 2\n",
          "procmon_execution_seconds_today{executable=\"MY \\\"APP\\\"\\\\X.EXE\"} 90\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    // Values not read have no sample (the families' HELP and TYPE lines are checked by the
    // Prometheus parser and promtool on the hostile names' file below).
    EXPECT_EQ(text.find("procmon_times_started_total{"), std::string::npos);
}

// Alert lines and metrics for names holding quotes, backslashes, line breaks and bytes that are
// not UTF-8. With PM_HOST_TEXTS_DIR set (the native build's ctest) they are written there, with
// the names in hex, for Python's json, the Prometheus client's parser and `promtool check
// metrics` (check_host_texts.py).
TEST(HostMetrics, HostileNamesGiveOneValidLineEach) {
    const std::string names[] = {"QUOTE\"D.EXE",
                                 "BACK\\SLASH.EXE",
                                 "LINE\nBREAK.EXE",
                                 "CR\rTAB\t.EXE",
                                 "\xFF\xFE"
                                 "BAD.EXE",
                                 "CUT\xE2\x82",
                                 "\xC0\xAF"
                                 "OVERLONG.EXE",
                                 "\xED\xA0\x80SURROGATE.EXE",
                                 "\xF4\x90\x80\x80"
                                 "ABOVE.EXE",
                                 "CAF\xC3\x89.EXE",
                                 "\xF0\x9F\x98\x80.EXE"};
    std::string alerts, hex;
    std::vector<MonitorStats> stats;
    uint32_t seq = 0;
    for (const std::string& name : names) {
        HostAlert a;
        a.seq = ++seq;
        a.alert_class = 0x405;
        a.key = "process.started";
        a.process = name;
        a.display = {"Process Monitors", name};
        a.symbolic = {"TARNVEX", name};
        const std::string line = AlertJson(a);
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        alerts += line + "\n";
        MonitorStats s;
        s.name = name;
        s.read.fill(true);
        stats.push_back(s);
        for (unsigned char c : name) {
            char h[3];
            std::snprintf(h, sizeof h, "%02x", c);
            hex += h;
        }
        hex += "\n";
    }
    const std::string metrics = PrometheusText(stats);
    EXPECT_EQ(ValidUtf8(alerts), alerts);
    EXPECT_EQ(ValidUtf8(metrics), metrics);
    const char* dir = std::getenv("PM_HOST_TEXTS_DIR");
    if (!dir) return;
    for (const auto& [file, text] : {std::pair<std::string, std::string>{"alerts.jsonl", alerts},
                                     {"metrics.prom", metrics},
                                     {"names.hex", hex}}) {
        std::ofstream f(std::string(dir) + "/" + file, std::ios::binary | std::ios::trunc);
        f << text;
        EXPECT_TRUE(f.good()) << dir << "/" << file;
    }
}

} // namespace
} // namespace pm::host::test

namespace pm::console {
namespace {

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
        host::HostAnswer a{1, {}};
        std::string unwrapped;
        std::array<uint8_t, 8> owner{};
        if (r.code == 0x73124536 && r.to == "ProcMgr" && r.params.size() == 1 &&
            monitor::UnwrapForwarded(monitor::WrapForwarded(r.params[0]), &unwrapped)) {
            a = Run(unwrapped, owner);
        } else if (r.code == host::kCmdMonitorCommand && r.params.size() == 2) {
            std::copy(r.params[0].begin(), r.params[0].end(), owner.begin());
            a = Run(r.params[1], owner);
        } else if (r.code == host::kCmdStatistics) {
            a = host::AnswerStatistics(r.params, stats, 1, 100);
        }
        return {Reply::Outcome::kReply, static_cast<uint32_t>(a.status), a.items};
    }
    static host::HostAnswer Run(const std::string& command, const std::array<uint8_t, 8>& owner) {
        return host::RunMonitorCommand(command, owner, &host::test::Exports::Passthrough2,
                                       &host::test::Exports::FreeBuffer);
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
class MonitorsConsole : public host::test::HostMonitors {
protected:
    void TearDown() override {
        std::remove(path.c_str());
        HostMonitors::TearDown();
    }
    int Run(std::vector<std::string> args) {
        io.out.clear();
        io.err.clear();
        return RunConsole(args, io);
    }
    // Runs a command line that must end with `code` and answers its output.
    std::string Out(std::vector<std::string> args, int code = 0) {
        EXPECT_EQ(Run(args), code) << ::testing::PrintToString(args) << io.err;
        return io.out;
    }
    void Write(const char* text) { std::ofstream(path) << text; }
    const std::string path = ::testing::TempDir() + "monitors_console.txt";
    PluginIo io;
};

TEST_F(MonitorsConsole, AddListReplaceDeleteThroughTheAgent) {
    EXPECT_EQ(Out({"monitors", "add", "C:\\Tools\\notepad.exe", "--on", "start,stop,not-started",
                   "--start-timeout", "60", "--level", "3"}),
              "added NOTEPAD.EXE with key 1\n");
    EXPECT_EQ(io.sent.back().code, 0x73124536u);
    const auto& file = platform.files["C:\\Data\\velstra.ini"];
    EXPECT_EQ(Out({"monitors", "add", "notepad.exe"}),
              "NOTEPAD.EXE is already monitored with key 1\n");
    EXPECT_EQ(plugin.Registry().Size(), 1u);
    Out({"monitors", "add", "calc.exe", "--quiet", "--on", "-"});
    EXPECT_EQ(Out({"monitors", "list"}), "# key level on timeout name\n"
                                         "1 3 start,stop,not-started 60 NOTEPAD.EXE\n"
                                         "2 1 quiet 0 CALC.EXE\n");
    EXPECT_NE(Out({"monitors", "list", "--json"}).find("{\"key\":2,\"level\":1,\"on\":[\"quiet\"]"),
              std::string::npos);
    EXPECT_EQ(Out({"monitors", "replace", "2", "ping.exe", "--on", "stop"}),
              "replaced PING.EXE with key 2\n");
    Out({"monitors", "replace", "9", "x.exe"}, 1);
    Out({"monitors", "delete", "nope.exe"}, 1);
    Out({"monitors", "delete", "ping.exe"});
    Out({"monitors", "delete", "notepad.exe"});
    EXPECT_EQ(file, (std::vector<uint8_t>{0x22, 0x45, 0x32, 0x11}));
    EXPECT_EQ(Out({"monitors", "pids", "--json"}), "[]\n");
}

TEST_F(MonitorsConsole, OwnerGoesToTheHostAndFilesRoundTrip) {
    const std::string owner = "0102030405060708";
    Write("# two monitors\n\n17 2 start,stop 0 notepad.exe\n0x20 0 - 30 My App.exe\n");
    Out({"monitors", "replace-all", path, "--owner", owner});
    EXPECT_EQ(io.sent.back().code, host::kCmdMonitorCommand);
    EXPECT_EQ(io.sent.back().params[0], std::string("\1\2\3\4\5\6\7\x08", 8));
    Out({"monitors", "add", "calc.exe"}); // no owner
    EXPECT_EQ(Out({"monitors", "list", "--owner", owner}), "# key level on timeout name\n"
                                                           "17 2 start,stop 0 NOTEPAD.EXE\n"
                                                           "32 0 - 30 MY APP.EXE\n");
    // Replacing that owner's set leaves the others.
    Write("5 1 stop 0 ping.exe\n");
    Out({"monitors", "replace-all", path, "--owner", owner});
    EXPECT_EQ(plugin.Registry().Size(), 2u);
    Out({"monitors", "update", path});
    EXPECT_EQ(plugin.Registry().Size(), 2u); // key 5 replaced in place
    Write("5 1 stop zero ping.exe\n");
    Out({"monitors", "update", path}, 2);
    EXPECT_NE(io.err.find("line 1"), std::string::npos);
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
        Out(args, 2);
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
    for (const char* line :
         {"  Current Active Processes         1\n", "Total execution time             1.500 min\n",
          "alert nodes: started 2, stopped 1, failed to start 0"})
        EXPECT_NE(io.out.find(line), std::string::npos) << line;
    ASSERT_EQ(Run({"stats", "ping.exe", "--json"}), 0);
    EXPECT_NE(io.out.find("\"execution_minutes_today\":1.5"), std::string::npos);
    EXPECT_EQ(io.sent.back().params, std::vector<std::string>{"PING.EXE"});
    EXPECT_EQ(Run({"stats", "other.exe"}), 1);
}

TEST(MonitorFile, LinesRoundTrip) {
    MonitorDef d, again;
    std::string e;
    ASSERT_TRUE(ParseMonitorLine("  7 255 start,not-started,quiet 65535 A B.EXE ", &d, &e));
    EXPECT_EQ(d.key, 7u);
    EXPECT_EQ(d.level, 255);
    EXPECT_EQ(d.conditions,
              monitor::kCondRunning | monitor::kCondNotStarted | monitor::kCondNewServer);
    EXPECT_EQ(d.start_timeout, 65535);
    EXPECT_EQ(d.name, "A B.EXE");
    ASSERT_TRUE(ParseMonitorLine(MonitorLine(d), &again, &e));
    EXPECT_EQ(MonitorLine(again), MonitorLine(d));
    EXPECT_FALSE(ParseMonitorLine("7 1 start 65536 A.EXE", &d, &e));
    EXPECT_FALSE(ParseMonitorLine("7 1 start 0", &d, &e));
}

TEST(MonitorFile, RecordListDecodingRefusesWhatDoesNotHoldTogether) {
    std::vector<MonitorDef> defs;
    auto keep = [](const std::string& s) { return s; };
    EXPECT_TRUE(DecodeRecordList(std::string(4, '\0'), keep, &defs));
    const std::string one =
        std::string("\1\0\0\0", 4) + host::test::Bytes(monitor::MakeRecord(3, 1, 2, 0, "A.EXE"));
    ASSERT_TRUE(DecodeRecordList(one, keep, &defs));
    EXPECT_EQ(defs[0].name, "A.EXE");
    std::string two = one;
    two[0] = 2;
    for (const std::string& bad : {one.substr(0, one.size() - 1), one + "x", two})
        EXPECT_FALSE(DecodeRecordList(bad, keep, &defs)) << bad.size();
}

} // namespace
} // namespace pm::console
