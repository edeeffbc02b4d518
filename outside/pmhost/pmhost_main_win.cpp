// pmhost: the monitor host stand-in. Loads TARNVEX.DLL as any host would (LoadLibrary and
// GetProcAddress), registers the node "KAVMonitorClientNC", pulses the plug-in at the interval
// it asks for, fetches every alert a pulse reports with MonitorAlert, logs each as one JSON line
// and keeps the last 1,000 for the console. Stops at the messaging library's quit request.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "shared/monitor/host_alerts.h"
#include "shared/monitor/host_monitors.h"
#include "shared/monitor/host_requests.h"
#include "shared/monitor/definitions_file.h"
#include "shared/monitor/monitor_name.h"
#include "shared/monitor/tarnvex_abi.h"
#include "shared/node/service_node.h"
#include "shared/base/win_handles.h"
#include "shared/cmdline/cmd_line.h"
#include "shared/text/text_string.h"

namespace pm::host {
namespace {

constexpr const char* kAlertLogName = "pmhost-alerts.jsonl";

const char kUsage[] =
    "usage: pmhost [--pulse-ms N] [--stats-ms N] [--metrics-file PATH] [--dll PATH] [--help]\n"
    "The monitor host: loads the plug-in, registers the node \"KAVMonitorClientNC\", pulses the\n"
    "plug-in and fetches its alerts. Stop it with `kavipcctl quit KAVMonitorClientNC`.\n"
    "  --pulse-ms N   pulse every N ms instead of the interval the plug-in returns\n"
    "  --stats-ms N   read the statistics every N ms instead of the interval NodePulse returns\n"
    "  --metrics-file PATH\n"
    "                 after each statistics read, replace PATH with every monitor's statistics in\n"
    "                 the Prometheus text exposition format (for a textfile collector)\n"
    "  --dll PATH     the plug-in to load (default TARNVEX.DLL beside pmhost.exe)\n"
    "Settings: \"Data\" (the definitions directory handed to the plug-in) and \"LogDir\" (where\n"
    "pmhost-alerts.jsonl is appended) under HKLM\\SOFTWARE\\Orvane\\Kestrane\\CurrentVersion.\n"
    "Exit codes: 0 stopped normally, 1 the plug-in or the node could not be set up, 2 usage.\n";

struct PluginFunctions {
    InitIndepMonitorsFn init = nullptr;
    TermIndepMonitorsFn term = nullptr;
    GetIndepMonitorAttributesFn attributes = nullptr;
    IndepMonitorPulseFn pulse = nullptr;
    MonitorAlertFn monitor_alert = nullptr;
    IndepPassthrough2Fn passthrough = nullptr;
    IndepFreeBufferFn free_buffer = nullptr;
    NodeFunctions nodes;
};

struct StatsOptions {
    uint32_t interval_ms = 0; // 0: as NodePulse answers
    std::string metrics_file;
};

// Writes the whole file beside the target and moves it over the target, so a reader sees the
// old file or the new one, never a part.
bool ReplaceFileAtomically(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    {
        win::unique_hfile file(CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        DWORD written = 0;
        if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) ||
            written != text.size() || !FlushFileBuffers(file.get())) {
            file.reset();
            DeleteFileA(temp.c_str());
            return false;
        }
    }
    if (!MoveFileExA(temp.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(temp.c_str());
        return false;
    }
    return true;
}

template <typename Fn> bool Bind(HMODULE module, const char* name, Fn* out) {
    *out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!*out) std::fprintf(stderr, "pmhost: the plug-in does not export %s\n", name);
    return *out != nullptr;
}

std::string CompressedToUtf8(const std::string& compressed) {
    TextString s(compressed.c_str());
    if (!s.CompressedToUtf8()) return compressed;
    return s.CStr();
}

std::string AnsiToUtf8(const char* ansi) {
    TextString s(ansi ? ansi : "");
    if (!s.ToCompressedUnicode() || !s.CompressedToUtf8()) return ansi ? ansi : "";
    return s.CStr();
}

std::vector<std::string> PathElements(const uint8_t* packet) {
    std::vector<std::string> out;
    if (!packet) return out;
    const size_t size = monitor::ReadU32(packet);
    std::vector<std::string> raw;
    if (!ReadNodePath(packet, size, &raw)) return out;
    for (const std::string& e : raw)
        out.push_back(CompressedToUtf8(e));
    return out;
}

class HostNode final : public ServiceNode {
public:
    HostNode(MessagingLibrary& library, const PluginFunctions& fns, std::string log_path,
             std::string definitions, uint32_t interval_ms, bool fixed_interval,
             StatsOptions stats_options)
        : ServiceNode(kHostNodeName, 0, library, SystemNodePlatform(), Registration::kLater),
          fns_(fns), log_path_(std::move(log_path)), definitions_(std::move(definitions)),
          fixed_interval_(fixed_interval), last_pulse_(GetTickCount()),
          stats_options_(std::move(stats_options)) {
        stats_.interval_ms = interval_ms;
        // Only now is every member there that a request or the pulse uses.
        Register();
    }
    // Before any member goes: once Unregister returns, no callback runs any more.
    ~HostNode() override { Unregister(); }

