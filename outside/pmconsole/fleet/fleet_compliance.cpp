// Portable: the compliance records' reading and their words.
#include "outside/pmconsole/fleet/fleet_compliance.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "outside/pmconsole/fleet/fleet_queue.h"
#include "shared/remote/machine_pattern.h"
#include "shared/remote/policy_bucket.h"
#include "shared/remote/queue.h"
#include "shared/remote/subjects.h"

namespace pm::console {
namespace {

constexpr uint64_t kStreamNotFound = 10059;
constexpr size_t kParallelReads = 32;
// From this many keys on, one consumer reads them all (where the bus has one); below, one
// round of parallel requests takes no longer, and a cluster that does not permit the consumer
// costs no wait.
constexpr size_t kConsumerFrom = 16;

// A record stored under `key`, kept when it reads and speaks for that machine.
void Keep(const std::string& key, const std::string& data, std::mutex& hold,
          std::map<std::string, remote::Compliance>& records) {
    remote::Compliance c;
    if (!remote::IsValidMachineName(key) || !remote::ParseCompliance(data, c) || c.machine != key)
        return;
    std::lock_guard<std::mutex> lock(hold);
    records[key] = std::move(c);
}

// One stored message per machine, kParallelReads at once (the bus takes requests from many
// threads): thousands of machines one after the other would take seconds.
bool ReadEach(FleetBus& bus, const std::vector<std::string>& keys,
              std::map<std::string, remote::Compliance>& records) {
    const std::string api = std::string("$JS.API.STREAM.MSG.GET.") + remote::kComplianceStream;
    std::mutex hold;
    std::atomic<size_t> next{0};
    std::atomic<bool> lost{false};
    const auto reader = [&] {
        for (size_t i; !lost && (i = next++) < keys.size();) {
            std::string got, subject, data;
            if (!AskApi(bus, api, remote::LastBySubjectRequest(remote::ComplianceSubject(keys[i])),
                        got)) {
                lost = true;
                return;
            }
            if (remote::StoredMessage(got, subject, data)) Keep(keys[i], data, hold, records);
        }
    };
    std::vector<std::thread> readers;
    for (size_t k = 0; k < kParallelReads && k < keys.size(); ++k)
        readers.emplace_back(reader);
    for (std::thread& t : readers)
        t.join();
    return !lost;
}

// How many keys the bucket holds (its stream's subjects): the information without the list
// of them, which at 10,000 machines is a large answer to read. False when it cannot be read;
// `missing` when the bucket does not exist.
bool CountKeys(FleetBus& bus, uint64_t& keys, bool& missing, std::string& error) {
    std::string answer, description;
    uint64_t code = 0;
    if (!AskApi(bus, std::string("$JS.API.STREAM.INFO.") + remote::kComplianceStream, "", answer)) {
        error = std::string("no answer from JetStream (not permitted, or the bucket ") +
                remote::kComplianceBucket + " does not exist: pmconsole fleet setup)";
        return false;
    }
    missing = remote::ApiError(answer, description, code) && code == kStreamNotFound;
    if (missing) return true;
    if (!description.empty()) return error = description, false;
    const nlohmann::json a = nlohmann::json::parse(answer, nullptr, false);
    keys = 0;
    if (a.is_object() && a.contains("state") && a["state"].is_object()) {
        const nlohmann::json& n = a["state"].value("num_subjects", nlohmann::json());
        if (n.is_number_unsigned()) keys = n.get<uint64_t>();
    }
    return true;
}

} // namespace

bool ReadCompliance(FleetBus& bus, const std::string& pattern, ComplianceView& out,
                    std::string& error) {
    ComplianceView view;
    uint64_t count = 0;
    bool missing = false;
    if (!CountKeys(bus, count, missing, error)) return false;
    if (missing) {
        out = ComplianceView{true, {}, {}}; // never set up: no policy names any machine
        return true;
    }
    std::vector<remote::PolicyRevision> revisions;
    const remote::ApiAsk ask = [&bus](const std::string& subject, const std::string& payload,
                                      std::string& got) {
        return AskApi(bus, subject, payload, got);
    };
    if (!remote::ReadPolicies(ask, revisions, error)) return false;
    for (const remote::PolicyRevision& r : revisions) {
        remote::PolicyAt p;
        remote::PolicyError e;
        p.revision = r.revision;
        if (!remote::ParsePolicy(r.document, p.policy, e)) p.policy.name = r.name, p.revision = 0;
        view.policies.push_back(std::move(p));
    }
    // Every key's last value at once where the bus can; else (or when that fails: an older
    // cluster's permissions) key by key.
    std::mutex hold;
    const std::string prefix = remote::ComplianceSubject("");
    const AlertSink each = [&](const std::string& subject, const std::string& data) {
        if (subject.compare(0, prefix.size(), prefix) == 0) {
            const std::string key = subject.substr(prefix.size());
            if (remote::MachineMatches(pattern, key)) Keep(key, data, hold, view.records);
        }
        return true;
    };
    // Names without a wildcard: those keys alone.
    const bool names = !pattern.empty() && pattern.find_first_of("*?") == std::string::npos;
    std::string ignored;
    if (names) {
        std::vector<std::string> keys;
        for (size_t at = 0; at <= pattern.size();) {
            const size_t end = std::min(pattern.find(',', at), pattern.size());
            keys.push_back(pattern.substr(at, end - at));
            at = end + 1;
        }
        if (!ReadEach(bus, keys, view.records)) {
            error = "JetStream stopped answering";
            return false;
        }
    } else if (count < kConsumerFrom ||
               !bus.ReadLastValues(remote::kComplianceStream, prefix + ">", each, ignored)) {
        view.records.clear();
        std::string answer, description;
        uint64_t code = 0;
        std::vector<std::string> keys;
        if (!AskApi(bus, std::string("$JS.API.STREAM.INFO.") + remote::kComplianceStream,
                    remote::BucketKeysRequest(remote::kComplianceBucket), answer) ||
            remote::ApiError(answer, description, code) ||
            !remote::ReadBucketKeys(answer, remote::kComplianceBucket, keys)) {
            error = description.empty() ? "JetStream stopped answering" : description;
            return false;
        }
        keys.erase(std::remove_if(
                       keys.begin(), keys.end(),
                       [&](const std::string& m) { return !remote::MachineMatches(pattern, m); }),
                   keys.end());
        if (!ReadEach(bus, keys, view.records)) {
            error = "JetStream stopped answering";
            return false;
        }
    }
    view.read = true;
    out = std::move(view);
    return true;
}

MachineStanding StandingOf(const std::string& machine,
                           const std::vector<remote::PolicyAt>& policies,
                           const remote::Compliance* record, uint64_t now_ms,
                           const std::string& only) {
    MachineStanding s;
    std::vector<remote::PolicyAt> asked;
    bool has_items = false;
    for (const remote::PolicyAt& p : policies)
        if (p.revision != 0 && p.policy.enabled && (only.empty() || p.policy.name == only) &&
            remote::MachineMatches(p.policy.machines, machine)) {
            asked.push_back(p);
            has_items = has_items || !p.policy.services.empty() || !p.policy.monitors.empty() ||
                        !p.policy.forbidden.empty();
        }
    const uint64_t interval_ms = remote::ShortestIntervalMs(machine, asked);
    if (interval_ms == 0) return s;
    if (record == nullptr) {
        s.standing = Standing::kNotReporting;
        return s;
    }
    s.time_ms = record->time_ms;
    if (record->time_ms + 3 * interval_ms < now_ms) {
        s.standing = Standing::kStale;
        return s;
    }
    for (const remote::ItemReport& r : record->items) {
        const bool named = std::any_of(asked.begin(), asked.end(), [&](const remote::PolicyAt& p) {
            return p.policy.name == r.policy;
        });
        if (!named) continue;
        s.items.push_back(r);
        switch (r.state) {
        case remote::ItemState::kCompliant:
            ++s.compliant;
            break;
        case remote::ItemState::kDrifted:
            ++s.drifted;
            break;
        case remote::ItemState::kConflict:
            ++s.conflicts;
            break;
        case remote::ItemState::kFailed:
            ++s.failed;
            break;
        }
    }
    s.standing = s.conflicts > 0                ? Standing::kConflict
                 : s.failed > 0                 ? Standing::kFailed
                 : s.drifted > 0                ? Standing::kDrifted
                 : s.items.empty() && has_items ? Standing::kNotReporting
                                                : Standing::kCompliant;
    return s;
}

MachineStanding StandingOf(const std::string& machine, const ComplianceView& view, uint64_t now_ms,
                           const std::string& only) {
    const auto it = view.records.find(machine);
    return StandingOf(machine, view.policies, it == view.records.end() ? nullptr : &it->second,
                      now_ms, only);
}

const char* StandingWord(Standing s) {
    switch (s) {
    case Standing::kNone:
        return "none";
    case Standing::kCompliant:
        return "compliant";
    case Standing::kDrifted:
        return "drifted";
    case Standing::kFailed:
        return "failed";
    case Standing::kConflict:
        return "conflict";
    case Standing::kNotReporting:
        return "not reporting";
    case Standing::kStale:
        return "stale";
    }
    return "?";
}

std::string StandingText(const MachineStanding& s) {
    switch (s.standing) {
    case Standing::kNone:
        return "-";
    case Standing::kCompliant:
    case Standing::kNotReporting:
    case Standing::kStale:
        return StandingWord(s.standing);
    default:
        break;
    }
    std::string out;
    const auto add = [&out](size_t n, const char* one, const char* many) {
        if (n == 0) return;
        out += (out.empty() ? "" : ", ") + std::to_string(n) + " " + (n == 1 ? one : many);
    };
    add(s.conflicts, "conflict", "conflicts");
    add(s.failed, "failed", "failed");
    add(s.drifted, "drifted", "drifted");
    return out;
}

std::string ItemWords(const remote::ItemReport& r) {
    return std::string(remote::ItemKindText(r.kind)) + " " + r.name + " " +
           remote::ItemStateText(r.state) + ": " + r.saw + (r.did.empty() ? "" : "; " + r.did);
}

} // namespace pm::console
