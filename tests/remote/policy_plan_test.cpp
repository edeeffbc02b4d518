// A machine's plan from its policies: what is acted on, what is only reported, conflicts, and
// which monitors are the policies' own.
#include <gtest/gtest.h>

#include <map>

#include "shared/monitor/monitor_record.h"
#include "shared/remote/compliance.h"
#include "shared/remote/policy_plan.h"

namespace pm::remote {
namespace {

PolicyAt Make(const char* doc, uint64_t revision = 1) {
    PolicyAt p;
    PolicyError e;
    EXPECT_TRUE(ParsePolicy(doc, p.policy, e)) << PolicyErrorText(e);
    p.revision = revision;
    return p;
}

Seen Machine() {
    Seen s;
    s.services = {{"Print Spooler", "Spooler", ServiceSeen::kStopped},
                  {"Remote Registry", "RemoteRegistry", ServiceSeen::kRunning},
                  {"W3SVC", "W3SVC", ServiceSeen::kPaused},
                  {"BITS", "BITS", ServiceSeen::kChanging}};
    s.processes = {{10, "xmrig.exe"}, {11, "XMRIG.EXE"}, {12, "nc.exe"}, {13, "sqlservr.exe"}};
    return s;
}

TEST(PolicyPlan, ServicesAreCorrectedOnlyWhereThePolicySaysSo) {
    const auto doc = [](const char* correct) {
        return std::string(R"({"name": "p", "machines": "web*", "correct": )") + correct +
               R"(, "services": {"print spooler": "running", "REMOTEREGISTRY": "stopped",
                     "W3SVC": "running", "BITS": "running", "Nope": "running"}})";
    };
    Plan only = PlanFor("web1", {Make(doc("false").c_str())}, Machine());
    EXPECT_TRUE(only.actions.empty());
    ASSERT_EQ(only.reports.size(), 5u);
    const std::string text = doc("true");
    Plan fix = PlanFor("web1", {Make(text.c_str())}, Machine());
    // By key name, one step each; a service changing state is left to finish.
    ASSERT_EQ(fix.actions.size(), 3u);
    std::map<std::string, ActionKind> steps;
    for (const Action& a : fix.actions)
        steps[a.name] = a.kind;
    EXPECT_EQ(steps["Spooler"], ActionKind::kServiceStart);
    EXPECT_EQ(steps["RemoteRegistry"], ActionKind::kServiceStop);
    EXPECT_EQ(steps["W3SVC"], ActionKind::kServiceContinue);
    std::map<std::string, ItemState> states;
    for (const ItemReport& r : fix.reports)
        states[r.name] = r.state;
    EXPECT_EQ(states["BITS"], ItemState::kDrifted);
    EXPECT_EQ(states["Nope"], ItemState::kFailed);
    // Each action names the report its outcome completes.
    for (const Action& a : fix.actions) {
        ASSERT_EQ(a.reports.size(), 1u);
        EXPECT_EQ(fix.reports[a.reports[0]].state, ItemState::kDrifted);
    }
    // Another machine, or the policy disabled: nothing at all.
    EXPECT_TRUE(PlanFor("db1", {Make(text.c_str())}, Machine()).reports.empty());
    PolicyAt off = Make(text.c_str());
    off.policy.enabled = false;
    EXPECT_TRUE(PlanFor("web1", {off}, Machine()).reports.empty());
}

TEST(PolicyPlan, ConflictsAreReportedForEachPolicyAndNeverActedOn) {
    const PolicyAt a = Make(R"({"name": "a", "machines": "*", "correct": true,
        "services": {"Spooler": "running"}, "forbidden": {"NC.EXE": "kill"},
        "monitors": {"SQLSERVR.EXE": {"on": ["stop"]}}})");
    const PolicyAt b = Make(R"({"name": "b", "machines": "web1", "correct": true,
        "services": {"spooler": "stopped"}, "forbidden": {"nc.exe": "alert"},
        "monitors": {"sqlservr.exe": {"on": ["start"]}}})");
    const Plan p = PlanFor("web1", {a, b}, Machine());
    EXPECT_TRUE(p.actions.empty());
    ASSERT_EQ(p.reports.size(), 6u);
    for (const ItemReport& r : p.reports)
        EXPECT_EQ(r.state, ItemState::kConflict) << r.policy << " " << r.name;
    // Two policies that agree: one action, both reports completed by it.
    PolicyAt same = b;
    same.policy.services[0].state = ServiceWant::kRunning;
    same.policy.forbidden.clear();
    same.policy.monitors.clear();
    const Plan q = PlanFor("web1", {a, same}, Machine());
    ASSERT_EQ(q.actions.size(), 3u); // the service, NC.EXE and a's monitor, now alone
    size_t services = 0;
    for (const Action& x : q.actions)
        if (x.kind == ActionKind::kServiceStart) {
            ++services;
            EXPECT_EQ(x.reports.size(), 2u);
        }
    EXPECT_EQ(services, 1u);
}

