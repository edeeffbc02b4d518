// The fleet's exposition text (families, labels, states, bounds), the JetStream answers it reads,
// and the stored alerts as Alertmanager alerts (labels, times, back-off, states kept firing).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "outside/pmconsole/fleet/alertmanager_alerts.h"
#include "outside/pmconsole/fleet/fleet_metrics.h"

namespace pm::console {
namespace {

FleetMachine Machine(const std::string& name, remote::MachineState state, uint64_t silent_ms) {
    FleetMachine m;
    m.presence.machine = name;
    m.presence.gate_version = "1.2.0";
    m.state = state;
    m.silent_ms = silent_ms;
    return m;
}

// name{labels} -> value, and each family's HELP and TYPE lines counted; a sample before its
// family's TYPE is kept under "" in `orphans`.
struct Parsed {
    std::map<std::string, std::string> samples;
    std::map<std::string, int> help, type;
    std::set<std::string> orphans;
};

Parsed Parse(const std::string& text) {
    Parsed p;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            ++p.help[line.substr(7, line.find(' ', 7) - 7)];
        } else if (line.rfind("# TYPE ", 0) == 0) {
            ++p.type[line.substr(7, line.find(' ', 7) - 7)];
        } else {
            const size_t space = line.rfind(' ');
            const std::string key = line.substr(0, space);
            const std::string name = key.substr(0, key.find('{'));
            if (p.type.count(name) == 0) p.orphans.insert(name);
            p.samples[key] = line.substr(space + 1);
        }
    }
    return p;
}

TEST(FleetMetricsTest, MachinesStatesAndFamilies) {
    FleetMetrics m;
    m.machines = {Machine("web10", remote::MachineState::kUp, 4000),
                  Machine("web2", remote::MachineState::kLost, 95000),
                  Machine("db1", remote::MachineState::kAgentNotRunning, 0)};
    m.never_heard = {"gone1", "web2"};
    AlertCounts alerts;
    remote::AlertRecord a;
    a.machine = "web2";
    a.monitor = "odd \"name\"\\\n.exe";
    a.code = 0x10305;
    alerts.Add(a);
    alerts.Add(a);
    m.alerts = &alerts;
    m.read.queue = true;
    m.queued = {{"web2", 3}, {"db1", 0}};
    const Parsed p = Parse(MetricsText(m));
    for (const auto& [name, n] : p.type) {
        EXPECT_EQ(n, 1) << name;
        EXPECT_EQ(p.help.count(name), 1u) << name;
    }
    EXPECT_TRUE(p.orphans.empty()) << *p.orphans.begin();
    EXPECT_EQ(p.samples.at("procmgr_machine_up{machine=\"web10\"}"), "1");
    EXPECT_EQ(p.samples.at("procmgr_machine_up{machine=\"db1\"}"), "1");
    EXPECT_EQ(p.samples.at("procmgr_machine_up{machine=\"web2\"}"), "0");
    EXPECT_EQ(p.samples.at("procmgr_machine_up{machine=\"gone1\"}"), "0");
    EXPECT_EQ(p.samples.at("procmgr_machine_state{machine=\"db1\",state=\"agent_not_running\"}"),
              "1");
    EXPECT_EQ(p.samples.at("procmgr_machines{state=\"lost\"}"), "2");
    EXPECT_EQ(p.samples.at("procmgr_machine_last_heard_seconds{machine=\"web2\"}"), "95");
    EXPECT_EQ(p.samples.count("procmgr_machine_last_heard_seconds{machine=\"gone1\"}"), 0u);
    EXPECT_EQ(p.samples.at("procmgr_alerts_stored_total{machine=\"web2\",monitor=\"odd "
                           "\\\"name\\\"\\\\\\n.exe\",code=\"0x00010305\"}"),
              "2");
    EXPECT_EQ(p.samples.at("procmgr_queued_requests{machine=\"web2\"}"), "3");
    EXPECT_EQ(p.samples.count("procmgr_queued_requests{machine=\"db1\"}"), 0u);
    // Families of sources not read are left out, not shown as zeros.
    EXPECT_EQ(p.type.count("procmgr_policy_compliant"), 0u);
    EXPECT_EQ(p.type.count("procmgr_alertmanager_lag"), 0u);
    EXPECT_EQ(p.samples.at("procmgr_source_up{source=\"queue\"}"), "1");
    EXPECT_EQ(p.samples.at("procmgr_source_up{source=\"compliance\"}"), "0");
    // Counters, and only counters, end in _total.
    for (const auto& [name, n] : p.type)
        EXPECT_EQ(name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0,
                  MetricsText(m).find("# TYPE " + name + " counter") != std::string::npos)
            << name;
}

