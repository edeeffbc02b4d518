// The host's side of the monitor commands and statistics, run against the plug-in's own core
// through export-shaped trampolines that count every buffer handed out and freed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "outside/pmhost/host_logic.h"
#include "plugin_exports.h"
#include "shared/base/endian.h"
#include "shared/monitor/host_text.h"

namespace pm::host::test {
namespace {

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
