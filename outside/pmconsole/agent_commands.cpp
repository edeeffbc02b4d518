// Portable: configuration and control commands of the console.
#include "outside/pmconsole/agent_commands.h"

#include <cstdio>

#include "outside/pmconsole/ps_command.h"
#include "shared/base/endian.h"
#include "shared/remote/agent_answers.h"

namespace pm::console {
namespace {

constexpr uint32_t kGetConfiguration = 0x73124532;
constexpr uint32_t kSignalProcess = 0x73124534;
constexpr uint32_t kOsSpecific = 0x73124545;
constexpr uint32_t kServiceControl = 0x100;

std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::string Num(uint32_t v) {
    return std::to_string(v);
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

// Splits off --json, --to NODE and --timeout MS; the rest stays positional.
bool CommonOptions(const std::vector<std::string>& args, Request& request, bool& json,
                   std::vector<std::string>& rest, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            json = true;
        } else if (a == "--to") {
            if (i + 1 >= args.size()) return error = "--to needs a node name", false;
            request.to = args[++i];
        } else if (a == "--timeout") {
            if (i + 1 >= args.size() || !ParseU32(args[i + 1], request.timeout_ms))
                return error = "--timeout needs milliseconds", false;
            ++i;
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            return error = "unknown option " + OptionShown(a), false;
        } else {
            rest.push_back(a);
        }
    }
    return true;
}

int Usage(ConsoleIo& io, const char* command, const std::string& error, const char* help) {
    io.Err(std::string("pmconsole ") + command + ": " + error + "\n" + help);
    return kExitUsage;
}

// The outcome of a control request: one line (or JSON object) and the exit code.
int ShowOutcome(ConsoleIo& io, const Reply& reply, bool json, const std::string& meaning,
                bool with_error_item) {
    uint32_t error_code = 0;
    bool has_error = with_error_item && !reply.items.empty() && reply.items[0].size() >= 4;
    if (has_error) error_code = le::Load32(reply.items[0].data());
    if (json) {
        std::string out =
            "{\"status\": " + Num(reply.status) + ", \"meaning\": " + JsonString(meaning);
        if (has_error) out += ", \"system_error\": " + Num(error_code);
        io.Out(out + "}\n");
    } else {
        std::string out = "status " + Hex32(reply.status) + ": " + meaning;
        if (has_error) out += " (system error " + Num(error_code) + ")";
        io.Out(out + "\n");
    }
    return reply.status == 0 ? kExitReply : kExitAgentFailed;
}

bool ServiceSignal(const std::string& word, uint32_t& id) {
    if (word == "pause")
        id = 6;
    else if (word == "continue")
        id = 7;
    else if (word == "stop")
        id = 8;
    else if (word == "start")
        id = 9;
    else
        return ParseU32(word, id);
    return true;
}

} // namespace

const char kConfigHelp[] =
    "usage: pmconsole config [--json] [--to NODE] [--timeout MS]\n"
    "Shows Get Configuration: the manager info, the agent's mode (NT or Windows 95), each tab's\n"
    "columns with their types, the signals per tab, the enumerated texts and the language code;\n"
    "and the diagnostic \"Platform\" setting (nt, 95 or absent) as this machine's registry\n"
    "holds it.\n"
    "Exit codes: 0 shown, 1 the agent answered a failure, 3 no reply or a malformed answer,\n"
    "2 bad usage.\n";

const char kKillHelp[] =
    "usage: pmconsole kill PID [--json] [--to NODE] [--timeout MS]\n"
    "Close Application: ends the process PID (it must be in the agent's process list).\n"
    "Exit codes: 0 done, 1 the agent answered a failure, 3 no reply, 2 bad usage.\n";

const char kSignalHelp[] =
    "usage: pmconsole signal TAB SIGNAL NAME [--json] [--to NODE] [--timeout MS]\n"
    "Signal a Process on a service tab (2 Win32 services, 3 driver services): SIGNAL is\n"
    "pause, continue, stop, start or a number (6 to 9); NAME is the display name.\n"
    "For tab 1 use `pmconsole kill PID`.\n"
    "Exit codes: 0 done, 1 the agent answered a failure, 3 no reply, 2 bad usage.\n";

const char kSvcHelp[] =
    "usage: pmconsole svc start|stop|pause|continue NAME [--json] [--to NODE] [--timeout MS]\n"
    "The Operating System Specific Command: controls the Win32 service NAME (its display name\n"
    "or its key name).\n"
    "Exit codes: 0 done, 1 the agent answered a failure, 3 no reply, 2 bad usage.\n";

