// Portable: the fleet's policies through the JetStream API.
#include "outside/pmconsole/fleet/fleet_policy.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "shared/remote/json_text.h"

#include "outside/pmconsole/console_request.h"
#include "outside/pmconsole/fleet/fleet_compliance.h"
#include "outside/pmconsole/fleet/fleet_machines.h"
#include "outside/pmconsole/fleet/fleet_queue.h"
#include "shared/remote/compliance.h"
#include "shared/remote/machine_pattern.h"
#include "shared/remote/policy.h"
#include "shared/remote/policy_bucket.h"
#include "shared/remote/queue.h"

namespace pm::console {
namespace {

using Json = nlohmann::ordered_json;
using remote::JsonText;

constexpr uint64_t kNoMessageFound = 10037;
constexpr uint64_t kWrongLastSequence = 10071;
constexpr size_t kMachinesShown = 20;

std::string Api(const char* what) {
    return std::string("$JS.API.STREAM.") + what + "." + remote::kPolicyStream;
}

class PolicyCommand {
public:
    PolicyCommand(FleetBus& bus, ConsoleIo& io, bool json) : bus_(bus), io_(io), json_(json) {}

    int Fail(int code, const std::string& line) {
        io_.Err("pmconsole fleet policy: " + line + "\n");
        return code;
    }

    int NoAnswer() {
        return Fail(kExitNoReply, "no answer from JetStream (not permitted, or the bucket " +
                                      std::string(remote::kPolicyBucket) +
                                      " does not exist: pmconsole fleet setup)");
    }

    // The last revision of a policy; the exit code when there is none.
    int Last(const std::string& name, remote::PolicyRevision& r) {
        std::string answer, description;
        uint64_t code = 0;
        if (!AskApi(bus_, Api("MSG.GET"), remote::LastBySubjectRequest(remote::PolicySubject(name)),
                    answer))
            return NoAnswer();
        if (remote::ApiError(answer, description, code))
            return code == kNoMessageFound ? Fail(kExitNoSuchMachine, "no policy " + name)
                                           : Fail(kExitNoReply, description);
        if (!remote::ReadPolicyRevision(answer, r))
            return Fail(kExitNoReply, "an unreadable answer from JetStream");
        if (r.deleted) return Fail(kExitNoSuchMachine, "no policy " + name + " (deleted)");
        return kExitReply;
    }

    // Stores a document (or, with `headers`, a marker) as the policy's next revision; with
    // `after` non-zero only while that is still the last one (no change of another console
    // is overwritten).
    int Store(const std::string& name, const std::string& document, uint64_t after,
              uint64_t& revision, const char* headers = nullptr) {
        std::string hdrs = headers != nullptr ? headers : "";
        if (after != 0) {
            if (hdrs.empty()) hdrs = "NATS/1.0\r\n\r\n";
            hdrs.insert(hdrs.size() - 2,
                        "Nats-Expected-Last-Subject-Sequence: " + std::to_string(after) + "\r\n");
        }
        std::string answer, description;
        uint64_t code = 0;
        const bool got = hdrs.empty() ? AskApi(bus_, remote::PolicySubject(name), document, answer)
                                      : bus_.AskWithHeaders(remote::PolicySubject(name), hdrs,
                                                            document, 3000, answer);
        if (!got) {
            // The servers drop a write this user may not make without a word: a bucket that
            // answers otherwise tells the two apart.
            std::string info;
            if (AskApi(bus_, std::string("$JS.API.STREAM.INFO.") + remote::kPolicyStream, "",
                       info) &&
                !remote::ApiError(info, description, code))
                return Fail(kExitNotPermitted,
                            "not stored: not permitted (only the operator may write policies)");
            return Fail(kExitNoReply, "not stored: no answer (the bucket may not exist: "
                                      "pmconsole fleet setup)");
        }
        if (remote::ApiError(answer, description, code))
            return Fail(kExitNoReply, code == kWrongLastSequence
                                          ? name + " changed meanwhile: nothing stored, try again"
                                          : "not stored: " + description);
        const nlohmann::json a = nlohmann::json::parse(answer, nullptr, false);
        const auto seq = a.is_object() ? a.find("seq") : a.end();
        if (!remote::PublishStored(answer, remote::kPolicyStream) || seq == a.end() ||
            !seq->is_number_unsigned())
            return Fail(kExitNoReply, "an unreadable answer from JetStream");
        revision = seq->get<uint64_t>();
        return kExitReply;
    }

