// `pmconsole monitors` and `stats`, answered by the host's logic over the plug-in's own core
// (reached through quorlent's forwarding wrapper or straight with an owner).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "outside/pmconsole/monitors_command.h"
#include "outside/pmhost/host_logic.h"
#include "plugin_exports.h"
#include "shared/monitor/forwarded_command.h"

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
    const std::string path = ::testing::TempDir() + "monitors_console_test.txt";
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
