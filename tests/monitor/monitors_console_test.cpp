// `pmconsole monitors` and `stats` against the plug-in's core, reached the way the messages go:
// through quorlent's forwarding wrapper (code 0x73124536) or straight to the host with an owner.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "fake_plugin_platform.h"
#include "outside/pmconsole/monitors_command.h"
#include "outside/pmhost/host_monitors.h"

namespace pm::console {
namespace {

using monitor::Plugin;

Plugin* g_plugin = nullptr;
uint32_t TARNVEX_API Passthrough2(uint32_t i, const uint8_t* c, uint8_t** r, uint32_t* s,
                                  const uint8_t* o) {
    return g_plugin->Passthrough2(i, c, monitor::kUnknownSize, r, s, o);
}
uint32_t TARNVEX_API FreeBuffer(void* b, uint32_t) {
    Plugin::FreeBuffer(b);
    return 1;
}

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
                a = host::RunMonitorCommand(unwrapped, {}, &Passthrough2, &FreeBuffer);
        } else if (r.code == host::kCmdMonitorCommand && r.params.size() == 2) {
            std::array<uint8_t, 8> owner{};
            std::copy(r.params[0].begin(), r.params[0].end(), owner.begin());
            a = host::RunMonitorCommand(r.params[1], owner, &Passthrough2, &FreeBuffer);
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

class MonitorsConsole : public ::testing::Test {
protected:
    void SetUp() override {
        g_plugin = &plugin;
        plugin.InitIndepMonitors("C:\\Data\\");
    }
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
