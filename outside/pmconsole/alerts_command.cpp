// Portable: the alerts command. No OS code here.
#include "outside/pmconsole/alerts_command.h"

#include <algorithm>

#include "outside/pmconsole/visible_text.h"
#include "shared/monitor/host_alerts.h"
#include "shared/base/endian.h"

namespace pm::console {

const char kAlertsHelp[] =
    "usage: pmconsole alerts [--follow] [--json] [--to NODE] [--interval MS]\n"
    "Shows the alerts the monitor host fetched from the process monitors, newest last: time\n"
    "(UTC), level, kind, process, owner and display path.\n"
    "  --follow       keep asking every --interval MS (default 1000) and show new alerts as they\n"
    "                 come, until the host stops\n"
    "  --json         one JSON object a line, as in the host's alerts log\n"
    "  --to NODE      the host's node (default KAVMonitorClientNC)\n"
    "Exit codes: 0 done, 1 the host refused the request, 2 bad usage, 3 the host is not running\n"
    "or did not answer.\n";

namespace {

std::string Line(const host::HostAlert& a) {
    std::string path;
    for (size_t i = 0; i < a.display.size(); ++i)
        path += (i ? " / " : "") + VisibleField(a.display[i]);
    std::string kind = host::KindWords(a.alert_class);
    kind.resize(std::max<size_t>(kind.size(), 15), ' ');
    return host::UtcText(a.time) + "  level " + std::to_string(a.level) + "  " + kind + "  " +
           VisibleField(a.process) + "  owner " + host::OwnerHex(a.owner) + "  " + path + "\n";
}

// One request for the alerts numbered above `after`; answers an exit code, or -1 when the
// alerts came (then `after` moves to the newest).
int FetchAndShow(const std::string& to, bool json, uint32_t& after, bool first, ConsoleIo& io) {
    Request r;
    r.code = host::kCmdListAlerts;
    r.to = to;
    r.timeout_ms = 10000;
    r.params.push_back(U32Bytes(after));
    Reply reply = io.Send(r);
    switch (reply.outcome) {
    case Reply::Outcome::kAbsentNode:
        io.Err("pmconsole: the monitor host is not running (node \"" + to +
               "\" is not registered)\n");
        return kExitNoReply;
    case Reply::Outcome::kNotSent:
        io.Err("pmconsole: the request to \"" + to + "\" was refused\n");
        return kExitNoReply;
    case Reply::Outcome::kNoReply:
        io.Err("pmconsole: no reply from the monitor host \"" + to + "\" in time\n");
        return kExitNoReply;
    case Reply::Outcome::kReply:
        break;
    default:
        return NotDelivered(io, reply, r);
    }
    if (reply.status != 0 || reply.items.empty() || reply.items[0].size() != 4) {
        io.Err("pmconsole: the monitor host answered status " + std::to_string(reply.status) +
               " without an alert list\n");
        return 1;
    }
    std::vector<host::HostAlert> alerts;
    for (size_t i = 1; i < reply.items.size(); ++i) {
        host::HostAlert a;
        if (!host::DecodeAlert(reply.items[i], &a)) {
            io.Err("pmconsole: the monitor host sent a malformed alert\n");
            return 1;
        }
        alerts.push_back(a);
    }
    after = le::Load32(reply.items[0].data());
    std::string out;
    for (const host::HostAlert& a : alerts)
        out += json ? host::AlertJson(a) + "\n" : Line(a);
    if (first && alerts.empty() && !json) out = "(no alerts)\n";
    if (!out.empty()) io.Out(out);
    return -1;
}

} // namespace

int RunAlerts(const std::vector<std::string>& args, ConsoleIo& io) {
    bool follow = false, json = false;
    std::string to = host::kHostNodeName;
    uint32_t interval = 1000;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h" || a == "/?") {
            io.Out(kAlertsHelp);
            return kExitReply;
        } else if (a == "--follow") {
            follow = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--to" && i + 1 < args.size() && !args[i + 1].empty()) {
            to = args[++i];
        } else if (a == "--interval" && i + 1 < args.size() && ParseU32(args[i + 1], interval) &&
                   interval > 0) {
            ++i;
        } else {
            io.Err("pmconsole alerts: unexpected argument: " + OptionShown(a) + "\n" + kAlertsHelp);
            return kExitUsage;
        }
    }
    uint32_t after = 0;
    int code = FetchAndShow(to, json, after, true, io);
    while (code < 0 && follow) {
        io.Wait(interval);
        code = FetchAndShow(to, json, after, false, io);
    }
    return code < 0 ? kExitReply : code;
}

} // namespace pm::console