TEST(FleetMetricsTest, AlertSeriesBoundedAndCompliancePerPolicy) {
    AlertCounts alerts(2);
    remote::AlertRecord a;
    a.machine = "m1";
    for (const char* monitor : {"a.exe", "b.exe", "c.exe", "a.exe", "c.exe"}) {
        a.monitor = monitor;
        alerts.Add(a);
    }
    EXPECT_EQ(alerts.Series().size(), 2u);
    EXPECT_EQ(alerts.Series().at({"m1", "a.exe", 0}), 2u);
    EXPECT_EQ(alerts.Beyond(), 2u);

    remote::Compliance c;
    c.machine = "m1";
    for (auto [policy, state] : {std::pair{"p1", remote::ItemState::kCompliant},
                                 std::pair{"p2", remote::ItemState::kCompliant},
                                 std::pair{"p2", remote::ItemState::kConflict},
                                 std::pair{"p2", remote::ItemState::kFailed}}) {
        remote::ItemReport r;
        r.policy = policy;
        r.state = state;
        c.items.push_back(r);
    }
    FleetMetrics m;
    m.read.compliance = true;
    m.compliance = Standings(c);
    m.compliance_age_ms["m1"] = 61500;
    const Parsed p = Parse(MetricsText(m));
    EXPECT_EQ(p.samples.at("procmgr_policy_compliant{machine=\"m1\",policy=\"p1\"}"), "1");
    EXPECT_EQ(p.samples.at("procmgr_policy_compliant{machine=\"m1\",policy=\"p2\"}"), "0");
    EXPECT_EQ(p.samples.at("procmgr_policy_items_not_compliant{machine=\"m1\",policy=\"p2\"}"),
              "2");
    EXPECT_EQ(p.samples.at("procmgr_compliance_record_age_seconds{machine=\"m1\"}"), "61");
}

TEST(FleetMetricsTest, JetStreamAnswers) {
    std::map<std::string, uint64_t> q;
    ASSERT_TRUE(ReadQueueDepths(
        R"({"config":{},"state":{"messages":5,"subjects":{"procmgr.web1.queue":4,)"
        R"("procmgr.db2.queue":1,"procmgr..queue":7,"other.x.queue":2,"procmgr.x.results.1":9}}})",
        q));
    EXPECT_EQ(q, (std::map<std::string, uint64_t>{{"web1", 4}, {"db2", 1}}));
    EXPECT_TRUE(ReadQueueDepths(R"({"state":{"messages":0}})", q));
    EXPECT_TRUE(q.empty());
    EXPECT_FALSE(ReadQueueDepths(R"({"error":{"code":404}})", q));
    uint64_t lag = 0;
    ASSERT_TRUE(
        ReadConsumerLag(R"({"name":"alertmanager","num_pending":7,"num_ack_pending":3})", lag));
    EXPECT_EQ(lag, 10u);
    EXPECT_FALSE(ReadConsumerLag(R"({"error":{"code":404,"err_code":10014}})", lag));
}

TEST(AlertmanagerTest, OptionsAndUrls) {
    ForwardOptions o;
    std::string error;
    ASSERT_TRUE(ParseForwardArgs({"alerts", "--to-alertmanager",
                                  "http://127.0.0.1:9093,https://am.example/prefix/",
                                  "--resolve-after", "2m"},
                                 o, error))
        << error;
    EXPECT_EQ(o.urls.size(), 2u);
    EXPECT_EQ(o.resolve_after_s, 120u);
    EXPECT_EQ(o.consumer, kAlertmanagerConsumer);
    std::string origin, path;
    ASSERT_TRUE(SplitAlertmanagerUrl(o.urls[1], origin, path));
    EXPECT_EQ(origin, "https://am.example");
    EXPECT_EQ(path, "/prefix/api/v2/alerts");
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"alerts", "--to-alertmanager", "ftp://x"},
          {"alerts", "--to-alertmanager", "http://"},
          {"alerts", "--to-alertmanager", "http://a:1,"},
          {"alerts", "--to-alertmanager", "http://u@evil:1"},
          {"alerts", "--to-alertmanager", "http://a:1", "--follow"},
          {"alerts", "--to-alertmanager", "http://a:1", "--resolve-after", "8d"},
          {"alerts", "--to-alertmanager", "http://a:1", "--consumer", "a.b"}}) {
        ForwardOptions x;
        EXPECT_FALSE(ParseForwardArgs(bad, x, error)) << bad.back();
    }
    EXPECT_TRUE(WantsForwarder({"alerts", "--to-alertmanager", "http://a:1"}));
    EXPECT_FALSE(WantsForwarder({"alerts", "--follow"}));
    EXPECT_FALSE(WantsForwarder({"exec", "--", "--to-alertmanager"}));
}