    int Set(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) return Fail(kExitUsage, "cannot read " + path);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        remote::Policy p;
        remote::PolicyError e;
        if (!remote::ParsePolicy(text, p, e))
            return Fail(kExitUsage, path + ": " + remote::PolicyErrorText(e) + "; nothing stored");
        uint64_t revision = 0;
        if (const int code = Store(p.name, remote::PolicyJson(p), 0, revision)) return code;
        std::vector<std::string> named;
        for (const FleetMachine& m : DiscoverMachines(bus_, DiscoveryWait()))
            if (remote::MachineMatches(p.machines, m.presence.machine))
                named.push_back(m.presence.machine);
        if (json_) {
            io_.Out(JsonText(Json{{"name", p.name},
                                  {"revision", revision},
                                  {"enabled", p.enabled},
                                  {"machines", named}}) +
                    "\n");
            return kExitReply;
        }
        std::string shown;
        for (size_t i = 0; i < named.size() && i < kMachinesShown; ++i)
            shown += (i == 0 ? ": " : ", ") + named[i];
        if (named.size() > kMachinesShown)
            shown += " and " + std::to_string(named.size() - kMachinesShown) + " more";
        io_.Out(p.name + ": revision " + std::to_string(revision) + " stored" +
                (p.enabled ? "" : " (disabled)") + "; it names " + std::to_string(named.size()) +
                " machine" + (named.size() == 1 ? "" : "s") + " answering now" + shown + "\n");
        return kExitReply;
    }

    int Show(const std::string& name) {
        remote::PolicyRevision r;
        if (const int code = Last(name, r)) return code;
        const Json doc = Json::parse(r.document, nullptr, false);
        if (json_) {
            io_.Out(JsonText(Json{{"name", r.name},
                                  {"revision", r.revision},
                                  {"time", r.time},
                                  {"policy", doc}}) +
                    "\n");
        } else {
            io_.Out("# " + r.name + " revision " + std::to_string(r.revision) + ", stored " +
                    r.time + "\n" + (doc.is_discarded() ? r.document : JsonText(doc, 2)) + "\n");
        }
        return kExitReply;
    }

    // Every stored policy's last revision (deleted ones left out); false with the exit code.
    bool ReadAll(std::vector<remote::PolicyAt>& out, std::vector<remote::PolicyRevision>* raw,
                 int& code) {
        std::vector<remote::PolicyRevision> revisions;
        std::string error;
        const remote::ApiAsk ask = [this](const std::string& subject, const std::string& payload,
                                          std::string& answer) {
            return AskApi(bus_, subject, payload, answer);
        };
        code = kExitReply;
        if (!remote::ReadPolicies(ask, revisions, error))
            return (code = Fail(kExitNoReply, error)), false;
        for (remote::PolicyRevision& r : revisions) {
            remote::PolicyAt p;
            remote::PolicyError e;
            p.revision = r.revision;
            if (!remote::ParsePolicy(r.document, p.policy, e))
                p.policy.name = r.name, p.revision = 0;
            out.push_back(std::move(p));
            if (raw != nullptr) raw->push_back(std::move(r));
        }
        return true;
    }

    int List() {
        std::vector<remote::PolicyAt> all;
        std::vector<remote::PolicyRevision> raw;
        int code = kExitReply;
        if (!ReadAll(all, &raw, code)) return code;
        std::string table = Pad("NAME", 24) + Pad("REV", 6) + Pad("STATE", 10) +
                            Pad("MACHINES", 20) + Pad("INTERVAL", 10) + Pad("CORRECT", 9) +
                            "ITEMS\n";
        for (size_t i = 0; i < all.size(); ++i) {
            const remote::Policy& p = all[i].policy;
            const remote::PolicyRevision& r = raw[i];
            if (json_) {
                io_.Out(JsonText(Json{{"name", r.name},
                                      {"revision", r.revision},
                                      {"time", r.time},
                                      {"policy", Json::parse(r.document, nullptr, false)}}) +
                        "\n");
                continue;
            }
            const size_t items = p.services.size() + p.monitors.size() + p.forbidden.size();
            table += Pad(r.name, 24) + Pad(std::to_string(r.revision), 6) +
                     (all[i].revision != 0
                          ? Pad(p.enabled ? "enabled" : "disabled", 10) + Pad(p.machines, 20) +
                                Pad(std::to_string(p.interval_s) + " s", 10) +
                                Pad(p.correct ? "yes" : "no", 9) + std::to_string(items) + "\n"
                          : "unreadable\n");
        }
        if (!json_) io_.Out(table + std::to_string(all.size()) + " policies\n");
        return kExitReply;
    }

