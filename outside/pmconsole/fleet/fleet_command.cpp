// Portable: the `fleet` command's arguments and output.
#include "outside/pmconsole/fleet/fleet_command.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "outside/pmconsole/fleet/fleet_alerts.h"
#include "outside/pmconsole/fleet/fleet_compliance.h"
#include "outside/pmconsole/fleet/fleet_fanout.h"
#include "outside/pmconsole/fleet/fleet_machines.h"
#include "outside/pmconsole/fleet/fleet_policy.h"
#include "outside/pmconsole/fleet/fleet_queue.h"
#include "shared/remote/operations.h"
#include "shared/remote/queue.h"
#include "shared/remote/subjects.h"
#include "shared/text/json_string.h"

namespace pm::console {
namespace {

constexpr uint64_t kComplianceRereadMs = 10000;

struct FleetArgs {
    std::string pattern;
    unsigned parallel = 32;
    uint32_t timeout_s = 10;
    bool json = false, yes = false, watch = false;
    uint32_t interval_s = 5, count = 0;
    uint32_t replicas = 3; // fleet setup: one per server of a three-server cluster
    std::string where;
    DiscoveryWait wait;
    bool follow = false, live = false, wait_given = false, count_given = false;
    bool queue = false;
    std::string expire;
    std::string since;
    std::vector<std::string> command; // the console command and its own arguments
};

int Usage(ConsoleIo& io, const std::string& line) {
    io.Err("pmconsole fleet: " + line + "\n" + kFleetHelp);
    return kExitUsage;
}

// Takes the fleet's own options out of `args` (never after "--": a command line's words are
// its own); the rest is the command.
bool TakeOptions(const std::vector<std::string>& args, FleetArgs& f, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            f.command.insert(f.command.end(), args.begin() + static_cast<long>(i), args.end());
            return true;
        }
        auto number = [&](uint32_t& out, uint32_t low, uint32_t high) {
            if (i + 1 >= args.size() || !ParseU32(args[i + 1], out) || out < low || out > high) {
                error = a + " needs a number from " + std::to_string(low) + " to " +
                        std::to_string(high);
                return false;
            }
            ++i;
            return true;
        };
        // A word of its own after the option; `what` says which when it is missing.
        auto text = [&](std::string& out, const char* what) {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                error = a + " needs " + what;
                return false;
            }
            out = args[++i];
            return true;
        };
        uint32_t v = 0;
        if (a == "--machines") {
            if (i + 1 >= args.size() || !ValidMachinePattern(args[i + 1])) {
                error = "--machines needs a pattern of [a-z0-9_-], '*', '?' and ','";
                return false;
            }
            f.pattern = args[++i];
        } else if (a == "--replicas") {
            if (!number(f.replicas, 1, 5)) return false;
        } else if (a == "--parallel") {
            if (!number(v, 1, 1024)) return false;
            f.parallel = v;
        } else if (a == "--timeout") {
            if (!number(f.timeout_s, 1, 3600)) return false;
        } else if (a == "--wait") {
            if (!number(f.wait.timeout_ms, 50, 600000)) return false;
            f.wait_given = true;
        } else if (a == "--interval") {
            if (!number(f.interval_s, 1, 3600)) return false;
        } else if (a == "--count") {
            if (!number(f.count, 1, 1000000)) return false;
            f.count_given = true;
        } else if (a == "--queue") {
            f.queue = true;
        } else if (a == "--expire") {
            if (!text(f.expire, "a duration (90s, 15m, 2h, 7d)")) return false;
        } else if (a == "--where") {
            if (!text(f.where, "an executable's name")) return false;
        } else if (a == "--json") {
            f.json = true;
            f.command.push_back(a);
        } else if (a == "--follow") {
            f.follow = true;
        } else if (a == "--live") {
            f.live = true;
        } else if (a == "--since") {
            if (!text(f.since, "a time (2026-12-07T10:00:00Z, or an age: 90s, 15m, 2h, 7d)"))
                return false;
        } else if (a == "--yes") {
            f.yes = true;
        } else if (a == "--watch") {
            f.watch = true;
        } else {
            f.command.push_back(a);
        }
    }
    return true;
}

// The commands that change something: asked for confirmation, and may wait in the queue.
bool Changes(const std::string& command) {
    return command == "exec" || command == "kill" || command == "svc";
}