    int CommandReceived(Command& command) override {
        std::vector<std::string> params;
        for (size_t i = 0; i < command.GetParamCount(); ++i)
            params.emplace_back(reinterpret_cast<const char*>(command.GetParam(i)),
                                command.GetParamSize(i));
        HostAnswer answer;
        if (command.cmd_code == kCmdForwardedMonitor) {
            // Forwarded commands carry no owner: the host passes an all-zero one.
            std::string buffer;
            if (UnwrapForwarded(params, &buffer))
                answer = RunMonitorCommand(buffer, {}, fns_.passthrough, fns_.free_buffer);
            else
                answer.status = 1;
            stats_due_ = true;
        } else if (command.cmd_code == kCmdMonitorCommand) {
            std::array<uint8_t, 8> owner{};
            if (params.size() == 2 && params[0].size() == owner.size()) {
                std::memcpy(owner.data(), params[0].data(), owner.size());
                answer = RunMonitorCommand(params[1], owner, fns_.passthrough, fns_.free_buffer);
            } else {
                answer.status = 1;
            }
            stats_due_ = true;
        } else if (command.cmd_code == kCmdStatistics) {
            answer = AnswerStatistics(params, statistics_, reads_, last_read_time_);
        } else {
            answer = AnswerHostRequest(command.cmd_code, params, ring_, stats_);
        }
        command.status = answer.status;
        for (const std::string& item : answer.items)
            command.AddResult(item.data(), static_cast<uint32_t>(item.size()));
        return 1;
    }

    int Pulse() override {
        const DWORD now = GetTickCount();
        const uint32_t elapsed = now - last_pulse_;
        last_pulse_ = now;
        uint32_t count = 0;
        const uint32_t next = fns_.pulse(0, elapsed, &count);
        ++stats_.pulses;
        for (uint32_t i = 0; i < count; ++i)
            if (!FetchOne()) break;
        const uint32_t every =
            stats_options_.interval_ms ? stats_options_.interval_ms : node_interval_;
        if (stats_due_ || now - last_read_ >= every) ReadStatisticsNow(now);
        if (!fixed_interval_ && next != 0 && next != 0xFFFFFFFFu && next != stats_.interval_ms) {
            stats_.interval_ms = next;
            SetPulseInterval(static_cast<int>(next));
        }
        return 1;
    }

private:
    // One statistics read through the node tree, then the metrics file.
    void ReadStatisticsNow(DWORD now) {
        stats_due_ = false;
        last_read_ = now;
        statistics_ = ReadStatistics(fns_.nodes, "en_US", &node_interval_);
        ++reads_;
        last_read_time_ = static_cast<uint32_t>(std::time(nullptr));
        if (!stats_options_.metrics_file.empty() &&
            !ReplaceFileAtomically(stats_options_.metrics_file, PrometheusText(statistics_)))
            std::fprintf(stderr, "pmhost: could not replace the metrics file %s (error %lu)\n",
                         stats_options_.metrics_file.c_str(), GetLastError());
    }

