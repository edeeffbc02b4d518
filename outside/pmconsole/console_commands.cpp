// Portable: the console's command table and the `raw` command. No OS code here.
#include "outside/pmconsole/console_commands.h"

#include <cstdio>

#include "outside/pmconsole/console_format.h"
#include "outside/pmconsole/request_transport.h"
#include "shared/remote/statuses.h"
#include "outside/pmconsole/agent_commands.h"
#include "outside/pmconsole/alerts_command.h"
#include "outside/pmconsole/monitors_command.h"
#include "outside/pmconsole/exec_command.h"
#include "outside/pmconsole/fleet/fleet_command.h"
#include "outside/pmconsole/ps_command.h"

namespace pm::console {

namespace {

std::string Detail(const Reply& reply) {
    return reply.detail.empty() ? std::string() : " (" + reply.detail + ")";
}

std::string CodeText(uint32_t code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", code);
    return buf;
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a == "--help" || a == "-h" || a == "/?") return true;
    return false;
}

const char kRawHelp[] =
    "usage: pmconsole raw CODE [--u32 N] [--text S] [--cu S] [--hex BYTES] [--to NODE]\n"
    "                          [--timeout MS] [--json]\n"
    "Sends one request with command code CODE (decimal or 0x-hex) and shows the reply.\n"
    "Parameters go in the order given:\n"
    "  --u32 N        4 bytes, little-endian (decimal or 0x-hex)\n"
    "  --text S       8-bit text with its NUL terminator\n"
    "  --cu S         text in compressed unicode with its terminator\n"
    "  --hex BYTES    raw bytes as hex digit pairs (\"0a0b\", \"0a:0b\", \"0a 0b\")\n"
    "  --to NODE      addressee (default ProcMgr)\n"
    "  --timeout MS   time to wait for the reply (default 30000)\n"
    "  --json         one object: {\"status\": N, \"items\": [\"hex\", ...]}\n"
    "Exit codes: 0 a reply came, 3 no reply / request refused / node absent, 2 bad usage.\n";

int RunRaw(const std::vector<std::string>& args, ConsoleIo& io) {
    if (WantsHelp(args)) {
        io.Out(kRawHelp);
        return kExitReply;
    }
    Request request;
    std::string error;
    if (!ParseRawArgs(args, io.Converter(), request, error)) {
        io.Err("pmconsole raw: " + error + "\n" + kRawHelp);
        return kExitUsage;
    }
    return SendAndShow(request, io);
}

std::string Usage() {
    std::string out = "usage: pmconsole COMMAND [ARGS] [--help]\ncommands:\n";
    for (const ConsoleCommand& c : ConsoleCommands()) {
        std::string name = c.name;
        out += "  " + name + std::string(name.size() < 10 ? 10 - name.size() : 1, ' ') + c.summary +
               "\n";
    }
    return out;
}

} // namespace

const std::vector<ConsoleCommand>& ConsoleCommands() {
    static const std::vector<ConsoleCommand> commands = {
        {"raw", "send one request by command code and show the reply", kRawHelp, &RunRaw},
        {"ps", "list processes, services and drivers; --watch follows changes", kPsHelp, &RunPs},
        {"config", "show the agent's configuration: columns, signals, enumerations", kConfigHelp,
         &RunConfig},
        {"kill", "Close Application: end a process by its id", kKillHelp, &RunKill},
        {"signal", "signal a service tab entry: pause, continue, stop or start", kSignalHelp,
         &RunSignal},
        {"svc", "start, stop, pause or continue a service by name", kSvcHelp, &RunSvc},
        {"alerts", "the process monitors' alerts the monitor host fetched; --follow", kAlertsHelp,
         &RunAlerts},
        {"monitors", "list, add, delete and replace the process monitors; their pids",
         kMonitorsHelp, &RunMonitors},
        {"stats", "each process monitor's statistics as the monitor host read them", kStatsHelp,
         &RunStats},
        {"exec", "Execute Command: run a command line, optionally as a user, with its output",
         kExecHelp, &RunExec},
        {"fleet", "many machines through a NATS cluster: list them, one command to many",
         kFleetHelp, &RunFleet},
        {"encrypt-password", "print a password's ciphertext for exec --password-hex",
         kEncryptPasswordHelp, &RunEncryptPassword},
    };
    return commands;
}

