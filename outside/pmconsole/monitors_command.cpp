// Portable: the monitors and stats commands. No OS code here.
#include "outside/pmconsole/monitors_command.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "outside/pmconsole/agent_commands.h"
#include "outside/pmconsole/visible_text.h"
#include "shared/monitor/host_alerts.h"
#include "shared/monitor/host_monitors.h"
#include "shared/monitor/command_buffer.h"
#include "shared/monitor/monitor_record.h"

namespace pm::console {

const char kMonitorsHelp[] =
    "usage: pmconsole monitors list [--json]\n"
    "       pmconsole monitors add NAME [--on WORDS] [--start-timeout S] [--level N] [--key K]\n"
    "                                   [--quiet]\n"
    "       pmconsole monitors delete NAME\n"
    "       pmconsole monitors replace KEY NAME [--on WORDS] [--start-timeout S] [--level N]\n"
    "                                           [--quiet]\n"
    "       pmconsole monitors update FILE\n"
    "       pmconsole monitors replace-all FILE\n"
    "       pmconsole monitors pids [--json]\n"
    "Every form also takes --owner HEX (16 hex digits) and --timeout MS.\n"
    "The process monitors of the monitor plug-in. The commands go through the agent \"ProcMgr\",\n"
    "which forwards them to the monitor host; with --owner HEX they go to the monitor host\n"
    "\"KAVMonitorClientNC\" directly, carrying that owner id: list and pids then show only\n"
    "that owner's monitors, replace-all replaces only them, and new monitors belong to it.\n"
    "  list          the monitors in the plug-in's order, as lines of a monitor file\n"
    "  add           watch NAME (a bare executable name; stored in upper case); --on takes\n"
    "                start, stop, not-started (comma list, default start,stop); --quiet raises\n"
    "                no alerts at all; --key defaults to one above the highest key in use.\n"
    "                A name already watched is left as it is and its key shown.\n"
    "  delete        stop watching NAME (the first monitor of that name)\n"
    "  replace       put a new definition in place of the monitor with key KEY\n"
    "  update        each line of FILE replaces the monitor with its key, or adds one\n"
    "  replace-all   the monitors (of the owner, with --owner) become those of FILE\n"
    "  pids          the process ids the monitors track\n"
    "Monitor file: one monitor a line, \"KEY LEVEL ON TIMEOUT NAME\"; ON a comma list of start,\n"
    "stop, not-started, quiet, or - for none; # starts a comment line. In NAME, \\\\ is a\n"
    "backslash and \\xNN the byte NN (the listing writes control characters that way).\n"
    "Example:\n"
    "  17 2 start,stop 0 notepad.exe\n"
    "Exit codes: 0 done, 1 the plug-in refused the command, 2 bad usage, 3 no reply.\n";

const char kStatsHelp[] =
    "usage: pmconsole stats [NAME] [--json] [--to NODE]\n"
    "Each monitor's statistics as the monitor host last read them from the plug-in's node\n"
    "tree: the ten statistics under their catalog names (execution times in minutes) and the\n"
    "values of the three alert nodes (0 at their first read). NAME shows one monitor only.\n"
    "  --to NODE   the monitor host's node (default KAVMonitorClientNC)\n"
    "Exit codes: 0 done, 1 the host refused, 2 bad usage, 3 the host is not running.\n";

namespace {

constexpr uint32_t kForwardCode = 0x73124536;

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The bare name a monitor will hold (the part after the last "\\" or "/"), in upper case.
std::string StoredForm(const std::string& name) {
    const size_t cut = name.find_last_of("\\/:");
    return Upper(cut == std::string::npos ? name : name.substr(cut + 1));
}

struct Route {
    bool direct = false;
    std::array<uint8_t, 8> owner{};
    uint32_t timeout_ms = kDefaultTimeoutMs;
};

Request MakeRequest(const Route& route, const std::string& command, bool with_owner = true) {
    Request r;
    r.timeout_ms = route.timeout_ms;
    if (route.direct) {
        r.code = host::kCmdMonitorCommand;
        r.to = host::kHostNodeName;
        std::array<uint8_t, 8> owner{};
        if (with_owner) owner = route.owner;
        r.params.emplace_back(reinterpret_cast<const char*>(owner.data()), owner.size());
    } else {
        r.code = kForwardCode;
        r.to = kDefaultAddressee;
    }
    r.params.push_back(command);
    return r;
}

// Sends one command; answers -1 with the reply when the plug-in carried it out, else the exit
// code (messages written).
int Exchange(const Route& route, const std::string& command, ConsoleIo& io, Reply* reply,
             bool with_owner = true) {
    Request r = MakeRequest(route, command, with_owner);
    *reply = io.Send(r);
    if (!Delivered(io, *reply, r)) return UndeliveredExit(*reply);
    if (reply->status == 0xFFFF0000u || reply->status == 0xFFFF0002u) {
        io.Err(std::string("pmconsole: the agent could not reach the monitor host (") +
               (reply->status == 0xFFFF0000u ? "not sent" : "no reply in time") + ")\n");
        return kExitNoReply;
    }
    if (reply->status != 0) return kExitAgentFailed;
    return -1;
}

std::string Json(const MonitorDef& d) {
    std::string on = "[";
    for (const std::string& w : ConditionWords(d.conditions))
        on += std::string(on.size() > 1 ? "," : "") + "\"" + w + "\"";
    on += "]";
    return "{\"key\":" + std::to_string(d.key) + ",\"level\":" + std::to_string(d.level) +
           ",\"on\":" + on + ",\"conditions\":" + std::to_string(d.conditions) +
           ",\"start_timeout\":" + std::to_string(d.start_timeout) +
           ",\"name\":" + host::JsonString(d.name) + "}";
}

std::string U32(uint32_t v) {
    return U32Bytes(v);
}

// The record of `def` with its name in compressed unicode, as the plug-in takes it; empty when
// the name cannot be converted or does not fit a record.
std::string RecordOf(const MonitorDef& def, CompressedConverter to_compressed) {
    std::string name;
    if (!to_compressed(def.name, name)) return {};
    if (!name.empty() && name.back() == '\0') name.pop_back(); // the record adds its own
    const std::vector<uint8_t> r =
        monitor::MakeRecord(def.key, def.level, def.conditions, def.start_timeout, name);
    return std::string(r.begin(), r.end());
}

struct Options {
    std::vector<std::string> positional;
    Route route;
    bool json = false;
    bool have_key = false;
    uint32_t key = 0;
    uint8_t conditions = monitor::kCondRunning | monitor::kCondTermination;
    uint8_t level = 1;
    uint16_t start_timeout = 0;
};

bool ParseOptions(const std::vector<std::string>& args, Options* o, std::string* error) {
    bool quiet = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        uint32_t n = 0;
        if (a == "--json") {
            o->json = true;
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--owner" && has_value) {
            std::string bytes;
            if (!ParseHexBytes(args[++i], bytes) || bytes.size() != 8) {
                *error = "--owner takes 8 bytes as 16 hex digits";
                return false;
            }
            std::copy(bytes.begin(), bytes.end(), o->route.owner.begin());
            o->route.direct = true;
        } else if (a == "--on" && has_value) {
            if (!ParseConditions(args[++i], &o->conditions)) {
                *error = "--on takes start, stop, not-started (comma list)";
                return false;
            }
        } else if (a == "--start-timeout" && has_value && ParseU32(args[i + 1], n) && n <= 0xFFFF) {
            o->start_timeout = static_cast<uint16_t>(n);
            ++i;
        } else if (a == "--level" && has_value && ParseU32(args[i + 1], n) && n <= 255) {
            o->level = static_cast<uint8_t>(n);
            ++i;
        } else if (a == "--key" && has_value && ParseU32(args[i + 1], n)) {
            o->key = n;
            o->have_key = true;
            ++i;
        } else if (a == "--timeout" && has_value && ParseU32(args[i + 1], n) && n > 0) {
            o->route.timeout_ms = n;
            ++i;
        } else if (!a.empty() && a[0] == '-' && a.size() > 1) {
            *error = "unexpected option: " + OptionShown(a);
            return false;
        } else {
            o->positional.push_back(a);
        }
    }
    if (quiet) o->conditions |= monitor::kCondNewServer;
    return true;
}

int ListMonitors(const Route& route, ConsoleIo& io, std::vector<MonitorDef>* defs,
                 bool with_owner = true) {
    Reply reply;
    const int code = Exchange(route, U32(monitor::kCmdListAll), io, &reply, with_owner);
    if (code >= 0) {
        if (code == kExitAgentFailed)
            io.Err("pmconsole: the plug-in refused the list (status " +
                   std::to_string(reply.status) + ")\n");
        return code;
    }
    if (reply.items.empty() || !DecodeRecordList(reply.items[0], io.Decoder(), defs)) {
        io.Err("pmconsole: the plug-in's monitor list is malformed\n");
        return kExitAgentFailed;
    }
    return -1;
}

int ReadFileText(const std::string& path, std::string* text, ConsoleIo& io) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        io.Err("pmconsole monitors: cannot read " + path + "\n");
        return kExitUsage;
    }
    std::ostringstream s;
    s << in.rdbuf();
    *text = s.str();
    return -1;
}