    bool FetchOne() {
        uint8_t owner[8] = {};
        uint16_t alert_class = 0;
        uint32_t time = 0;
        char bundle[256] = {};
        char key[256] = {};
        const uint8_t* display = nullptr;
        const uint8_t* symbolic = nullptr;
        const char* name = nullptr;
        if (!fns_.monitor_alert(0, owner, &alert_class, &time, bundle, key, &display, &symbolic,
                                &name))
            return false;
        HostAlert a;
        a.time = time;
        a.alert_class = alert_class;
        std::memcpy(a.owner.data(), owner, 8);
        a.key = CompressedToUtf8(key);
        a.process = AnsiToUtf8(name);
        a.display = PathElements(display);
        a.symbolic = PathElements(symbolic);
        a.level = LevelOf(name ? name : "");
        const HostAlert& kept = ring_.Add(std::move(a));
        const std::string line = AlertJson(kept) + "\n";
        if (FILE* f = std::fopen(log_path_.c_str(), "ab")) {
            std::fwrite(line.data(), 1, line.size(), f);
            std::fclose(f);
        }
        std::fputs(("pmhost: alert " + line).c_str(), stdout);
        std::fflush(stdout);
        return true;
    }

    // MonitorAlert carries no level: take it from the monitor's record in the definitions
    // file, which the plug-in rewrites after every change (0 when no record names it).
    uint16_t LevelOf(const std::string& name) {
        win::unique_hfile file(CreateFileA(definitions_.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file) return 0;
        std::vector<uint8_t> bytes(1 << 20);
        DWORD got = 0;
        if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr))
            return 0;
        monitor::ParsedDefinitions parsed = monitor::ParseDefinitions(bytes.data(), got);
        for (const monitor::DefinitionEntry& e : parsed.entries) {
            const char* stored = reinterpret_cast<const char*>(
                &e.record[monitor::ReadU16(&e.record[monitor::kNameOffsetAt])]);
            if (monitor::StoredName(monitor::BareName(stored)) == name)
                return e.record[monitor::kAlertLevelAt];
        }
        return 0;
    }

    PluginFunctions fns_;
    std::string log_path_;
    std::string definitions_;
    bool fixed_interval_;
    DWORD last_pulse_;
    AlertRing ring_;
    HostStats stats_;
    StatsOptions stats_options_;
    uint32_t node_interval_ = 15000;
    DWORD last_read_ = 0;
    bool stats_due_ = true;
    std::vector<MonitorStats> statistics_;
    uint32_t reads_ = 0;
    uint32_t last_read_time_ = 0;
};