bool FetchBaseInfo(ConsoleIo& io, const std::string& to, BaseInfoView* view, std::string* error) {
    Request request;
    request.code = kGetConfiguration;
    request.to = to;
    Reply reply = io.Send(request);
    if (reply.outcome != Reply::Outcome::kReply) return *error = "no reply", false;
    if (reply.status != 0) return *error = "status " + Hex32(reply.status), false;
    return DecodeBaseInfo(reply.items, io.Decoder(), view, error);
}

namespace {
bool NtMode(const BaseInfoView& v) {
    return v.num_groups >= 3; // processes, Win32 services, driver services
}
} // namespace

std::string FormatBaseInfo(const BaseInfoView& v, const PlatformSettingView& setting) {
    std::string out = "Manager version " + Hex32(v.version) + ", OS type " + Num(v.os_type) +
                      (v.os_type == 4 ? " (NT family)" : " (Windows 95/98)") + " " +
                      Num(v.os_major) + "." + Num(v.os_minor) + ", flags " + Hex32(v.flags) + ", " +
                      Num(v.num_groups) + " tab(s), language \"" + v.language + "\"\n";
    out += NtMode(v) ? "Mode: NT (processes, Win32 services, driver services)\n"
                     : "Mode: Windows 95 (processes only)\n";
    if (setting.readable)
        out += setting.present ? "Platform setting: \"" + setting.text +
                                     "\" (the agent reads it at its start)\n"
                               : "Platform setting: absent (the agent tests the system)\n";
    for (const auto& g : v.groups) {
        out += "\nTab " + g.name + " (key field " + Num(g.key_field) + ", monitored " +
               Num(g.monitored) + "):\n";
        for (const auto& c : g.columns)
            out += "  field " + Num(c.field_id) + (c.field_id < 10 ? " " : "") + "  type " +
                   Hex32(c.data_type) + "  " + c.title + "\n";
    }
    out += "\nSignals:\n";
    for (const auto& s : v.signals)
        out += "  tab " + Num(s.tab) + "  signal " + Num(s.id) + "  " + s.name + "\n";
    for (const auto& e : v.enums) {
        out += "\nEnumeration " + Num(e.id) + ":\n";
        for (const auto& s : e.strings)
            out += "  " + Num(s.index) + "  " + s.text + "\n";
    }
    return out;
}

std::string FormatBaseInfoJson(const BaseInfoView& v, const PlatformSettingView& setting) {
    std::string out = "{\"version\": " + Num(v.version) + ", \"os_type\": " + Num(v.os_type) +
                      ", \"os_major\": " + Num(v.os_major) + ", \"os_minor\": " + Num(v.os_minor) +
                      ", \"flags\": " + Num(v.flags) + ", \"num_groups\": " + Num(v.num_groups) +
                      ", \"mode\": \"" + (NtMode(v) ? "nt" : "95") + "\"";
    if (setting.readable)
        out += ", \"platform_setting\": " + (setting.present ? JsonString(setting.text) : "null");
    out += ", \"tabs\": [";
    for (size_t i = 0; i < v.groups.size(); ++i) {
        const auto& g = v.groups[i];
        out += (i ? ", " : "") + std::string("{\"name\": ") + JsonString(g.name) +
               ", \"key_field\": " + Num(g.key_field) + ", \"monitored\": " + Num(g.monitored) +
               ", \"columns\": [";
        for (size_t k = 0; k < g.columns.size(); ++k)
            out += (k ? ", " : "") + std::string("{\"field_id\": ") + Num(g.columns[k].field_id) +
                   ", \"data_type\": " + Num(g.columns[k].data_type) +
                   ", \"title\": " + JsonString(g.columns[k].title) + "}";
        out += "]}";
    }
    out += "], \"signals\": [";
    for (size_t i = 0; i < v.signals.size(); ++i)
        out += (i ? ", " : "") + std::string("{\"tab\": ") + Num(v.signals[i].tab) +
               ", \"id\": " + Num(v.signals[i].id) +
               ", \"name\": " + JsonString(v.signals[i].name) + "}";
    out += "], \"enumerations\": [";
    for (size_t i = 0; i < v.enums.size(); ++i) {
        out += (i ? ", " : "") + std::string("{\"id\": ") + Num(v.enums[i].id) + ", \"strings\": [";
        for (size_t k = 0; k < v.enums[i].strings.size(); ++k)
            out += (k ? ", " : "") + std::string("{\"index\": ") +
                   Num(v.enums[i].strings[k].index) +
                   ", \"text\": " + JsonString(v.enums[i].strings[k].text) + "}";
        out += "]}";
    }
    return out + "], \"language\": " + JsonString(v.language) + "}\n";
}