int RunWithFile(uint32_t code, const Options& o, ConsoleIo& io) {
    if (o.positional.size() != 2) {
        io.Err(std::string("pmconsole monitors: needs FILE\n") + kMonitorsHelp);
        return kExitUsage;
    }
    std::string text, error;
    if (int c = ReadFileText(o.positional[1], &text, io); c >= 0) return c;
    std::vector<MonitorDef> defs;
    if (!ParseMonitorFile(text, &defs, &error)) {
        io.Err("pmconsole monitors: " + o.positional[1] + ": " + error + "\n");
        return kExitUsage;
    }
    std::string command = U32(code) + U32(static_cast<uint32_t>(defs.size()));
    for (const MonitorDef& d : defs) {
        const std::string r = RecordOf(d, io.Converter());
        if (r.empty()) {
            io.Err("pmconsole monitors: the name " + d.name + " cannot be sent\n");
            return kExitUsage;
        }
        command += r;
    }
    Reply reply;
    const int c = Exchange(o.route, command, io, &reply);
    if (c >= 0) {
        if (c == kExitAgentFailed) io.Err("pmconsole monitors: the plug-in refused the file\n");
        return c;
    }
    io.Out(std::to_string(defs.size()) +
           (code == monitor::kCmdReplaceAll ? " monitors set\n" : " monitors updated\n"));
    return kExitReply;
}

} // namespace

