// The plug-in end to end under Wine: pmhost loads the real TARNVEX.DLL and brings the alerts
// and statistics of its monitors to `pmconsole`; and a process killed while saving the
// definitions leaves a file that loads. Data and log directories come from the
// installation key, set here and removed after.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "shared/ipc/kavipc32_abi.h"
#include "shared/monitor/definitions_file.h"
#include "shared/monitor/file_replace.h"
#include "procman/com/plugin.h"
#include "procman/com/plugin_platform_win.h"
#include "shared/monitor/tarnvex_abi.h"
#include "shared/base/win_handles.h"
#include "tests/e2e_support_win.h"

namespace pm::monitor {
namespace {

using namespace pm::test;

constexpr const char* kSaveChildVariable = "PM_SAVE_CHILD_DIR";

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The files in `dir` whose names match `pattern` (FindFirstFile wildcards).
std::vector<std::string> FilesLike(const std::string& dir, const char* pattern) {
    std::vector<std::string> out;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((dir + pattern).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) out.push_back(found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return out;
}

// A fresh, empty directory under the program's folder, with its trailing backslash.
std::string FreshDir(const char* name) {
    std::string dir = ProgramDir() + name + "\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    for (const std::string& f : FilesLike(dir, "*"))
        DeleteFileA((dir + f).c_str());
    return dir;
}

// The alert lines of a file, each without its line end.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The installation key's "Data" and "LogDir" for one test.
struct InstallKey {
    InstallKey(const std::string& data, const std::string& log)
        : data_(kInstallKey, "Data", data + '\0'), log_(kInstallKey, "LogDir", log + '\0') {}
    ScopedValue data_, log_;
};

std::string Console(const std::string& args, DWORD* code) {
    Ran r = RunProgram(ProgramDir() + "pmconsole.exe", args);
    *code = r.code;
    return WithoutCr(r.out);
}

// Asks `done` up to `tries` times, `ms` apart; answers whether it came true.
bool Poll(int tries, DWORD ms, const std::function<bool()>& done) {
    for (int i = 0; i < tries; ++i, Sleep(ms))
        if (done()) return true;
    return false;
}

// Through quorlent and pmhost, with a monitor of the definitions file whose process never
// comes: a monitor added from the console lands in "velstra.ini", tracks a ping started
// afterwards, brings "process.started" and "process.stopped" to `pmconsole alerts` (the other
// one "process.failed" once, each at its file's level), reads as expected through `pmconsole
// stats`, and its metrics file (checked by a Prometheus text parser in the test after this one)
// holds the same numbers; deleting the monitors empties the list and the file.
TEST(PmhostEndToEnd, MonitorsFromTheFileAndTheConsoleBringAlertsAndStatistics) {
    const std::string dir = FreshDir("monitors_e2e");
    DefinitionEntry never{MakeRecord(2, 5, kCondNotStarted, 2, "NEVERRUNS.EXE"),
                          OwnerId{1, 2, 3, 4, 5, 6, 7, 8}};
    WriteBytes(dir + "velstra.ini", SerializeDefinitions({&never}));
    WriteBytes(dir + "pmhost.dbg", {});
    InstallKey key(dir, dir);
    if (NodeExists("ProcMgr") || NodeExists("KAVMonitorClientNC"))
        GTEST_SKIP() << "an agent or a monitor host is running already";
    DWORD code = 0;
    std::string out = Console("alerts", &code);
    EXPECT_EQ(code, 3u) << out;
    EXPECT_NE(out.find("not running"), std::string::npos) << out;

    constexpr size_t kLogLimit = 600; // about one alert line and a half
    Child host = Start(ProgramDir() + "pmhost.exe",
                       "--pulse-ms 300 --stats-ms 300 --metrics-file \"" + dir +
                           "metrics.prom\" --log-max-bytes " + std::to_string(kLogLimit));
    Child agent = Start(ProgramDir() + "quorlent.exe", "");
    ASSERT_TRUE(host.process && agent.process);
    ASSERT_TRUE(WaitForNode("KAVMonitorClientNC", true, 30000));
    ASSERT_TRUE(WaitForNode("ProcMgr", true, 30000));

    out = Console("monitors add ping.exe --on start,stop --level 2 --key 0x123", &code);
    EXPECT_EQ(code, 0u) << out;
    EXPECT_EQ(out, "added PING.EXE with key 291\n");
    DefinitionEntry ping{MakeRecord(0x123, 2, kCondRunning | kCondTermination, 0, "PING.EXE"),
                         OwnerId{}};
    const std::vector<uint8_t> file = SerializeDefinitions({&never, &ping});
    EXPECT_EQ(ReadText(dir + "velstra.ini"), std::string(file.begin(), file.end()));
    out = Console("monitors list", &code);
    EXPECT_EQ(code, 0u);
    EXPECT_NE(out.find("\n291 2 start,stop 0 PING.EXE\n"), std::string::npos) << out;

    StartOptions capture;
    capture.capture = true;
    Child pinging = Start("ping.exe", "-n 5 127.0.0.1", capture);
    ASSERT_TRUE(pinging.process);
    const std::string pid = std::to_string(pinging.pid);
    EXPECT_TRUE(Poll(20, 200, [&] { return Console("monitors pids", &code) == pid + "\n"; }))
        << "ping " << pid << " was not tracked";
    ReadAll(pinging);
    Finish(pinging, 30000);

    // Once the end has been seen and both alert nodes read twice.
    std::string stats;
    Poll(40, 250, [&] {
        stats = Console("stats ping.exe --json", &code);
        return stats.find("\"alert_node_stopped\":1") != std::string::npos;
    });
    EXPECT_EQ(code, 0u) << stats;
    for (const char* want : {"\"name\":\"PING.EXE\"", "\"current_active_processes\":0",
                             "\"new_executions_today\":1", "\"times_started_total\":1",
                             "\"times_stopped_total\":1", "\"times_failed_to_start_total\":0",
                             "\"alert_node_started\":1", "\"alert_node_stopped\":1"})
        EXPECT_NE(stats.find(want), std::string::npos) << want << " in " << stats;
    Sleep(700); // one more read: the metrics file and the statistics agree
    const std::string metrics = ReadText(dir + "metrics.prom");
    stats = Console("stats --json", &code);
    WriteBytes(dir + "stats.json", std::vector<uint8_t>(stats.begin(), stats.end()));
    WriteBytes(dir + "metrics_seen.prom", std::vector<uint8_t>(metrics.begin(), metrics.end()));
    EXPECT_NE(metrics.find("procmon_times_stopped_total{executable=\"PING.EXE\"} 1\n"),
              std::string::npos)
        << metrics;

    const std::string stopped_key = "\"key\": \"process.stopped\", \"process\": \"PING.EXE\"";
    std::string alerts;
    EXPECT_TRUE(Poll(20, 250, [&] {
        alerts = Console("alerts --json", &code);
        return alerts.find(stopped_key) != std::string::npos;
    })) << alerts;
    EXPECT_EQ(code, 0u) << alerts;
    const size_t started = alerts.find("\"key\": \"process.started\", \"process\": \"PING.EXE\"");
    EXPECT_NE(started, std::string::npos) << alerts;
    EXPECT_LT(started, alerts.find(stopped_key)) << alerts;
    EXPECT_EQ(Count(alerts, "\"key\": \"process.failed\", \"process\": \"NEVERRUNS.EXE\""), 1u)
        << alerts;
    EXPECT_NE(alerts.find("\"owner\": \"0102030405060708\""), std::string::npos) << alerts;
    // The level comes from each monitor's record in the definitions file.
    EXPECT_NE(alerts.find("\"level\": 5, \"class\": 261, \"kind\": \"failed to start\""),
              std::string::npos)
        << alerts;
    EXPECT_NE(alerts.find("\"level\": 2, \"class\": 1029, \"kind\": \"started\""),
              std::string::npos)
        << alerts;

    for (const char* name : {"ping.exe", "neverruns.exe"}) {
        const std::string said = Console(std::string("monitors delete ") + name, &code);
        EXPECT_EQ(code, 0u) << said;
    }
    EXPECT_EQ(Console("monitors list --json", &code), "[]\n");
    EXPECT_EQ(ReadText(dir + "velstra.ini"), std::string("\x22\x45\x32\x11", 4));
    // The next read leaves the metrics file without samples.
    Sleep(250);
    EXPECT_TRUE(Poll(20, 250, [&] {
        return ReadText(dir + "metrics.prom").find("PING.EXE") == std::string::npos;
    })) << ReadText(dir + "metrics.prom");
    // On an empty registry DELETE answers that it is done.
    out = Console("monitors delete ping.exe", &code);
    EXPECT_EQ(code, 0u) << out;

    for (const char* node : {"KAVMonitorClientNC", "ProcMgr"})
        EXPECT_TRUE(RequestQuit(node)) << node;
    EXPECT_EQ(Finish(host, 30000), 0u);
    EXPECT_EQ(Finish(agent, 30000), 0u);
    // The alerts log and the trace start afresh at the limit, one previous file kept: the two
    // alerts files hold the newest alerts, in order, none cut.
    const std::vector<std::string> shown = Lines(alerts);
    std::vector<std::string> logged = Lines(ReadText(dir + "pmhost-alerts.jsonl.1"));
    const std::vector<std::string> newest = Lines(ReadText(dir + "pmhost-alerts.jsonl"));
    logged.insert(logged.end(), newest.begin(), newest.end());
    ASSERT_GE(shown.size(), 3u);
    ASSERT_GE(logged.size(), 2u) << "the alerts log did not start afresh";
    ASSERT_LE(logged.size(), shown.size());
    EXPECT_TRUE(std::equal(logged.rbegin(), logged.rend(), shown.rbegin()));
    for (const char* f :
         {"pmhost-alerts.jsonl", "pmhost-alerts.jsonl.1", "pmhost.log", "pmhost.log.1"}) {
        const std::string text = ReadText(dir + f);
        EXPECT_FALSE(text.empty()) << f;
        EXPECT_TRUE(text.size() <= kLogLimit || Count(text, "\n") == 1) << f << ": " << text;
    }
}

// The definitions and the metrics file are written under fresh names created new: files planted
// under the names used before (and under any fixed name) stay as they were, and no temporary
// file is left.
TEST(FileReplace, FilesPlantedUnderTemporaryNamesAreNeitherReusedNorMoved) {
    const std::string dir = FreshDir("file_replace");
    for (const char* planted : {"velstra.ini.new", "velstra.ini.tmp", "metrics.prom.tmp"})
        WriteBytes(dir + planted, {'p', 'l', 'a', 'n', 't'});
    Win32PluginPlatform platform;
    for (int round = 0; round < 2; ++round) { // the second replaces an existing file
        const std::vector<uint8_t> bytes(100 + round, static_cast<uint8_t>('a' + round));
        ASSERT_TRUE(platform.ReplaceFile(dir + "velstra.ini", bytes));
        ASSERT_TRUE(ReplaceFileWhole(dir + "metrics.prom", bytes.data(), bytes.size()));
        EXPECT_EQ(ReadText(dir + "velstra.ini"), std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(ReadText(dir + "metrics.prom"), std::string(bytes.begin(), bytes.end()));
    }
    for (const char* planted : {"velstra.ini.new", "velstra.ini.tmp", "metrics.prom.tmp"})
        EXPECT_EQ(ReadText(dir + planted), "plant") << planted;
    EXPECT_EQ(FilesLike(dir, "*").size(), 5u);
    // A directory that cannot be written leaves the old file as it was.
    EXPECT_FALSE(platform.ReplaceFile(dir + "missing\\velstra.ini", {1, 2, 3}));
}

TEST(TarnvexDll, ExportsByNameAndStringsInElevenLanguages) {
    win::unique_hmodule dll(LoadLibraryA((ProgramDir() + "TARNVEX.DLL").c_str()));
    ASSERT_TRUE(dll);
    for (const char* name : {"InitIndepMonitors",  "TermIndepMonitors", "GetIndepMonitorAttributes",
                             "IndepMonitorPulse",  "IndepGenAlert",     "IndepGenAlert2",
                             "MonitorAlert",       "IndepPassthrough2", "IndepPassthrough",
                             "IndepFreeBuffer",    "InitNodes",         "TermNodes",
                             "GetNodeList",        "FreeNodeList",      "GetNodeAttributes",
                             "FreeNodeAttributes", "NodeConnect",       "NodeDisconnect",
                             "NodePulse",          "NodeGetValue",      "NodeFreeValue"})
        EXPECT_NE(GetProcAddress(dll.get(), name), nullptr) << name;
    auto attributes = reinterpret_cast<GetIndepMonitorAttributesFn>(
        reinterpret_cast<void*>(GetProcAddress(dll.get(), "GetIndepMonitorAttributes")));
    ASSERT_NE(attributes, nullptr);
    // The record's bytes are pinned natively; here the export answers it, named from the DLL's
    // own strings.
    const uint8_t* a = attributes(0);
    ASSERT_NE(a, nullptr);
    const size_t name_length = strnlen(reinterpret_cast<const char*>(a + 20), 64);
    EXPECT_GT(name_length, 0u);
    EXPECT_LT(name_length, 64u);
    // The interval for reading values, whatever the handle.
    auto node_pulse = reinterpret_cast<NodePulseFn>(
        reinterpret_cast<void*>(GetProcAddress(dll.get(), "NodePulse")));
    ASSERT_NE(node_pulse, nullptr);
    for (uint32_t handle : {0u, 0x60000123u, 0xFFFFFFFFu})
        EXPECT_EQ(node_pulse(handle, 7), 15000u) << handle;

    // German, English (neutral, US), Spanish, French, Italian, Japanese, Korean, Portuguese,
    // Chinese (Taiwan, PRC); each with the blocks of ids 100-109, 200-202, 2008-2014, 2020.
    const WORD languages[] = {0x0007, 0x0009, 0x0409, 0x000A, 0x000C, 0x0010,
                              0x0011, 0x0012, 0x0016, 0x0404, 0x0804};
    const unsigned ids[] = {100, 101, 102,  103,  104,  105,  106,  107,  108,  109, 200,
                            201, 202, 2008, 2009, 2010, 2011, 2012, 2013, 2014, 2020};
    for (WORD lang : languages) {
        for (unsigned id : ids) {
            HRSRC block = FindResourceExA(dll.get(), reinterpret_cast<LPCSTR>(RT_STRING),
                                          MAKEINTRESOURCEA(id / 16 + 1), lang);
            ASSERT_NE(block, nullptr) << std::hex << lang << " " << std::dec << id;
            const auto* units =
                static_cast<const uint16_t*>(LockResource(LoadResource(dll.get(), block)));
            ASSERT_NE(units, nullptr);
            const DWORD size = SizeofResource(dll.get(), block) / 2;
            DWORD at = 0;
            for (unsigned i = 0; i < id % 16 && at < size; ++i)
                at += 1 + units[at];
            ASSERT_LT(at, size);
            EXPECT_GT(units[at], 0u) << std::hex << lang << " " << std::dec << id << " is empty";
        }
    }
}

constexpr size_t kSavedMonitors = 30000;

// The child: saves the same large set of definitions over and over.
int SaveForever(const std::string& dir) {
    Win32PluginPlatform platform;
    Plugin plugin(platform);
    plugin.InitIndepMonitors(dir.c_str());
    for (size_t i = 0; i < kSavedMonitors; ++i) {
        const std::string name = "PROGRAM" + std::to_string(i) + ".EXE";
        plugin.CreateMonitor(MakeRecord(static_cast<uint32_t>(i), 1, 3, 0, name).data(), false,
                             OwnerId{});
    }
    for (;;)
        plugin.SaveDefinitions();
}

TEST(PmhostEndToEnd, AKillDuringASaveLeavesAFileThatLoads) {
    const std::string dir = FreshDir("save_kill");
    const std::string env = std::string(kSaveChildVariable) + "=" + dir + '\0';
    StartOptions o;
    o.environment = env.c_str(); // and the block's closing zero
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string saved = dir + "velstra.ini";
    auto exists = [](const std::string& path) {
        return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    // A save in progress: its temporary file, under a name of its own.
    auto saving = [&] { return !FilesLike(dir, "velstra.ini.*.tmp").empty(); };
    int mid_save = 0, loaded = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        DeleteFileA(saved.c_str());
        for (const std::string& f : FilesLike(dir, "velstra.ini.*.tmp"))
            DeleteFileA((dir + f).c_str());
        Child child = Start(self, "--gtest_filter=none", o);
        ASSERT_TRUE(child.process);
        // Once a save is complete, the kill comes as soon as the next one has begun (or, every
        // other attempt, a moment later), whatever the machine's speed.
        for (int i = 0; i < 60000 && !exists(saved); ++i)
            Sleep(1);
        for (int i = 0; i < 10000 && !saving(); ++i)
            Sleep(1);
        if (attempt % 2 == 1) Sleep(static_cast<DWORD>(5 * attempt));
        TerminateProcess(child.process.get(), 9);
        WaitForSingleObject(child.process.get(), 10000);
        // The half-written next file shows that the kill came in the middle of a save.
        if (saving()) ++mid_save;
        const std::string bytes = ReadText(saved);
        if (bytes.empty()) continue; // killed before the first save finished
        ++loaded;
        ParsedDefinitions p =
            ParseDefinitions(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        EXPECT_EQ(p.stop, LoadStop::kEnd) << "attempt " << attempt;
        EXPECT_EQ(p.entries.size(), kSavedMonitors) << "attempt " << attempt;
    }
    EXPECT_GT(mid_save, 0) << "no kill came during a save";
    EXPECT_GT(loaded, 0) << "no save was complete before a kill";
}

} // namespace
} // namespace pm::monitor

int main(int argc, char** argv) {
    char dir[MAX_PATH];
    DWORD n = GetEnvironmentVariableA(pm::monitor::kSaveChildVariable, dir, MAX_PATH);
    if (n > 0 && n < MAX_PATH) return pm::monitor::SaveForever(dir);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
