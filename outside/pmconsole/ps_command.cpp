// Portable: the `ps` command.
#include "outside/pmconsole/ps_command.h"

#include <cstdio>

#include "outside/pmconsole/agent_commands.h"
#include "outside/pmconsole/visible_text.h"

namespace pm::console {
namespace {

constexpr uint32_t kGetUpdates = 0x73124533;
const char* const kStateNames[] = {"?",       "Stopped",          "Start Pending", "Stop Pending",
                                   "Running", "Continue Pending", "Pause Pending", "Paused"};

std::string Pad(std::string s, size_t width) {
    if (s.size() > width) s = s.substr(0, width - 1) + "~";
    return s + std::string(width - s.size() + 1, ' ');
}

std::string Num(uint32_t v) {
    return std::to_string(v);
}

std::string StateName(uint32_t state) {
    return state <= 7 ? kStateNames[state] : std::to_string(state);
}

} // namespace

const char kPsHelp[] =
    "usage: pmconsole ps [--watch] [--interval S] [--count N] [--json] [--to NODE] [--timeout MS]\n"
    "Lists the agent's processes, Win32 services and driver services from its update records.\n"
    "  --watch        keep a copy of the tables and apply each update, redrawing like top\n"
    "  --interval S   seconds between updates with --watch (default 2)\n"
    "  --count N      stop after N updates (default: until interrupted)\n"
    "  --json         print the decoded tables as one JSON object per update\n"
    "  --to NODE      addressee (default ProcMgr)\n"
    "  --timeout MS   time to wait for each reply (default 30000)\n"
    "Exit codes: 0 done, 3 no reply / refused / malformed reply, 2 bad usage.\n";

std::string FormatTables(const ConsoleTables& t, const std::vector<std::string>& priorities,
                         uint32_t num_groups) {
    auto procs = t.Processes();
    bool win95 = !procs.empty() && procs.front().has_parent;
    std::string out =
        "Processes (" + Num(uint32_t(procs.size())) + "), clock " + Num(t.clock()) + "\n";
    out += Pad("PID", 10) + Pad("NAME", 40) + Pad(win95 ? "PARENT" : "USER", 16) +
           Pad("THREADS", 8) + Pad("PRIORITY", 14) + (win95 ? "" : "MEMORY") + "\n";
    for (const auto& p : procs) {
        std::string prio = Num(p.priority);
        if (p.priority < priorities.size() && !priorities[p.priority].empty())
            prio += " " + priorities[p.priority];
        out += Pad(Num(p.process_id), 10) + Pad(VisibleField(p.name), 40) +
               Pad(win95 ? Num(p.parent_process_id) : VisibleField(p.user), 16) +
               Pad(Num(p.threads), 8) + Pad(prio, 14) + (p.has_memory ? Num(p.memory) : "") + "\n";
    }
    if (procs.empty() && num_groups >= 3)
        out += "(none: in NT mode the agent reads the processes from the system's performance "
               "data, and this system delivers no process object)\n";
    const char* titles[] = {"Win32 services", "Driver services"};
    for (uint32_t g = 2; g <= 3; ++g) {
        auto svcs = t.Services(g);
        if (svcs.empty()) continue;
        out += "\n" + std::string(titles[g - 2]) + " (" + Num(uint32_t(svcs.size())) + ")\n";
        out += Pad("NAME", 50) + "STATE\n";
        for (const auto& s : svcs)
            out += Pad(VisibleField(s.name), 50) + StateName(s.state) + "\n";
    }
    return out;
}

std::string FormatTablesJson(const ConsoleTables& t) {
    std::string out = "{\"clock\": " + Num(t.clock()) + ", \"processes\": [";
    bool first = true;
    for (const auto& p : t.Processes()) {
        out += first ? "" : ", ";
        first = false;
        out += "{\"pid\": " + Num(p.process_id) + ", \"name\": " + JsonString(p.name);
        if (p.has_user) out += ", \"user\": " + JsonString(p.user);
        if (p.has_parent) out += ", \"parent\": " + Num(p.parent_process_id);
        out += ", \"threads\": " + Num(p.threads) + ", \"priority\": " + Num(p.priority);
        if (p.has_memory) out += ", \"memory\": " + Num(p.memory);
        out += "}";
    }
    out += "]";
    const char* keys[] = {"services", "drivers"};
    for (uint32_t g = 2; g <= 3; ++g) {
        out += ", \"" + std::string(keys[g - 2]) + "\": [";
        first = true;
        for (const auto& s : t.Services(g)) {
            out += first ? "" : ", ";
            first = false;
            out += "{\"name\": " + JsonString(s.name) + ", \"state\": " + Num(s.state) +
                   ", \"state_name\": " + JsonString(StateName(s.state)) + "}";
        }
        out += "]";
    }
    return out + "}\n";
}

int RunPs(const std::vector<std::string>& args, ConsoleIo& io) {
    bool watch = false, json = false;
    uint32_t interval_s = 2, count = 0;
    Request request;
    request.code = kGetUpdates;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](uint32_t& out) {
            if (i + 1 >= args.size() || !ParseU32(args[i + 1], out)) return false;
            ++i;
            return true;
        };
        if (a == "--help" || a == "-h") {
            io.Out(kPsHelp);
            return kExitReply;
        } else if (a == "--watch") {
            watch = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--interval") {
            if (!value(interval_s))
                return io.Err(std::string("pmconsole ps: --interval needs seconds\n") + kPsHelp),
                       kExitUsage;
        } else if (a == "--count") {
            if (!value(count) || count == 0)
                return io.Err(std::string("pmconsole ps: --count needs a number above 0\n") +
                              kPsHelp),
                       kExitUsage;
        } else if (a == "--timeout") {
            if (!value(request.timeout_ms))
                return io.Err(std::string("pmconsole ps: --timeout needs milliseconds\n") +
                              kPsHelp),
                       kExitUsage;
        } else if (a == "--to") {
            if (i + 1 >= args.size())
                return io.Err(std::string("pmconsole ps: --to needs a node name\n") + kPsHelp),
                       kExitUsage;
            request.to = args[++i];
        } else {
            io.Err("pmconsole ps: unknown argument: " + OptionShown(a) + "\n" + kPsHelp);
            return kExitUsage;
        }
    }
    if (!watch) count = 1;

    // Priority names come with the configuration; without it the indexes stand alone.
    std::vector<std::string> priorities;
    uint32_t num_groups = 0;
    if (!json) {
        BaseInfoView config;
        std::string ignored;
        if (FetchBaseInfo(io, request.to, &config, &ignored)) {
            priorities = config.EnumTexts(1);
            num_groups = config.num_groups;
        }
    }
    ConsoleTables tables(io.Decoder());
    for (uint32_t round = 0; count == 0 || round < count; ++round) {
        if (round > 0) io.Wait(interval_s * 1000);
        request.params = {U32Bytes(tables.clock())};
        Reply reply = io.Send(request);
        if (reply.outcome != Reply::Outcome::kReply) return NotDelivered(io, reply, request);
        if (reply.status != 0) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "pmconsole ps: the agent answered status 0x%08X\n",
                          reply.status);
            io.Err(buf);
            if (reply.items.empty()) return kExitNoReply;
        }
        std::string error;
        if (!tables.Apply(reply.items, &error)) {
            io.Err("pmconsole ps: malformed reply: " + error + "\n");
            return kExitNoReply;
        }
        if (json) {
            io.Out(FormatTablesJson(tables));
        } else {
            if (watch) io.Out("\x1b[H\x1b[2J");
            io.Out(FormatTables(tables, priorities, num_groups));
            if (watch)
                io.Out("\n" + std::to_string(tables.changes_in_last_reply()) +
                       " changes in the last update; every " + std::to_string(interval_s) + " s\n");
        }
    }
    return kExitReply;
}

} // namespace pm::console