TEST(PolicyPlan, OnlyThePoliciesOwnMonitorsAreKeptAddedOrDeleted) {
    const PolicyAt p = Make(R"({"name": "p", "machines": "*",
        "monitors": {"a.exe": {"on": ["not-started"], "start_timeout": 30},
                     "B.EXE": {}, "C.EXE": {}, "E.EXE": {"level": 3}}})");
    Seen seen = Machine();
    const uint8_t start_stop = monitor::kCondRunning | monitor::kCondTermination;
    seen.monitors = {
        {PolicyMonitorKey("A.EXE"), "A.EXE", monitor::kCondNotStarted, 30, 1}, // as wanted
        {PolicyMonitorKey("B.EXE"), "B.EXE", monitor::kCondRunning, 0, 1},     // other flags
        {7, "C.EXE", start_stop, 0, 1},                             // a person's: left alone
        {PolicyMonitorKey("OLD.EXE"), "OLD.EXE", start_stop, 0, 1}, // no policy wants it
        {PolicyMonitorKey("D.EXE") & ~kPolicyMonitorMarkMask, "D.EXE", start_stop, 0, 1}};
    const Plan plan = PlanFor("m", {p}, seen);
    std::map<std::string, Action> by;
    for (const Action& a : plan.actions)
        by[a.name] = a;
    ASSERT_EQ(by.size(), 3u);
    EXPECT_EQ(by["B.EXE"].kind, ActionKind::kMonitorReplace);
    EXPECT_EQ(by["B.EXE"].monitor.conditions, start_stop);
    EXPECT_EQ(by["E.EXE"].kind, ActionKind::kMonitorAdd);
    EXPECT_EQ(by["E.EXE"].key, PolicyMonitorKey("e.exe"));
    EXPECT_EQ(by["E.EXE"].monitor.level, 3);
    for (const ItemReport& r : plan.reports) {
        if (r.name == "C.EXE") {
            EXPECT_EQ(r.state, ItemState::kFailed);
        }
    }
    EXPECT_EQ(by["OLD.EXE"].kind, ActionKind::kMonitorDelete);
    EXPECT_TRUE(IsPolicyMonitorKey(by["OLD.EXE"].key));
    // Disabled: its monitors go and nothing else is touched.
    PolicyAt off = p;
    off.policy.enabled = false;
    const Plan gone = PlanFor("m", {off}, seen);
    ASSERT_EQ(gone.actions.size(), 3u);
    for (const Action& a : gone.actions) {
        EXPECT_EQ(a.kind, ActionKind::kMonitorDelete);
        EXPECT_NE(a.key, 7u);
    }
}

TEST(PolicyPlan, ForbiddenProcessesAreEndedOnlyWhenThePolicySaysKill) {
    const Plan plan = PlanFor("m", {Make(R"({"name": "p", "machines": "*",
        "forbidden": {"XMRIG.EXE": "kill", "NC.EXE": "alert", "GONE.EXE": "kill"}})")},
                              Machine());
    std::vector<uint32_t> killed;
    for (const Action& a : plan.actions) {
        EXPECT_EQ(a.kind, ActionKind::kKill);
        killed.push_back(a.pid);
    }
    EXPECT_EQ(killed, (std::vector<uint32_t>{10, 11})); // names compare without case
    ASSERT_EQ(plan.reports.size(), 3u);
    EXPECT_EQ(plan.reports[0].name, "GONE.EXE");
    EXPECT_EQ(plan.reports[0].state, ItemState::kCompliant);
    EXPECT_EQ(plan.reports[1].name, "NC.EXE");
    EXPECT_EQ(plan.reports[1].state, ItemState::kDrifted);
    EXPECT_EQ(plan.reports[2].state, ItemState::kDrifted);
}

TEST(PolicyPlan, AMachineStandsByItsWorstItemAndItsRecordReadsBack) {
    Compliance c;
    c.machine = "web1";
    c.time_ms = 1796698050000;
    EXPECT_EQ(Standing(c), MachineCompliance::kCompliant); // nothing asked of it
    c.items = PlanFor("web1", {Make(R"({"name": "p", "machines": "*",
        "forbidden": {"NC.EXE": "alert", "GONE.EXE": "kill"}})")},
                      Machine())
                  .reports;
    EXPECT_EQ(Standing(c), MachineCompliance::kDrifted);
    Compliance back;
    ASSERT_TRUE(ParseCompliance(ComplianceJson(c), back));
    EXPECT_EQ(ComplianceJson(back), ComplianceJson(c));
    c.items[1].state = ItemState::kConflict;
    EXPECT_EQ(Standing(c), MachineCompliance::kConflict);
    c.items[1].state = ItemState::kFailed; // a failure is drift, never compliance
    c.items[0].state = ItemState::kCompliant;
    EXPECT_EQ(Standing(c), MachineCompliance::kDrifted);
}

} // namespace
} // namespace pm::remote