int RunMonitors(const std::vector<std::string>& args, ConsoleIo& io) {
    for (const std::string& a : args)
        if (a == "--help" || a == "-h" || a == "/?") {
            io.Out(kMonitorsHelp);
            return kExitReply;
        }
    Options o;
    std::string error;
    if (!ParseOptions(args, &o, &error) || o.positional.empty()) {
        io.Err("pmconsole monitors: " + (error.empty() ? "needs a subcommand" : error) + "\n" +
               kMonitorsHelp);
        return kExitUsage;
    }
    const std::string& sub = o.positional[0];
    const size_t n = o.positional.size();
    auto usage = [&]() {
        io.Err("pmconsole monitors " + sub + ": wrong arguments\n" + kMonitorsHelp);
        return kExitUsage;
    };

    if (sub == "list" && n == 1) {
        std::vector<MonitorDef> defs;
        if (int c = ListMonitors(o.route, io, &defs); c >= 0) return c;
        std::string out;
        if (o.json) {
            out = "[";
            for (size_t i = 0; i < defs.size(); ++i)
                out += (i ? "," : "") + Json(defs[i]);
            out += "]\n";
        } else {
            out = "# key level on timeout name\n";
            for (const MonitorDef& d : defs)
                out += MonitorLine(d) + "\n";
        }
        io.Out(out);
        return kExitReply;
    }
    if (sub == "pids" && n == 1) {
        Reply reply;
        if (int c = Exchange(o.route, U32(monitor::kCmdListPids), io, &reply); c >= 0) return c;
        const std::string& r = reply.items.empty() ? std::string() : reply.items[0];
        const auto* b = reinterpret_cast<const uint8_t*>(r.data());
        if (r.size() < 4 || (r.size() - 4) / 4 != monitor::ReadU32(b) || r.size() % 4 != 0) {
            io.Err("pmconsole: the plug-in's id list is malformed\n");
            return kExitAgentFailed;
        }
        std::string out = o.json ? "[" : "";
        for (size_t at = 4; at < r.size(); at += 4) {
            const std::string id = std::to_string(monitor::ReadU32(b + at));
            out += o.json ? (at > 4 ? "," : "") + id : id + "\n";
        }
        if (o.json) out += "]\n";
        io.Out(out);
        return kExitReply;
    }
    if ((sub == "add" && n == 2) || (sub == "replace" && n == 3)) {
        MonitorDef d;
        d.name = StoredForm(o.positional[n - 1]);
        d.level = o.level;
        d.conditions = o.conditions;
        d.start_timeout = o.start_timeout;
        uint32_t command_code = monitor::kCmdAdd;
        if (sub == "replace") {
            if (!ParseU32(o.positional[1], d.key)) return usage();
            command_code = monitor::kCmdReplace;
        } else {
            // The plug-in compares a received name with the stored ones before converting it,
            // so an existing monitor is looked up here; the key defaults to the next free one.
            std::vector<MonitorDef> all;
            if (int c = ListMonitors(o.route, io, &all, false); c >= 0) return c;
            uint32_t highest = 0;
            for (const MonitorDef& m : all) {
                if (m.name == d.name) {
                    io.Out(d.name + " is already monitored with key " + std::to_string(m.key) +
                           "\n");
                    return kExitReply;
                }
                highest = std::max(highest, m.key & 0x0FFFFFFF);
            }
            d.key = o.have_key ? o.key : (highest + 1) & 0x0FFFFFFF;
        }
        const std::string record = RecordOf(d, io.Converter());
        if (record.empty()) {
            io.Err("pmconsole monitors: the name " + d.name + " cannot be sent\n");
            return kExitUsage;
        }
        Reply reply;
        const int c = Exchange(o.route, U32(command_code) + record, io, &reply);
        if (c >= 0) {
            if (c == kExitAgentFailed)
                io.Err("pmconsole monitors: no monitor has the key " + std::to_string(d.key) +
                       "\n");
            return c;
        }
        uint32_t key = d.key;
        if (!reply.items.empty() && reply.items[0].size() == 4)
            key = monitor::ReadU32(reinterpret_cast<const uint8_t*>(reply.items[0].data()));
        io.Out((sub == "add" ? "added " : "replaced ") + d.name + " with key " +
               std::to_string(key) + "\n");
        return kExitReply;
    }
    if (sub == "delete" && n == 2) {
        const std::string name = StoredForm(o.positional[1]);
        std::string compressed;
        if (!io.Converter()(name, compressed)) return usage();
        if (compressed.empty() || compressed.back() != '\0') compressed += '\0';
        Reply reply;
        const int c = Exchange(o.route,
                               U32(monitor::kCmdDelete) +
                                   U32(static_cast<uint32_t>(compressed.size())) + compressed,
                               io, &reply);
        if (c >= 0) {
            if (c == kExitAgentFailed) io.Err("pmconsole monitors: no monitor " + name + "\n");
            return c;
        }
        io.Out("deleted " + name + "\n");
        return kExitReply;
    }
    if (sub == "update") return RunWithFile(monitor::kCmdUpdateAll, o, io);
    if (sub == "replace-all") return RunWithFile(monitor::kCmdReplaceAll, o, io);
    return usage();
}

