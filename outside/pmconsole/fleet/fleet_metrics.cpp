// Portable: the fleet's exposition text.
#include "outside/pmconsole/fleet/fleet_metrics.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "shared/monitor/host_text.h"
#include "shared/remote/queue.h"

namespace pm::console {
namespace {

// Each family's HELP and TYPE, once, before its samples.
void Family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void Sample(std::string& out, const char* name,
            std::initializer_list<std::pair<const char*, const std::string*>> labels,
            uint64_t value) {
    out += name;
    if (labels.size() > 0) {
        out += '{';
        bool first = true;
        for (const auto& [label, text] : labels) {
            if (!first) out += ',';
            first = false;
            out += label;
            out += "=\"";
            out += MetricLabel(*text);
            out += '"';
        }
        out += '}';
    }
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

// "agent not running" -> "agent_not_running".
std::string StateLabel(remote::MachineState s) {
    std::string t = remote::MachineStateText(s);
    std::replace(t.begin(), t.end(), ' ', '_');
    return t;
}

std::string CodeLabel(uint32_t code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", code);
    return buf;
}

} // namespace

std::string MetricLabel(const std::string& value) {
    return host::PrometheusLabelValue(value);
}

void AlertCounts::Add(const remote::AlertRecord& a) {
    Key key{a.machine, a.monitor, a.code};
    auto it = series_.find(key);
    if (it != series_.end()) {
        ++it->second;
    } else if (series_.size() < max_series_) {
        series_.emplace(std::move(key), 1);
    } else {
        ++beyond_;
    }
}

std::vector<PolicyStanding> Standings(const remote::Compliance& record) {
    std::map<std::string, uint64_t> by_policy;
    for (const remote::ItemReport& item : record.items) {
        uint64_t& n = by_policy[item.policy];
        if (item.state != remote::ItemState::kCompliant) ++n;
    }
    std::vector<PolicyStanding> out;
    for (const auto& [policy, n] : by_policy)
        out.push_back({record.machine, policy, n});
    return out;
}

std::string MetricsText(const FleetMetrics& m) {
    // The machines in the order a person reads them; those never heard of count as lost.
    std::vector<FleetMachine> machines = m.machines;
    for (const std::string& name : m.never_heard) {
        const bool heard =
            std::any_of(machines.begin(), machines.end(),
                        [&](const FleetMachine& f) { return f.presence.machine == name; });
        if (heard) continue;
        FleetMachine lost;
        lost.presence.machine = name;
        lost.state = remote::MachineState::kLost;
        lost.silent_ms = UINT64_MAX; // never
        machines.push_back(lost);
    }
    std::sort(machines.begin(), machines.end(), [](const FleetMachine& a, const FleetMachine& b) {
        return MachineOrder(a.presence.machine, b.presence.machine);
    });
    std::string out;
    out.reserve(256 + machines.size() * 420);

    uint64_t counts[4] = {};
    for (const FleetMachine& f : machines)
        ++counts[static_cast<size_t>(f.state)];
    Family(out, "procmgr_machines", "gauge", "Machines the console knows of, by state.");
    for (remote::MachineState s :
         {remote::MachineState::kUp, remote::MachineState::kLost,
          remote::MachineState::kAgentNotRunning, remote::MachineState::kHostNotRunning}) {
        const std::string label = StateLabel(s);
        Sample(out, "procmgr_machines", {{"state", &label}}, counts[static_cast<size_t>(s)]);
    }

    Family(out, "procmgr_machine_up", "gauge",
           "1 while the machine's gate is heard (within three heartbeats), 0 once it is lost.");
    for (const FleetMachine& f : machines)
        Sample(out, "procmgr_machine_up", {{"machine", &f.presence.machine}},
               f.state == remote::MachineState::kLost ? 0 : 1);

    Family(out, "procmgr_machine_state", "gauge",
           "1 for the machine's state: up, lost, agent_not_running or host_not_running.");
    for (const FleetMachine& f : machines) {
        const std::string state = StateLabel(f.state);
        Sample(out, "procmgr_machine_state", {{"machine", &f.presence.machine}, {"state", &state}},
               1);
    }

    Family(out, "procmgr_machine_last_heard_seconds", "gauge",
           "Seconds since the machine's gate was last heard (a hello or heartbeat).");
    for (const FleetMachine& f : machines)
        if (f.silent_ms != UINT64_MAX)
            Sample(out, "procmgr_machine_last_heard_seconds", {{"machine", &f.presence.machine}},
                   f.silent_ms / 1000);

    Family(out, "procmgr_machine_info", "gauge",
           "The versions the machine's gate last told, as labels (always 1).");
    for (const FleetMachine& f : machines)
        if (f.silent_ms != UINT64_MAX)
            Sample(out, "procmgr_machine_info",
                   {{"machine", &f.presence.machine},
                    {"gate_version", &f.presence.gate_version},
                    {"agent_version", &f.presence.agent_version},
                    {"host_version", &f.presence.host_version}},
                   1);

    Family(out, "procmgr_source_up", "gauge",
           "1 when the console could read the source the last time it asked.");
    const std::pair<const char*, bool> sources[] = {{"alerts", m.read.alerts},
                                                    {"queue", m.read.queue},
                                                    {"compliance", m.read.compliance},
                                                    {"forwarder", m.read.forwarder}};
    for (const auto& [name, up] : sources) {
        const std::string label = name;
        Sample(out, "procmgr_source_up", {{"source", &label}}, up ? 1 : 0);
    }

    if (m.alerts != nullptr) {
        Family(out, "procmgr_alerts_stored_total", "counter",
               "Alerts stored in PROCMGR_ALERTS since the console started reading (from a day "
               "before its start), by machine, monitor and code.");
        for (const auto& [key, n] : m.alerts->Series()) {
            const std::string code = CodeLabel(std::get<2>(key));
            Sample(
                out, "procmgr_alerts_stored_total",
                {{"machine", &std::get<0>(key)}, {"monitor", &std::get<1>(key)}, {"code", &code}},
                n);
        }
        Family(out, "procmgr_alerts_stored_unlabelled_total", "counter",
               "Stored alerts of label sets beyond the bound on the alert series.");
        Sample(out, "procmgr_alerts_stored_unlabelled_total", {}, m.alerts->Beyond());
    }

    if (m.read.queue) {
        Family(out, "procmgr_queued_requests", "gauge",
               "Requests waiting in PROCMGR_QUEUE for the machine (machines with none left out).");
        std::vector<std::string> names;
        for (const auto& [name, n] : m.queued)
            if (n > 0) names.push_back(name);
        std::sort(names.begin(), names.end(), MachineOrder);
        for (const std::string& name : names)
            Sample(out, "procmgr_queued_requests", {{"machine", &name}}, m.queued.at(name));
    }

    if (m.read.compliance) {
        Family(out, "procmgr_policy_compliant", "gauge",
               "1 when every item of the policy is as it says on the machine, by its latest "
               "compliance record; 0 when one drifted, failed or is in conflict.");
        for (const PolicyStanding& p : m.compliance)
            Sample(out, "procmgr_policy_compliant",
                   {{"machine", &p.machine}, {"policy", &p.policy}}, p.not_compliant == 0 ? 1 : 0);
        Family(out, "procmgr_policy_items_not_compliant", "gauge",
               "The policy's items drifted, failed or in conflict on the machine.");
        for (const PolicyStanding& p : m.compliance)
            Sample(out, "procmgr_policy_items_not_compliant",
                   {{"machine", &p.machine}, {"policy", &p.policy}}, p.not_compliant);
        Family(out, "procmgr_compliance_record_age_seconds", "gauge",
               "Seconds since the machine's gate wrote its latest compliance record.");
        for (const auto& [machine, age_ms] : m.compliance_age_ms)
            Sample(out, "procmgr_compliance_record_age_seconds", {{"machine", &machine}},
                   age_ms / 1000);
    }

    if (m.read.forwarder) {
        Family(out, "procmgr_alertmanager_lag", "gauge",
               "Alerts stored in PROCMGR_ALERTS and not yet accepted by Alertmanager (the "
               "forwarder's consumer: not delivered, or delivered and not acknowledged).");
        Sample(out, "procmgr_alertmanager_lag", {}, m.forwarder_lag);
    }
    return out;
}

std::string QueueDepthsRequest() {
    return std::string("{\"subjects_filter\":\"") + remote::kQueueWildcard + "\"}";
}

bool ReadQueueDepths(const std::string& answer, std::map<std::string, uint64_t>& out) {
    const nlohmann::json a = nlohmann::json::parse(answer, nullptr, false);
    if (!a.is_object() || !a.contains("state") || !a["state"].is_object()) return false;
    out.clear();
    const nlohmann::json& state = a["state"];
    if (!state.contains("subjects")) return true; // an empty stream lists none
    if (!state["subjects"].is_object()) return false;
    for (const auto& [subject, n] : state["subjects"].items()) {
        // procmgr.<machine>.queue
        const size_t dot = subject.find('.'), last = subject.rfind('.');
        if (!n.is_number_unsigned() || subject.compare(0, dot + 1, "procmgr.") != 0 ||
            subject.compare(last, std::string::npos, ".queue") != 0 || last <= dot + 1)
            continue;
        out[subject.substr(dot + 1, last - dot - 1)] += n.get<uint64_t>();
    }
    return true;
}

bool ReadConsumerLag(const std::string& answer, uint64_t& lag) {
    const nlohmann::json a = nlohmann::json::parse(answer, nullptr, false);
    if (!a.is_object() || !a.contains("num_pending") || !a["num_pending"].is_number_unsigned())
        return false;
    lag = a["num_pending"].get<uint64_t>();
    if (a.contains("num_ack_pending") && a["num_ack_pending"].is_number_unsigned())
        lag += a["num_ack_pending"].get<uint64_t>();
    return true;
}

} // namespace pm::console