    int Compliance(const std::string& pattern, const std::string& only) {
        ComplianceView view;
        std::string error;
        if (!ReadCompliance(bus_, pattern, view, error)) return Fail(kExitNoReply, error);
        std::set<std::string> machines;
        for (const FleetMachine& m : DiscoverMachines(bus_, DiscoveryWait()))
            if (remote::MachineMatches(pattern, m.presence.machine))
                machines.insert(m.presence.machine);
        for (const auto& r : view.records)
            machines.insert(r.first);
        const uint64_t now = UtcNowMs();
        size_t counts[4] = {};
        std::string table;
        for (const std::string& machine : machines) {
            const MachineStanding s = StandingOf(machine, view, now, only);
            // Failed items count as drift here; a stale record is no report.
            size_t which = 0;
            switch (s.standing) {
            case Standing::kNone:
                continue;
            case Standing::kCompliant:
                break;
            case Standing::kDrifted:
            case Standing::kFailed:
                which = 1;
                break;
            case Standing::kConflict:
                which = 2;
                break;
            case Standing::kNotReporting:
            case Standing::kStale:
                which = 3;
                break;
            }
            ++counts[which];
            static const char* const kWords[] = {"compliant", "drifted", "conflict",
                                                 "not reporting"};
            if (json_) {
                Json line = {{"machine", machine}, {"state", kWords[which]}};
                if (s.time_ms != 0) line["time_ms"] = s.time_ms;
                std::string text = JsonText(line);
                text.pop_back(); // the items as the record writes them, after the closing brace
                io_.Out(text + ",\"items\":" + remote::ItemsJson(s.items) + "}\n");
                continue;
            }
            table += Pad(machine, 20) + kWords[which] + "\n";
            for (const remote::ItemReport& r : s.items)
                if (r.state != remote::ItemState::kCompliant)
                    table += "    " + r.policy + " rev " + std::to_string(r.revision) + ": " +
                             ItemWords(r) + "\n";
        }
        const std::string summary = std::to_string(counts[0]) + " compliant, " +
                                    std::to_string(counts[1]) + " drifted, " +
                                    std::to_string(counts[2]) + " conflicts, " +
                                    std::to_string(counts[3]) + " not reporting\n";
        if (json_)
            io_.Err(summary);
        else
            io_.Out(table + summary);
        return kExitReply;
    }

    int Enable(const std::string& name, bool enabled) {
        remote::PolicyRevision r;
        if (const int code = Last(name, r)) return code;
        remote::Policy p;
        remote::PolicyError e;
        if (!remote::ParsePolicy(r.document, p, e))
            return Fail(kExitNoReply, "revision " + std::to_string(r.revision) +
                                          " is unreadable: " + remote::PolicyErrorText(e));
        const char* word = enabled ? "enabled" : "disabled";
        uint64_t revision = r.revision;
        if (p.enabled != enabled) {
            p.enabled = enabled;
            if (const int code = Store(name, remote::PolicyJson(p), r.revision, revision))
                return code;
        }
        return Done(name, revision,
                    p.enabled == enabled && revision == r.revision ? std::string("already ") + word
                                                                   : word);
    }

    int Delete(const std::string& name) {
        remote::PolicyRevision r;
        if (const int code = Last(name, r)) return code;
        uint64_t revision = 0;
        if (const int code =
                Store(name, std::string(), r.revision, revision, remote::kPolicyDeleteHeaders))
            return code;
        return Done(name, revision, "deleted");
    }