TEST(AlertmanagerTest, AlertLabelsAndTimes) {
    remote::AlertRecord a;
    a.machine = "web1";
    a.run = "r";
    a.seq = 7;
    a.time_ms = 1796637601000; // 2026-12-07T10:00:01Z
    a.monitor = "SQLSERVR.EXE";
    a.code = 0x20105;
    a.text = "failed to start";
    const nlohmann::json j = nlohmann::json::parse(AlertmanagerAlert(a, a.time_ms + 300000));
    EXPECT_EQ(j["labels"]["machine"], "web1");
    EXPECT_EQ(j["labels"]["monitor"], "SQLSERVR.EXE");
    EXPECT_EQ(j["labels"]["alert"], "failed_to_start");
    EXPECT_EQ(j["labels"]["severity"], "critical");
    EXPECT_EQ(j["labels"]["id"], "web1-r-7");
    EXPECT_EQ(j["annotations"]["text"], "failed to start");
    EXPECT_EQ(j["startsAt"], "2026-12-07T10:00:01Z");
    EXPECT_EQ(j["endsAt"], "2026-12-07T10:05:01Z");
    EXPECT_EQ(AlertWord(0x10405), "started");
    EXPECT_EQ(AlertWord(0x10305), "stopped");
    EXPECT_EQ(AlertWord(0x10999), "class_0x999");
    EXPECT_EQ(AlertSeverity(0x00305), "info");
    EXPECT_EQ(AlertSeverity(0x10305), "warning");
    Backoff b;
    std::vector<uint32_t> waits;
    for (int i = 0; i < 7; ++i)
        waits.push_back(b.NextMs());
    EXPECT_EQ(waits, (std::vector<uint32_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
    b.Reset();
    EXPECT_EQ(b.NextMs(), 1000u);
}

TEST(AlertmanagerTest, StateKeptFiringUntilStarted) {
    const uint64_t window = 300000, t0 = 1796637601000;
    FiringStates states(window);
    remote::AlertRecord failed;
    failed.machine = "web1";
    failed.run = "r";
    failed.seq = 1;
    failed.time_ms = t0;
    failed.monitor = "SQLSERVR.EXE";
    failed.code = 0x10105;
    // Forwarded a minute late: its end counts from now.
    EXPECT_EQ(states.Seen(failed, t0 + 60000), t0 + 60000 + window);
    EXPECT_TRUE(states.Due(t0 + 60000).empty());
    // Within half the window of its end: posted again, its end pushed on.
    const std::vector<std::string> again = states.Due(t0 + 60000 + window / 2 + 1);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(again[0])["endsAt"],
              Rfc3339(t0 + 60000 + window / 2 + 1 + window));
    // A start of another monitor, or an older one, resolves nothing; a later start does.
    remote::AlertRecord started = failed;
    started.seq = 2;
    started.code = 0x10405;
    started.monitor = "OTHER.EXE";
    started.time_ms = t0 + 500000;
    EXPECT_EQ(states.Seen(started, t0 + 500000), t0 + 500000 + window);
    started.monitor = "SQLSERVR.EXE";
    started.time_ms = t0 - 1000;
    states.Seen(started, t0 + 500000);
    EXPECT_EQ(states.Open(), 1u);
    started.time_ms = t0 + 500000;
    states.Seen(started, t0 + 500000);
    EXPECT_EQ(states.Open(), 0u);
    const std::vector<std::string> resolved = states.Due(t0 + 500000);
    ASSERT_EQ(resolved.size(), 1u);
    const nlohmann::json r = nlohmann::json::parse(resolved[0]);
    EXPECT_EQ(r["labels"]["id"], "web1-r-1");
    EXPECT_EQ(r["endsAt"], Rfc3339(t0 + 500000));
    EXPECT_TRUE(states.Due(t0 + 900000).empty());
}

} // namespace
} // namespace pm::console