bool Delivered(ConsoleIo& io, const Reply& reply, const Request& request) {
    switch (reply.outcome) {
    case Reply::Outcome::kReply:
        return true;
    case Reply::Outcome::kAbsentNode:
        io.Err("pmconsole: node \"" + request.to + "\" is not registered\n");
        return false;
    case Reply::Outcome::kNotSent:
        io.Err("pmconsole: the request to \"" + request.to + "\" was refused\n");
        return false;
    case Reply::Outcome::kNotPermitted:
        io.Err("pmconsole: not permitted: this user may not send " + CodeText(request.code) +
               " to \"" + request.to + "\"" + Detail(reply) + "\n");
        return false;
    case Reply::Outcome::kNoSuchMachine:
        io.Err("pmconsole: no such machine: nobody answers for it on the servers" + Detail(reply) +
               "\n");
        return false;
    case Reply::Outcome::kAgentNotRunning:
        io.Err("pmconsole: agent not running: the machine's gate answers but \"" + request.to +
               "\" is not running there\n");
        return false;
    case Reply::Outcome::kGateRefused:
        io.Err("pmconsole: the machine's gate refused the request: " +
               GateStatusText(reply.gate_status) + "\n");
        return false;
    case Reply::Outcome::kConnectionLost:
        io.Err("pmconsole: the connection to the servers was lost while the request was in "
               "flight; it was not sent again, check its effect" +
               Detail(reply) + "\n");
        return false;
    case Reply::Outcome::kNoReply:
        break;
    }
    io.Err("pmconsole: no reply from \"" + request.to + "\" in time" + Detail(reply) + "\n");
    return false;
}

int UndeliveredExit(const Reply& reply) {
    switch (reply.outcome) {
    case Reply::Outcome::kNotPermitted:
        return kExitNotPermitted;
    case Reply::Outcome::kNoSuchMachine:
        return kExitNoSuchMachine;
    case Reply::Outcome::kAgentNotRunning:
        return kExitAgentNotRunning;
    case Reply::Outcome::kGateRefused:
        return 1;
    default:
        return kExitNoReply;
    }
}

int NotDelivered(ConsoleIo& io, const Reply& reply, const Request& request) {
    Delivered(io, reply, request);
    return UndeliveredExit(reply);
}

std::string GateStatusText(uint32_t status) {
    remote::GateStatus known;
    if (!remote::ParseGateStatus(std::to_string(status), known))
        return "status " + std::to_string(status);
    return std::string(remote::GateStatusText(known)) + " (status " + std::to_string(status) + ")";
}

int SendAndShow(const Request& request, ConsoleIo& io) {
    Reply reply = io.Send(request);
    if (!Delivered(io, reply, request)) return UndeliveredExit(reply);
    io.Out(request.json ? FormatJson(reply) : FormatText(reply));
    return kExitReply;
}

int RunConsole(const std::vector<std::string>& args, ConsoleIo& io) {
    if (args.empty()) {
        io.Err(Usage());
        return kExitUsage;
    }
    const std::string& name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        io.Out(Usage());
        return kExitReply;
    }
    for (const ConsoleCommand& c : ConsoleCommands()) {
        if (name != c.name) continue;
        std::vector<std::string> rest(args.begin() + 1, args.end());
        const int code = c.run(rest, io);
        for (std::string& a : rest) // may hold a password (exec --password)
            WipeWholeString(a);
        return code;
    }
    io.Err("pmconsole: unknown command: " + OptionShown(name) + "\n" + Usage());
    return kExitUsage;
}

} // namespace pm::console
