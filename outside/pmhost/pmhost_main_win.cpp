// pmhost: the monitor host stand-in. Loads TARNVEX.DLL as any host would (LoadLibrary and
// GetProcAddress), registers the node "KAVMonitorClientNC", pulses the plug-in at the interval
// it asks for, fetches every alert a pulse reports with MonitorAlert, logs each as one JSON line
// and keeps the last 1,000 for the console. Stops at the messaging library's quit request.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "outside/pmhost/definition_levels.h"
#include "outside/pmhost/host_logic.h"
#include "outside/pmhost/rotating_log.h"
#include "shared/monitor/host_alerts.h"
#include "shared/monitor/host_requests.h"
#include "shared/monitor/definitions_file.h"
#include "shared/monitor/file_replace.h"
#include "shared/monitor/forwarded_command.h"
#include "shared/monitor/monitor_name.h"
#include "shared/monitor/node_packets.h"
#include "shared/monitor/tarnvex_abi.h"
#include "shared/node/service_node.h"
#include "shared/base/win_handles.h"
#include "shared/cmdline/cmd_line.h"
#include "shared/text/text_string.h"

namespace pm::host {
namespace {

constexpr const char* kAlertLogName = "pmhost-alerts.jsonl";
constexpr const char* kTraceName = "pmhost.log";
constexpr const char* kTraceMarkerName = "pmhost.dbg";

const char kUsage[] =
    "usage: pmhost [--pulse-ms N] [--stats-ms N] [--metrics-file PATH] [--dll PATH]\n"
    "              [--log-max-bytes N] [--help]\n"
    "The monitor host: loads the plug-in, registers the node \"KAVMonitorClientNC\", pulses the\n"
    "plug-in and fetches its alerts. Stop it with `kavipcctl quit KAVMonitorClientNC`.\n"
    "  --pulse-ms N   pulse every N ms instead of the interval the plug-in returns\n"
    "  --stats-ms N   read the statistics every N ms instead of the interval NodePulse returns\n"
    "  --metrics-file PATH\n"
    "                 after each statistics read, replace PATH with every monitor's statistics in\n"
    "                 the Prometheus text exposition format (for a textfile collector)\n"
    "  --dll PATH     the plug-in to load (default TARNVEX.DLL beside pmhost.exe)\n"
    "  --log-max-bytes N\n"
    "                 the size at which the alerts log and the trace start afresh, the full file\n"
    "                 kept as NAME.1 (default 10485760, 10 MiB)\n"
    "Settings: \"Data\" (the definitions directory handed to the plug-in) and \"LogDir\" (where\n"
    "pmhost-alerts.jsonl is appended, and the trace pmhost.log written when the file pmhost.dbg\n"
    "is there) under HKLM\\SOFTWARE\\Orvane\\Kestrane\\CurrentVersion.\n"
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
    uint64_t log_limit = kDefaultLogLimit;
};

// The definitions file as the alert levels read it: its stamp from the open file's own
// information, its bytes read whole.
class DefinitionsFile final : public DefinitionsSource {
public:
    explicit DefinitionsFile(std::string path) : path_(std::move(path)) {}

    bool Stamp(FileStamp* stamp) override {
        win::unique_hfile file = Open();
        BY_HANDLE_FILE_INFORMATION info{};
        if (!file || !GetFileInformationByHandle(file.get(), &info)) return false;
        stamp->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        stamp->write_time = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                            info.ftLastWriteTime.dwLowDateTime;
        stamp->identity = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        return true;
    }