std::string ProgramDirectory() {
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

int Run(const std::vector<std::string>& args) {
    uint32_t pulse_ms = 0;
    std::string dll = ProgramDirectory() + "TARNVEX.DLL";
    StatsOptions stats_options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h" || a == "/?") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if ((a == "--pulse-ms" || a == "--stats-ms" || a == "--dll" || a == "--metrics-file") &&
            i + 1 < args.size()) {
            const std::string& v = args[++i];
            if (a == "--dll") {
                dll = v;
                continue;
            }
            if (a == "--metrics-file") {
                if (v.empty()) {
                    std::fprintf(stderr, "pmhost: --metrics-file needs a path\n%s", kUsage);
                    return 2;
                }
                stats_options.metrics_file = v;
                continue;
            }
            char* end = nullptr;
            unsigned long n = std::strtoul(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n == 0 || n > 0x7FFFFFFF) {
                std::fprintf(stderr, "pmhost: %s needs a number of milliseconds\n%s", a.c_str(),
                             kUsage);
                return 2;
            }
            if (a == "--stats-ms")
                stats_options.interval_ms = static_cast<uint32_t>(n);
            else
                pulse_ms = static_cast<uint32_t>(n);
            continue;
        }
        std::fprintf(stderr, "pmhost: unexpected argument: %s\n%s", a.c_str(), kUsage);
        return 2;
    }

    CmdLine cmd_line(1);
    const std::string data = cmd_line.DataDirectory() ? cmd_line.DataDirectory() : "";
    const std::string log_dir = cmd_line.LogDirectory() ? cmd_line.LogDirectory() : "";

    win::unique_hmodule plugin(LoadLibraryA(dll.c_str()));
    if (!plugin) {
        std::fprintf(stderr, "pmhost: cannot load the plug-in %s (error %lu)\n", dll.c_str(),
                     GetLastError());
        return 1;
    }
    PluginFunctions fns;
    if (!Bind(plugin.get(), "InitIndepMonitors", &fns.init) ||
        !Bind(plugin.get(), "TermIndepMonitors", &fns.term) ||
        !Bind(plugin.get(), "GetIndepMonitorAttributes", &fns.attributes) ||
        !Bind(plugin.get(), "IndepMonitorPulse", &fns.pulse) ||
        !Bind(plugin.get(), "MonitorAlert", &fns.monitor_alert) ||
        !Bind(plugin.get(), "IndepPassthrough2", &fns.passthrough) ||
        !Bind(plugin.get(), "IndepFreeBuffer", &fns.free_buffer) ||
        !Bind(plugin.get(), "InitNodes", &fns.nodes.init) ||
        !Bind(plugin.get(), "TermNodes", &fns.nodes.term) ||
        !Bind(plugin.get(), "GetNodeList", &fns.nodes.list) ||
        !Bind(plugin.get(), "FreeNodeList", &fns.nodes.free_list) ||
        !Bind(plugin.get(), "GetNodeAttributes", &fns.nodes.attributes) ||
        !Bind(plugin.get(), "FreeNodeAttributes", &fns.nodes.free_attributes) ||
        !Bind(plugin.get(), "NodeConnect", &fns.nodes.connect) ||
        !Bind(plugin.get(), "NodeDisconnect", &fns.nodes.disconnect) ||
        !Bind(plugin.get(), "NodePulse", &fns.nodes.pulse) ||
        !Bind(plugin.get(), "NodeGetValue", &fns.nodes.value) ||
        !Bind(plugin.get(), "NodeFreeValue", &fns.nodes.free_value))
        return 1;

    MessagingLibrary& library = ProcessMessagingLibrary();
    if (!library.Bind()) {
        std::fprintf(stderr,
                     "pmhost: the messaging library KAVIPC32.DLL is missing or incomplete\n");
        return 1;
    }
    if (library.Functions().SvcNodeExists(kHostNodeName)) {
        std::fprintf(stderr, "pmhost: the node %s is already registered\n", kHostNodeName);
        return 1;
    }

    fns.init(data.c_str(), 0);
    fns.nodes.init();
    const uint8_t* attributes = fns.attributes(0);
    uint32_t interval = 15000;
    std::string type_name;
    if (attributes) {
        interval = monitor::ReadU32(attributes + 16);
        type_name.assign(reinterpret_cast<const char*>(attributes + 20),
                         strnlen(reinterpret_cast<const char*>(attributes + 20), 64));
    }
    const bool fixed = pulse_ms != 0;
    const uint32_t period = fixed ? pulse_ms : interval;
    int code = 0;
    {
        HostNode node(library, fns, log_dir + kAlertLogName, data + monitor::kDefinitionsFileName,
                      period, fixed, stats_options);
        if (!node.IsRegistered()) {
            std::fprintf(stderr, "pmhost: could not register the node %s\n", kHostNodeName);
            code = 1;
        } else {
            node.SetPulseInterval(static_cast<int>(period));
            std::printf("pmhost: node %s is up; monitor type \"%s\"; definitions %s%s; pulse "
                        "every %u ms\n",
                        kHostNodeName, type_name.c_str(), data.c_str(),
                        monitor::kDefinitionsFileName, period);
            std::fflush(stdout);
            node.Run();
            node.Unregister();
        }
    }
    fns.nodes.term();
    fns.term();
    std::printf("pmhost: stopped\n");
    return code;
}

} // namespace
} // namespace pm::host

int main(int argc, char** argv) {
    return pm::host::Run(std::vector<std::string>(argv + 1, argv + argc));
}