// The commands that may go to many machines, and what they may not be given there.
bool CheckCommand(const FleetArgs& f, std::string& error) {
    if (f.command.empty()) {
        error = "which command? list, ps, config, stats, alerts, monitors list, exec, kill, svc, "
                "pending or results";
        return false;
    }
    const std::string& c = f.command[0];
    if (c != "ps" && c != "config" && c != "stats" && c != "alerts" && c != "monitors" &&
        !Changes(c)) {
        error = "unknown fleet command: " + OptionShown(c);
        return false;
    }
    if (f.queue && !Changes(c)) {
        error = "--queue goes with fleet exec, kill and svc";
        return false;
    }
    if (!f.expire.empty() && !f.queue) {
        error = "--expire goes with --queue";
        return false;
    }
    // A queued request is stored whole, where the read-only user may read it: never one that
    // carries a password.
    if (f.queue)
        for (const std::string& a : f.command) {
            if (a == "--") break;
            if (a == "--user" || a.rfind("--user=", 0) == 0 || a.rfind("--password", 0) == 0) {
                error = "--queue does not go with --user or a password: a queued request is "
                        "stored whole and readable by every user who may list the queue";
                return false;
            }
        }
    if (c == "monitors" && (f.command.size() < 2 || f.command[1] != "list")) {
        error = "of the monitor commands only 'monitors list' goes to many machines";
        return false;
    }
    for (const std::string& a : f.command) {
        if (a == "--") break;
        if (a == "--follow" || a == "--watch") {
            error = a + " is for one machine (pmconsole " + c + " " + a + ")";
            return false;
        }
    }
    if (f.watch) {
        error = "--watch is for fleet list";
        return false;
    }
    if (!f.where.empty() && c != "ps") {
        error = "--where goes with fleet ps";
        return false;
    }
    return true;
}

bool HasWildcard(const std::string& name) {
    return name.find_first_of("*?") != std::string::npos;
}

