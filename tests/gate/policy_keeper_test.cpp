// A round of a machine's policies: what each action came to lands in the record, a machine
// that cannot be read gives no record, and a round that acted is checked again soon.
#include <gtest/gtest.h>

#include "outside/pmgate/policy_keeper.h"

namespace pm::gate {
namespace {

remote::PolicyAt Policy(const char* doc) {
    remote::PolicyAt p;
    remote::PolicyError e;
    EXPECT_TRUE(remote::ParsePolicy(doc, p.policy, e)) << remote::PolicyErrorText(e);
    p.revision = 4;
    return p;
}

TEST(PolicyKeeper, TheRecordSaysWhatEachActionCameTo) {
    remote::Seen seen;
    seen.services = {{"Print Spooler", "Spooler", remote::ServiceSeen::kStopped},
                     {"W3SVC", "W3SVC", remote::ServiceSeen::kStopped}};
    seen.processes = {{7, "XMRIG.EXE"}, {8, "xmrig.exe"}};
    bool readable = true;
    std::vector<std::string> done;
    PolicyHands hands;
    hands.observe = [&](remote::Seen& s) {
        s = seen;
        return readable;
    };
    hands.act = [&](const remote::Action& a) -> std::string {
        done.push_back(a.name + (a.pid ? std::to_string(a.pid) : ""));
        if (a.name == "W3SVC") return "access denied";
        return a.pid == 8 ? "no such process" : "";
    };
    PolicyKeeper keeper("web1", hands);
    const std::vector<remote::PolicyAt> policies = {Policy(R"({"name": "p", "machines": "web*",
        "interval": 30, "correct": true, "services": {"Spooler": "running", "W3SVC": "running"},
        "forbidden": {"XMRIG.EXE": "kill"}})")};
    remote::Compliance record;
    ASSERT_TRUE(keeper.Reconcile(policies, 1234, record));
    EXPECT_EQ(done, (std::vector<std::string>{"Spooler", "W3SVC", "XMRIG.EXE7", "XMRIG.EXE8"}));
    EXPECT_EQ(record.machine, "web1");
    EXPECT_EQ(record.time_ms, 1234u);
    ASSERT_EQ(record.items.size(), 3u);
    EXPECT_EQ(record.items[0].name, "Spooler");
    EXPECT_EQ(record.items[0].state, remote::ItemState::kDrifted);
    EXPECT_EQ(record.items[0].did, "started it");
    EXPECT_EQ(record.items[0].revision, 4u);
    EXPECT_EQ(record.items[1].state, remote::ItemState::kFailed);
    EXPECT_EQ(record.items[1].did, "could not: access denied");
    // One of the two processes would not end: the item failed, whatever the order.
    EXPECT_EQ(record.items[2].state, remote::ItemState::kFailed);
    EXPECT_EQ(keeper.NextDelayMs(policies, record), PolicyKeeper::kRecheckMs);

    // Nothing to do: the policy's interval; nothing readable: no record at all.
    seen.services[0].state = seen.services[1].state = remote::ServiceSeen::kRunning;
    seen.processes.clear();
    ASSERT_TRUE(keeper.Reconcile(policies, 1300, record));
    EXPECT_EQ(remote::Standing(record), remote::MachineCompliance::kCompliant);
    EXPECT_EQ(keeper.NextDelayMs(policies, record), 30000u);
    readable = false;
    record.time_ms = 99;
    EXPECT_FALSE(keeper.Reconcile(policies, 1400, record));
    EXPECT_EQ(PolicyKeeper("db1", hands).IntervalMs(policies), 0u);
}

} // namespace
} // namespace pm::gate