    int History(const std::string& name) {
        std::string table = Pad("REV", 6) + Pad("STORED", 32) + "STATE\n";
        uint64_t next = 1;
        size_t count = 0;
        // The bucket keeps the last 64 revisions of a key: one more read finds the end.
        for (uint32_t k = 0; k <= remote::kPolicyHistory; ++k) {
            std::string answer, description;
            uint64_t code = 0;
            if (!AskApi(bus_, Api("MSG.GET"), remote::NextRevisionRequest(name, next), answer))
                return NoAnswer();
            if (remote::ApiError(answer, description, code)) {
                if (code == kNoMessageFound) break;
                return Fail(kExitNoReply, description);
            }
            remote::PolicyRevision r;
            if (!remote::ReadPolicyRevision(answer, r) || r.name != name || r.revision < next)
                return Fail(kExitNoReply, "an unreadable answer from JetStream");
            next = r.revision + 1;
            ++count;
            remote::Policy p;
            remote::PolicyError e;
            const std::string state = r.deleted                                ? "deleted"
                                      : !remote::ParsePolicy(r.document, p, e) ? "unreadable"
                                      : p.enabled                              ? "enabled"
                                                                               : "disabled";
            if (json_)
                io_.Out(JsonText(Json{{"name", name},
                                      {"revision", r.revision},
                                      {"time", r.time},
                                      {"state", state}}) +
                        "\n");
            else
                table += Pad(std::to_string(r.revision), 6) + Pad(r.time, 32) + state + "\n";
        }
        if (count == 0) return Fail(kExitNoSuchMachine, "no policy " + name);
        if (!json_) io_.Out(table);
        return kExitReply;
    }

    int Rollback(const std::string& name, const std::string& rev_text) {
        uint32_t rev = 0;
        if (!ParseU32(rev_text, rev) || rev == 0)
            return Fail(kExitUsage, "rollback: REV is a revision number, not " + rev_text);
        std::string answer, description;
        uint64_t code = 0;
        if (!AskApi(bus_, Api("MSG.GET"), remote::RevisionRequest(rev), answer)) return NoAnswer();
        remote::PolicyRevision r;
        if (remote::ApiError(answer, description, code) || !remote::ReadPolicyRevision(answer, r) ||
            r.name != name || r.deleted)
            return Fail(kExitNoSuchMachine, "no revision " + rev_text + " of " + name +
                                                " (fleet policy history " + name + ")");
        remote::Policy p;
        remote::PolicyError e;
        if (!remote::ParsePolicy(r.document, p, e))
            return Fail(kExitNoReply,
                        "revision " + rev_text + " is unreadable: " + remote::PolicyErrorText(e));
        uint64_t revision = 0;
        if (const int c = Store(name, remote::PolicyJson(p), 0, revision)) return c;
        return Done(name, revision, "revision " + rev_text + " restored");
    }

private:
    int Done(const std::string& name, uint64_t revision, const std::string& what) {
        if (json_)
            io_.Out(JsonText(Json{{"name", name}, {"revision", revision}, {"done", what}}) + "\n");
        else
            io_.Out(name + ": " + what + " (revision " + std::to_string(revision) + ")\n");
        return kExitReply;
    }

    FleetBus& bus_;
    ConsoleIo& io_;
    bool json_;
};

} // namespace

const char kPolicyHelp[] =
    "usage: pmconsole fleet policy set FILE | list | show NAME | enable NAME | disable NAME |\n"
    "                              delete NAME | history NAME | rollback NAME REV   [--json]\n"
    "The fleet's policies, kept in the cluster's bucket PROCMGR_POLICIES (pmconsole fleet\n"
    "setup makes it); every change is a revision, the last 64 of each policy kept. Only the\n"
    "operator may write them. A policy is a JSON document:\n"
    "  {\"name\": \"web-baseline\", \"machines\": \"web*,db0?\", \"enabled\": true,\n"
    "   \"interval\": 60, \"correct\": false,\n"
    "   \"services\": {\"Spooler\": \"running\", \"RemoteRegistry\": \"stopped\"},\n"
    "   \"monitors\": {\"SQLSERVR.EXE\": {\"on\": [\"stop\", \"not-started\"], \"start_timeout\": "
    "60}},\n"
    "   \"forbidden\": {\"XMRIG.EXE\": \"kill\", \"NC.EXE\": \"alert\"}}\n"
    "  set        checks the whole document (exit 2 with the line and key at fault, nothing\n"
    "             stored), stores it and says which machines answering now it names\n"
    "  enable, disable, delete   a new revision, only if nobody changed the policy meanwhile\n"
    "  rollback   stores revision REV's document again as the newest\n"
    "Exit codes: 0 done; 2 usage or an invalid document; 3 no answer or not stored;\n"
    "5 no such policy or revision.\n";