// The matching machines that answered discovery, and the names the pattern gives without a
// wildcard (a machine that is off is then counted as not answering, not left out).
std::vector<std::string> Matching(const std::vector<FleetMachine>& known,
                                  const std::string& pattern) {
    std::vector<std::string> out;
    for (const FleetMachine& m : known)
        if (MachineMatches(pattern, m.presence.machine)) out.push_back(m.presence.machine);
    size_t start = 0;
    while (!pattern.empty()) {
        const size_t comma = pattern.find(',', start);
        const std::string one = pattern.substr(start, comma - start);
        if (!one.empty() && !HasWildcard(one) && remote::IsValidMachineName(one))
            out.push_back(one);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    std::sort(out.begin(), out.end(), MachineOrder);
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// "y" or "yes" on standard input.
bool Confirmed(ConsoleIo& io, size_t machines) {
    io.Err("run this command on " + std::to_string(machines) + " machines? [y/N] ");
    std::string line;
    for (int k = 0; k < 64; ++k) {
        const int b = io.ReadInputByte();
        if (b < 0 || b == '\n') break;
        if (b != '\r') line += static_cast<char>(b);
    }
    return line == "y" || line == "Y" || line == "yes";
}

void ShowText(ConsoleIo& io, const FanOutResult& r, bool only_found) {
    if (only_found && r.exit_code == kExitReply) {
        // ps --where: a machine that does not run it says nothing.
        std::string text;
        size_t start = 0;
        while (start < r.out.size()) {
            const size_t end = r.out.find('\n', start);
            text += r.machine + " " + r.out.substr(start, end - start) + "\n";
            if (end == std::string::npos) break;
            start = end + 1;
        }
        io.Out(text);
        return;
    }
    std::string text = "== " + r.machine + "\n" + r.out;
    if (!r.out.empty() && r.out.back() != '\n') text += "\n";
    io.Out(text);
    if (!r.err.empty()) io.Err(r.machine + ": " + r.err);
}

// Who queued: the user the servers authenticated, else the login's name where the system says
// it.
std::string QueuedBy(const FleetBus& bus) {
    if (!bus.User().empty()) return bus.User();
    for (const char* name : {"PMCONSOLE_USER", "USER", "USERNAME", "LOGNAME"}) {
        const char* v = std::getenv(name);
        if (v != nullptr && *v != '\0') return v;
    }
    return "console";
}

// The requests no one took go into the queue, one per machine; answers how many.
size_t QueueUnanswered(const FleetArgs& f, uint64_t expire_s, std::vector<FanOutResult>& results,
                       ConsoleIo& io) {
    std::random_device seed;
    std::mt19937_64 random((uint64_t{seed()} << 32) ^ seed() ^ UtcNowMs());
    size_t queued = 0;
    for (FanOutResult& r : results) {
        if (!r.unanswered) continue;
        remote::QueuedRequest q;
        q.id = remote::RequestId(random());
        q.machine = r.machine;
        q.subject = remote::SubjectForRequest(r.machine, r.request.node, r.request.code,
                                              r.request.operation);
        q.words = remote::KeptWords(f.command);
        q.by = QueuedBy(*io.Fleet());
        q.queued_ms = UtcNowMs();
        q.expires_ms = q.queued_ms + expire_s * 1000;
        q.request = r.request.message;
        std::string error;
        const int code = QueueRequest(*io.Fleet(), q, error);
        if (code != kExitReply) {
            io.Err("pmconsole fleet: " + r.machine + ": not queued: " + error + "\n");
            r.exit_code = code;
            continue;
        }
        r.queued_id = q.id;
        ++queued;
        if (f.json)
            io.Out("{\"machine\": " + JsonString(q.machine) + ", \"queued\": " + JsonString(q.id) +
                   ", \"expires\": " + JsonString(UtcText(q.expires_ms)) + "}\n");
        else
            io.Out("queued for " + q.machine + " as " + q.id + ", expires " +
                   UtcText(q.expires_ms) + "\n");
    }
    return queued;
}

int RunList(const FleetArgs& f, FleetBus& bus, ConsoleIo& io) {
    FleetView view;
    const uint64_t start = bus.NowMs();
    uint64_t impostors = 0, told = 0;
    // The compliance column's records are read while discovery waits for its answers.
    ComplianceView compliance;
    std::string compliance_error, compliance_told;
    uint64_t compliance_at = start;
    const auto read_compliance = [&] {
        if (!ReadCompliance(bus, f.pattern, compliance, compliance_error)) compliance.read = false;
    };
    std::thread reading(read_compliance);
    for (const FleetMachine& m : DiscoverMachines(bus, f.wait, &impostors))
        view.Heard(m.presence, start);
    reading.join();
    // Said once more each time it grows: somebody's login publishes in another's name.
    auto tell = [&] {
        const uint64_t now = impostors + view.Impostors();
        if (now == told) return;
        told = now;
        io.Err("pmconsole fleet list: " + std::to_string(now) +
               " presence messages in another machine's name than their subject's, ignored\n");
    };
    const auto tell_compliance = [&] {
        if (compliance.read || compliance_error == compliance_told) return;
        compliance_told = compliance_error;
        io.Err("pmconsole fleet list: no compliance shown: " + compliance_error + "\n");
    };
    auto show = [&] {
        std::vector<FleetMachine> shown;
        for (FleetMachine& m : view.Machines(bus.NowMs()))
            if (MachineMatches(f.pattern, m.presence.machine)) shown.push_back(std::move(m));
        if (f.json) {
            io.Out(FormatMachinesJson(shown, &compliance, UtcNowMs()));
        } else {
            if (f.watch) io.Out("\x1b[H\x1b[2J");
            io.Out(FormatMachines(shown, &compliance, UtcNowMs()));
        }
        return shown;
    };
    std::vector<FleetMachine> shown = show();
    tell();
    tell_compliance();
    if (!f.watch) return shown.empty() ? kExitNoSuchMachine : kExitReply;
    // The view follows the hellos and heartbeats; redrawn every interval.
    for (uint32_t round = 1; f.count == 0 || round < f.count; ++round) {
        const uint64_t until = bus.NowMs() + uint64_t{f.interval_s} * 1000;
        std::string subject, payload;
        for (uint64_t now = bus.NowMs(); now < until; now = bus.NowMs())
            if (bus.NextPresence(subject, payload, static_cast<uint32_t>(until - now)))
                view.Heard(subject, payload, bus.NowMs());
        // The records change once per policy interval (5 s at least): read again every 10 s.
        if (bus.NowMs() - compliance_at >= kComplianceRereadMs) {
            compliance_at = bus.NowMs();
            read_compliance();
        }
        show();
        tell();
        tell_compliance();
    }
    return kExitReply;
}

} // namespace

const char kFleetHelp[] =
    "usage: pmconsole fleet list [--machines PATTERN] [--json] [--watch [--interval S]\n"
    "                            [--count N]] [--wait MS]\n"
    "       pmconsole fleet ps|config|stats|alerts|monitors list|exec|kill|svc ARGS\n"
    "                       [--machines PATTERN] [--parallel N] [--timeout S] [--json] [--yes]\n"
    "       pmconsole fleet exec|kill|svc ARGS --queue [--expire DURATION] ...\n"
    "       pmconsole fleet pending|results [--machines PATTERN] [--count N] [--json]\n"
    "       pmconsole fleet ps --where NAME [--machines PATTERN] ...\n"
    "       pmconsole fleet alerts [--follow] [--since TIME] [--machines PATTERN] [--json]\n"
    "                              [--count N] [--wait MS]\n"
    "       pmconsole fleet alerts --live ...   (each machine's monitor host, asked now)\n"
    "       pmconsole fleet setup [--replicas N]   (creates the streams PROCMGR_ALERTS,\n"
    "                                PROCMGR_QUEUE and PROCMGR_RESULTS and the buckets\n"
    "                                PROCMGR_POLICIES and PROCMGR_COMPLIANCE; N copies of each,\n"
    "                                1..5, default 3; 1 for a single server)\n"
    "       pmconsole fleet policy set FILE|list|show|enable|disable|delete|history|rollback ...\n"
    "                                (the fleet's policies: fleet policy --help)\n"
    "       pmconsole fleet compliance [--machines PATTERN] [--policy NAME] [--json]\n"
    "Asks every machine on the servers (procmgr.discover), then sends the command to each\n"
    "matching one, at most N at once, and shows each machine's result under its name (or one\n"
    "JSON object per machine), then a summary line.\n"
    "  --machines P   names with '*' and '?', comma-separated (default: every machine);\n"
    "                 a name without a wildcard is asked even when it did not answer discovery\n"
    "  --parallel N   machines in flight at once (default 32, at most 1024)\n"
    "  --timeout S    each machine's wait for its reply (default 10)\n"
    "  --wait MS      how long discovery waits for answers (default 2000; it ends 300 ms after\n"
    "                 the last one)\n"
    "  --where NAME   fleet ps: the machines running NAME (case-insensitive), \"MACHINE PID "
    "NAME\"\n"
    "  --yes          fleet exec, kill or svc on more than one machine without asking\n"
    "  --queue        exec, kill, svc: for each machine no gate answered for (or whose agent\n"
    "                 is not running) the request waits in PROCMGR_QUEUE; the machine's gate\n"
    "                 runs it once when it is back, unless it expired (--expire, default 7d,\n"
    "                 at most 30d); not with exec --user (the stored request would hold the\n"
    "                 password)\n"
    "  fleet pending  what waits in the queue (the last N, --count, default 100)\n"
    "  fleet results  what the gates ran from the queue, each reply shown as the command\n"
    "                 shows a live one (started, done or expired)\n"
    "  --watch        fleet list: keep the view from the hellos and heartbeats, redrawn every\n"
    "                 S seconds (--interval, default 5); a machine silent for three heartbeats\n"
    "                 is shown lost; the compliance column read again every 10 s\n"
    "  COMPLIANCE     fleet list: from the machine's record in PROCMGR_COMPLIANCE against the\n"
    "                 enabled policies naming it: compliant, N drifted, N failed, N conflicts,\n"
    "                 not reporting (no record, or none holding their items yet), stale (a\n"
    "                 record older than three of its policies' shortest interval), - (no\n"
    "                 policy names it), ? (the records could not be read)\n"
    "  fleet alerts   the alerts the gates stored in PROCMGR_ALERTS, in order: without\n"
    "                 --since those this user has not read yet (a durable consumer), with\n"
    "                 --since TIME (2026-12-07T10:00:00Z, or an age: 90s, 15m, 2h, 7d) those\n"
    "                 stored since; --follow waits for new ones, else it ends 2 s (--wait)\n"
    "                 after the last one\n"
    "Exit codes: 0 every machine answered; else the code the others share (3 no reply,\n"
    "4 not permitted, 5 no such machine, 6 agent not running), 1 when they differ; 2 usage.\n"
    "fleet list: 0, or 5 when no machine answered.\n";

int RunFleet(const std::vector<std::string>& args, ConsoleIo& io) {
    if (!args.empty() && (args[0] == "policy" || args[0] == "compliance")) {
        const bool policy = args[0] == "policy";
        FleetBus* bus = io.Fleet();
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        if (bus == nullptr && std::find(rest.begin(), rest.end(), "--help") == rest.end()) {
            io.Err("pmconsole fleet: this console has no connection to a NATS cluster\n");
            return kExitUsage;
        }
        if (bus == nullptr) {
            io.Out(policy ? kPolicyHelp : kComplianceHelp);
            return kExitReply;
        }
        return policy ? RunPolicy(rest, *bus, io) : RunCompliance(rest, *bus, io);
    }
    for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") {
            io.Out(kFleetHelp);
            return kExitReply;
        }
    }
    FleetArgs f;
    std::string error;
    if (!TakeOptions(args, f, error)) return Usage(io, error);
    const std::string first = f.command.empty() ? std::string() : f.command[0];
    // The commands on the cluster's streams: options only, and a NATS connection.
    const bool listing = first == "pending" || first == "results";
    const bool stored = (first == "alerts" && !f.live) || first == "setup";
    FleetBus* bus = nullptr;
    if (listing || stored) {
        if (f.command.size() > 1 + (f.json ? 1 : 0))
            return Usage(io, "fleet " + first + " takes options only");
        bus = io.Fleet();
        if (bus == nullptr) {
            io.Err("pmconsole fleet: this console has no connection to a NATS cluster\n");
            return kExitUsage;
        }
    }
    if (listing) {
        StreamListing l;
        l.pattern = f.pattern;
        l.json = f.json;
        if (f.count_given) l.count = f.count;
        l.now_ms = UtcNowMs();
        return first == "pending" ? ShowPending(*bus, io, l) : ShowResults(*bus, io, l);
    }
    if (stored) {
        if (first == "setup") {
            if (!bus->SetupAlerts(f.replicas, error) ||
                !SetupQueueStreams(*bus, f.replicas, error) ||
                !SetupPolicyBucket(*bus, f.replicas, error)) {
                io.Err("pmconsole fleet setup: " + error + "\n");
                return kExitNoReply;
            }
            io.Out("streams PROCMGR_ALERTS, PROCMGR_QUEUE and PROCMGR_RESULTS and the buckets "
                   "PROCMGR_POLICIES and PROCMGR_COMPLIANCE ready\n");
            return kExitReply;
        }
        AlertsOptions o;
        o.pattern = f.pattern;
        o.json = f.json;
        o.count = f.count;
        o.reading.follow = f.follow;
        if (f.wait_given) o.reading.idle_ms = f.wait.timeout_ms;
        const uint64_t now = UtcNowMs();
        if (!f.since.empty() && !ParseSince(f.since, now, o.reading.since_ms))
            return Usage(io, "--since: not a time: " + OptionShown(f.since));
        return ShowStoredAlerts(*bus, io, o);
    }
    if (f.follow || !f.since.empty()) return Usage(io, "--follow and --since go with fleet alerts");
    const bool list = !f.command.empty() && f.command[0] == "list";
    if (list) {
        if (f.command.size() > 1 + (f.json ? 1 : 0))
            return Usage(io, "fleet list takes options only");
    } else if (!CheckCommand(f, error)) {
        return Usage(io, error);
    }
    bus = io.Fleet();
    if (bus == nullptr) {
        io.Err("pmconsole fleet: this console has no connection to a NATS cluster (--server, "
               "--conf)\n");
        return kExitUsage;
    }
    if (list) return RunList(f, *bus, io);

    const std::vector<std::string> machines = Matching(DiscoverMachines(*bus, f.wait), f.pattern);
    if (machines.empty()) {
        io.Err("pmconsole fleet: no machine matches" +
               (f.pattern.empty() ? std::string() : " " + f.pattern) + "\n");
        return kExitNoSuchMachine;
    }
    uint64_t expire_s = remote::kDefaultExpireSeconds;
    if (!f.expire.empty() &&
        (!ParseDuration(f.expire, expire_s) || expire_s > remote::kQueueMaxAgeSeconds))
        return Usage(io, "--expire: a duration up to 30d (90s, 15m, 2h, 7d), not " +
                             OptionShown(f.expire));
    if (Changes(f.command[0]) && machines.size() > 1 && !f.yes && !Confirmed(io, machines.size())) {
        io.Err("pmconsole fleet: not confirmed; nothing was sent\n");
        return kExitUsage;
    }
    FanOutOptions options;
    options.parallel = f.parallel;
    options.timeout_ms = f.timeout_s * 1000;
    options.keep_unanswered = f.queue;
    const std::vector<std::string> command = f.command;
    const std::string where = f.where;
    const uint32_t timeout_ms = options.timeout_ms;
    MachineRun run = [&](ConsoleIo& one) {
        return where.empty() ? RunConsole(command, one) : RunPsWhere(one, where, timeout_ms);
    };
    const bool json = f.json;
    std::vector<FanOutResult> results =
        FanOut(*bus, io, machines, run, options, [&](const FanOutResult& r) {
            if (json)
                io.Out(FanOutJson(r));
            else
                ShowText(io, r, !where.empty());
        });
    std::string summary = FanOutSummary(results);
    if (f.queue) {
        const size_t queued = QueueUnanswered(f, expire_s, results, io);
        summary += ", " + std::to_string(queued) + " queued";
    }
    summary += "\n";
    if (json)
        io.Err(summary);
    else
        io.Out(summary);
    // A machine whose request waits in the queue counts as done.
    for (FanOutResult& r : results)
        if (!r.queued_id.empty()) r.exit_code = kExitReply;
    return FanOutExit(results);
}

} // namespace pm::console