int RunStats(const std::vector<std::string>& args, ConsoleIo& io) {
    bool json = false;
    std::string to = host::kHostNodeName, name;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h" || a == "/?") {
            io.Out(kStatsHelp);
            return kExitReply;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--to" && i + 1 < args.size()) {
            to = args[++i];
        } else if (!a.empty() && a[0] != '-' && name.empty()) {
            name = StoredForm(a);
        } else {
            io.Err("pmconsole stats: unexpected argument: " + OptionShown(a) + "\n" + kStatsHelp);
            return kExitUsage;
        }
    }
    Request r;
    r.code = host::kCmdStatistics;
    r.to = to;
    r.timeout_ms = 10000;
    if (!name.empty()) r.params.push_back(name);
    Reply reply = io.Send(r);
    if (reply.outcome == Reply::Outcome::kAbsentNode || reply.outcome == Reply::Outcome::kNoReply) {
        io.Err("pmconsole: the monitor host \"" + to + "\" is not running or did not answer\n");
        return kExitNoReply;
    }
    if (reply.outcome != Reply::Outcome::kReply) return NotDelivered(io, reply, r);
    if (reply.status != 0 || reply.items.empty() || reply.items[0].size() != 12) {
        io.Err("pmconsole: the monitor host answered status " + std::to_string(reply.status) +
               " without statistics\n");
        return kExitAgentFailed;
    }
    const auto* head = reinterpret_cast<const uint8_t*>(reply.items[0].data());
    std::vector<host::MonitorStats> stats;
    for (size_t i = 1; i < reply.items.size(); ++i) {
        host::MonitorStats s;
        if (!host::DecodeStats(reply.items[i], &s)) {
            io.Err("pmconsole: the monitor host sent malformed statistics\n");
            return kExitAgentFailed;
        }
        stats.push_back(s);
    }
    if (!name.empty() && stats.empty()) {
        io.Err("pmconsole stats: no monitor " + name + " (or not read yet)\n");
        return kExitAgentFailed;
    }
    const auto& metric = host::MetricNames();
    std::string out;
    if (json) {
        out = "{\"reads\":" + std::to_string(monitor::ReadU32(head)) +
              ",\"last_read\":" + std::to_string(monitor::ReadU32(head + 4)) + ",\"monitors\":[";
        for (size_t m = 0; m < stats.size(); ++m) {
            out += std::string(m ? "," : "") + "{\"name\":" + host::JsonString(stats[m].name);
            for (size_t i = 0; i < host::kStatCount; ++i) {
                std::string key = std::string(metric[i]).substr(8); // without "procmon_"
                char v[64] = "null";
                if (stats[m].read[i]) std::snprintf(v, sizeof v, "%.17g", stats[m].values[i]);
                out += ",\"" + key + "\":" + v;
            }
            out += "}";
        }
        out += "]}\n";
    } else {
        for (const host::MonitorStats& s : stats) {
            out += VisibleField(s.name) + "\n";
            for (size_t i = 0; i < 10; ++i) {
                char v[64] = "-";
                if (s.read[i])
                    std::snprintf(v, sizeof v, (i == 5 || i == 6) ? "%.3f" : "%.0f", s.values[i]);
                std::string label = s.leaf_names[i];
                if (label.size() < 32) label.resize(32, ' ');
                out += "  " + label + " " + v + ((i == 5 || i == 6) ? " min" : "") + "\n";
            }
            char alerts[160];
            std::snprintf(alerts, sizeof alerts,
                          "  alert nodes: started %.0f, stopped %.0f, failed to start %.0f\n",
                          s.values[10], s.values[11], s.values[12]);
            out += alerts;
        }
        if (stats.empty()) out = "(no monitors)\n";
    }
    io.Out(out);
    return kExitReply;
}

} // namespace pm::console