const char kComplianceHelp[] =
    "usage: pmconsole fleet compliance [--machines PATTERN] [--policy NAME] [--json]\n"
    "How the machines stand against the enabled policies that name them, from the records\n"
    "their gates keep in the bucket PROCMGR_COMPLIANCE: each machine compliant, drifted (an\n"
    "item not as its policy says, or one that failed), in conflict (two policies want one item\n"
    "differently), or not reporting (no record newer than three of its policies' intervals, or\n"
    "none that holds their items yet);\n"
    "the items that are not compliant below it, with what the gate saw and did; then a summary\n"
    "line (on stderr with --json, which gives one object per machine).\n";

int RunCompliance(const std::vector<std::string>& args, FleetBus& bus, ConsoleIo& io) {
    std::string pattern, only;
    bool json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            io.Out(kComplianceHelp);
            return kExitReply;
        }
        if (a == "--json") {
            json = true;
        } else if (a == "--machines" && i + 1 < args.size() &&
                   remote::ValidMachinePattern(args[i + 1])) {
            pattern = args[++i];
        } else if (a == "--policy" && i + 1 < args.size() && remote::ValidPolicyName(args[i + 1])) {
            only = args[++i];
        } else {
            io.Err("pmconsole fleet compliance: unexpected: " + OptionShown(a) + "\n" +
                   kComplianceHelp);
            return kExitUsage;
        }
    }
    return PolicyCommand(bus, io, json).Compliance(pattern, only);
}

int RunPolicy(const std::vector<std::string>& args, FleetBus& bus, ConsoleIo& io) {
    std::vector<std::string> words;
    bool json = false;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            io.Out(kPolicyHelp);
            return kExitReply;
        }
        if (a == "--json")
            json = true;
        else if (a.size() > 1 && a[0] == '-')
            return io.Err("pmconsole fleet policy: unexpected option: " + OptionShown(a) + "\n"),
                   kExitUsage;
        else
            words.push_back(a);
    }
    const std::string verb = words.empty() ? std::string() : words[0];
    const size_t wanted = verb == "list"       ? 1
                          : verb == "rollback" ? 3
                          : verb == "set" || verb == "show" || verb == "enable" ||
                                  verb == "disable" || verb == "delete" || verb == "history"
                              ? 2
                              : 0;
    if (wanted == 0 || words.size() != wanted) {
        io.Err(std::string("pmconsole fleet policy: ") +
               (wanted == 0 ? "which one? " : "wrong number of arguments\n") + kPolicyHelp);
        return kExitUsage;
    }
    if (verb != "set" && verb != "list" && !remote::ValidPolicyName(words[1])) {
        io.Err("pmconsole fleet policy: not a policy name: " + OptionShown(words[1]) + "\n");
        return kExitUsage;
    }
    PolicyCommand c(bus, io, json);
    if (verb == "set") return c.Set(words[1]);
    if (verb == "list") return c.List();
    if (verb == "show") return c.Show(words[1]);
    if (verb == "enable" || verb == "disable") return c.Enable(words[1], verb == "enable");
    if (verb == "delete") return c.Delete(words[1]);
    if (verb == "history") return c.History(words[1]);
    return c.Rollback(words[1], words[2]);
}

bool SetupPolicyBucket(FleetBus& bus, uint32_t replicas, std::string& error) {
    return MakeStream(bus, remote::kPolicyStream, remote::PolicyBucketJson(replicas), error) &&
           MakeStream(bus, remote::kComplianceStream, remote::ComplianceBucketJson(replicas),
                      error);
}

} // namespace pm::console