int RunConfig(const std::vector<std::string>& args, ConsoleIo& io) {
    if (WantsHelp(args)) return io.Out(kConfigHelp), kExitReply;
    Request request;
    bool json = false;
    std::vector<std::string> rest;
    std::string error;
    if (!CommonOptions(args, request, json, rest, error))
        return Usage(io, "config", error, kConfigHelp);
    if (!rest.empty())
        return Usage(io, "config", "unexpected argument " + OptionShown(rest[0]), kConfigHelp);
    request.code = kGetConfiguration;
    Reply reply = io.Send(request);
    if (!Delivered(io, reply, request)) return UndeliveredExit(reply);
    if (reply.status != 0) {
        io.Err("pmconsole config: the agent answered status " + Hex32(reply.status) + "\n");
        return kExitAgentFailed;
    }
    BaseInfoView view;
    if (!DecodeBaseInfo(reply.items, io.Decoder(), &view, &error)) {
        io.Err("pmconsole config: malformed answer: " + error + "\n");
        return kExitNoReply;
    }
    const PlatformSettingView setting = io.PlatformSetting();
    io.Out(json ? FormatBaseInfoJson(view, setting) : FormatBaseInfo(view, setting));
    return kExitReply;
}

int RunKill(const std::vector<std::string>& args, ConsoleIo& io) {
    if (WantsHelp(args)) return io.Out(kKillHelp), kExitReply;
    Request request;
    bool json = false;
    std::vector<std::string> rest;
    std::string error;
    uint32_t pid = 0;
    if (!CommonOptions(args, request, json, rest, error))
        return Usage(io, "kill", error, kKillHelp);
    if (rest.size() != 1 || !ParseU32(rest[0], pid))
        return Usage(io, "kill", "needs one process id", kKillHelp);
    request.code = kSignalProcess;
    request.params = {U32Bytes(1), U32Bytes(5), U32Bytes(pid)};
    Reply reply = io.Send(request);
    if (!Delivered(io, reply, request)) return UndeliveredExit(reply);
    return ShowOutcome(io, reply, json, remote::SignalResultText(reply.status), false);
}

int RunSignal(const std::vector<std::string>& args, ConsoleIo& io) {
    if (WantsHelp(args)) return io.Out(kSignalHelp), kExitReply;
    Request request;
    bool json = false;
    std::vector<std::string> rest;
    std::string error;
    uint32_t tab = 0, signal = 0;
    if (!CommonOptions(args, request, json, rest, error))
        return Usage(io, "signal", error, kSignalHelp);
    if (rest.size() != 3 || !ParseU32(rest[0], tab) || !ServiceSignal(rest[1], signal))
        return Usage(io, "signal", "needs TAB SIGNAL NAME", kSignalHelp);
    std::string name;
    CompressedConverter convert = io.Converter();
    if (tab == 1) {
        uint32_t pid = 0;
        if (!ParseU32(rest[2], pid))
            return Usage(io, "signal", "tab 1 takes a process id", kSignalHelp);
        name = U32Bytes(pid);
    } else if (!convert || !convert(rest[2], name)) {
        io.Err("pmconsole signal: the name cannot be converted\n");
        return kExitUsage;
    }
    request.code = kSignalProcess;
    request.params = {U32Bytes(tab), U32Bytes(signal), name};
    Reply reply = io.Send(request);
    if (!Delivered(io, reply, request)) return UndeliveredExit(reply);
    return ShowOutcome(io, reply, json, remote::SignalResultText(reply.status), false);
}

int RunSvc(const std::vector<std::string>& args, ConsoleIo& io) {
    if (WantsHelp(args)) return io.Out(kSvcHelp), kExitReply;
    Request request;
    bool json = false;
    std::vector<std::string> rest;
    std::string error;
    if (!CommonOptions(args, request, json, rest, error)) return Usage(io, "svc", error, kSvcHelp);
    if (rest.size() != 2)
        return Usage(io, "svc", "needs an operation and a service name", kSvcHelp);
    const std::string& op = rest[0];
    uint32_t code = op == "start"      ? 1
                    : op == "stop"     ? 2
                    : op == "pause"    ? 3
                    : op == "continue" ? 4
                                       : 0;
    if (code == 0) return Usage(io, "svc", "unknown operation " + op, kSvcHelp);
    std::string name;
    CompressedConverter convert = io.Converter();
    if (!convert || !convert(rest[1], name)) {
        io.Err("pmconsole svc: the name cannot be converted\n");
        return kExitUsage;
    }
    request.code = kOsSpecific;
    request.params = {U32Bytes(kServiceControl), name, U32Bytes(code)};
    Reply reply = io.Send(request);
    if (!Delivered(io, reply, request)) return UndeliveredExit(reply);
    return ShowOutcome(io, reply, json, remote::ServiceStatusText(reply.status), true);
}

} // namespace pm::console