    bool Read(std::vector<uint8_t>* bytes) override {
        win::unique_hfile file = Open();
        if (!file) return false;
        bytes->clear();
        uint8_t chunk[64 * 1024];
        while (bytes->size() < monitor::kMaxDefinitionsBytes) {
            DWORD got = 0;
            if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) return false;
            if (got == 0) break;
            bytes->insert(bytes->end(), chunk, chunk + got);
        }
        return true;
    }

private:
    win::unique_hfile Open() const {
        return win::unique_hfile(CreateFileA(path_.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
    }
    std::string path_;
};

// The host's trace: "seconds: text" lines in pmhost.log, only when pmhost.dbg is in the log
// directory at start.
class HostTrace {
public:
    HostTrace(const std::string& log_dir, uint64_t limit) {
        if (GetFileAttributesA((log_dir + kTraceMarkerName).c_str()) != INVALID_FILE_ATTRIBUTES)
            log_ = std::make_unique<RotatingLog>(log_dir + kTraceName, limit);
    }
    void Line(const std::string& text) {
        if (!log_) return;
        log_->Append(std::to_string(static_cast<long long>(std::time(nullptr))) + ": " + text +
                     "\n");
    }

private:
    std::unique_ptr<RotatingLog> log_;
};

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
    monitor::NodePath path;
    if (!monitor::ReadNodePathPacket(packet, size, &path)) return out;
    for (const std::string& e : path.elements)
        out.push_back(CompressedToUtf8(e));
    return out;
}

class HostNode final : public ServiceNode {
public:
    HostNode(MessagingLibrary& library, const PluginFunctions& fns, const std::string& log_path,
             const std::string& definitions, uint32_t interval_ms, bool fixed_interval,
             StatsOptions stats_options, HostTrace& trace)
        : ServiceNode(kHostNodeName, 0, library, SystemNodePlatform(), Registration::kLater),
          fns_(fns), alert_log_(log_path, stats_options.log_limit), definitions_(definitions),
          levels_(definitions_), fixed_interval_(fixed_interval), last_pulse_(GetTickCount()),
          stats_options_(std::move(stats_options)), trace_(trace) {
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
        if (command.cmd_code == monitor::kCmdForwardedMonitor) {
            // Forwarded commands carry no owner: the host passes an all-zero one.
            std::string buffer;
            if (monitor::UnwrapForwarded(params, &buffer))
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
        char line[80];
        std::snprintf(line, sizeof line, "request 0x%X: status %d, %u items",
                      static_cast<unsigned>(command.cmd_code), static_cast<int>(answer.status),
                      static_cast<unsigned>(answer.items.size()));
        trace_.Line(line);
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
        if (stats_options_.metrics_file.empty()) return;
        const std::string text = PrometheusText(statistics_);
        if (!monitor::ReplaceFileWhole(stats_options_.metrics_file, text.data(), text.size())) {
            char line[80];
            std::snprintf(line, sizeof line, " (error %lu)", GetLastError());
            const std::string message =
                "could not replace the metrics file " + stats_options_.metrics_file + line;
            std::fprintf(stderr, "pmhost: %s\n", message.c_str());
            trace_.Line(message);
        }
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
        // MonitorAlert carries no level: it comes from the monitor's record in the definitions
        // file, read again only after the plug-in rewrote it.
        a.level = levels_.LevelOf(name ? name : "");
        const HostAlert& kept = ring_.Add(std::move(a));
        const std::string line = AlertJson(kept);
        if (!alert_log_.Append(line + "\n")) trace_.Line("could not append to the alerts log");
        trace_.Line("alert " + line);
        return true;
    }

    PluginFunctions fns_;
    RotatingLog alert_log_;
    DefinitionsFile definitions_;
    DefinitionLevels levels_;
    bool fixed_interval_;
    DWORD last_pulse_;
    AlertRing ring_;
    HostStats stats_;
    StatsOptions stats_options_;
    HostTrace& trace_;
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
        if ((a == "--pulse-ms" || a == "--stats-ms" || a == "--dll" || a == "--metrics-file" ||
             a == "--log-max-bytes") &&
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
            if (a == "--log-max-bytes") {
                const unsigned long long limit = std::strtoull(v.c_str(), &end, 10);
                if (v.empty() || *end != '\0' || limit == 0 || v[0] == '-') {
                    std::fprintf(stderr, "pmhost: --log-max-bytes needs a number of bytes\n%s",
                                 kUsage);
                    return 2;
                }
                stats_options.log_limit = limit;
                continue;
            }
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
    HostTrace trace(log_dir, stats_options.log_limit);
    {
        HostNode node(library, fns, log_dir + kAlertLogName, data + monitor::kDefinitionsFileName,
                      period, fixed, stats_options, trace);
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
            trace.Line("node " + std::string(kHostNodeName) + " is up; pulse every " +
                       std::to_string(period) + " ms");
            node.Run();
            node.Unregister();
        }
    }
    fns.nodes.term();
    fns.term();
    trace.Line("stopped");
    std::printf("pmhost: stopped\n");
    return code;
}

} // namespace
} // namespace pm::host

int main(int argc, char** argv) {
    return pm::host::Run(std::vector<std::string>(argv + 1, argv + argc));
}
