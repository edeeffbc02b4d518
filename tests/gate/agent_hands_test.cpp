// The policies' hands on a real machine, against a scripted agent: requests stay within the
// gate's own rules, a deletion by name never takes a monitor the policy does not own, and a
// monitor list that does not hold together reads as nothing seen.
#include "outside/pmgate/agent_hands.h"

#include <gtest/gtest.h>

#include "shared/base/endian.h"
#include "shared/monitor/command_buffer.h"
#include "shared/monitor/monitor_record.h"
#include "shared/remote/gate_config.h"
#include "shared/remote/operations.h"
#include "shared/text/text_string.h"
#include "tests/gate/gate_fakes.h"

namespace pm::gate {
namespace {

constexpr uint32_t kSignalProcess = 0x73124534;

std::string U32(uint32_t v) {
    std::string s(4, '\0');
    le::Store32(reinterpret_cast<uint8_t*>(&s[0]), v);
    return s;
}

std::string Record(uint32_t key, const char* name) {
    TextString s(name);
    s.Utf8ToCompressed();
    const std::vector<uint8_t> r =
        monitor::MakeRecord(key, 1, monitor::kCondRunning, 0, std::string(s.CStr()));
    return std::string(r.begin(), r.end());
}

struct Agent {
    test::ScriptedNode node;
    std::string monitor_list;
    std::vector<uint32_t> monitor_commands;
    Agent() {
        node.running = {remote::kAgentNode};
        node.answer = [this](NodeRequest& r) {
            if (r.cmd_code == 0x73124533) { // Get Updates: an empty machine
                const std::string clock = U32(1);
                r.AddResult(clock.data(), 4);
            } else if (r.cmd_code == 0x73124536) { // a monitor command
                uint32_t command = 0;
                ASSERT_TRUE(r.ParamU32(0, &command));
                monitor_commands.push_back(command);
                if (command == monitor::kCmdListAll)
                    r.AddResult(monitor_list.data(), static_cast<uint32_t>(monitor_list.size()));
            }
            r.status = 0;
        };
    }
};

TEST(AgentHands, ActsWithinTheGatesRulesAndOnlyOnThePolicysOwnMonitors) {
    Agent agent;
    const uint32_t calc = remote::PolicyMonitorKey("CALC.EXE");
    agent.monitor_list = U32(3) + Record(7, "NOTEPAD.EXE") +
                         Record(remote::PolicyMonitorKey("NOTEPAD.EXE"), "NOTEPAD.EXE") +
                         Record(calc, "CALC.EXE");
    remote::GateRules rules;
    rules.nodes = {remote::kAgentNode};
    for (uint32_t code : remote::DefaultAllowList())
        if (code != kSignalProcess) rules.allow.push_back(code);
    AgentHands hands(agent.node, rules, nullptr, 1000);
    remote::Seen seen;
    ASSERT_TRUE(hands.Observe(seen)) << hands.ObserveError();
    ASSERT_EQ(seen.monitors.size(), 3u);
    EXPECT_EQ(seen.monitors[2].exe, "CALC.EXE");
    EXPECT_EQ(seen.monitors[2].key, calc);

    // Kill is not allowed on this machine: refused before anything is sent.
    const int sent = agent.node.sent;
    remote::Action kill;
    kill.kind = remote::ActionKind::kKill;
    kill.pid = 42;
    EXPECT_NE(hands.Act(kill), "");
    EXPECT_EQ(agent.node.sent, sent);

    // The plug-in deletes the first monitor of a name: a person's comes first for NOTEPAD.EXE.
    remote::Action del;
    del.kind = remote::ActionKind::kMonitorDelete;
    del.name = "NOTEPAD.EXE";
    del.key = remote::PolicyMonitorKey("NOTEPAD.EXE");
    EXPECT_NE(hands.Act(del), "");
    del.name = "CALC.EXE";
    del.key = calc;
    EXPECT_EQ(hands.Act(del), "");
    EXPECT_EQ(agent.monitor_commands,
              (std::vector<uint32_t>{monitor::kCmdListAll, monitor::kCmdDelete}));

    // A list that says more records than it holds: nothing is taken as seen.
    agent.monitor_list = U32(2) + Record(calc, "CALC.EXE");
    remote::Seen again;
    EXPECT_FALSE(hands.Observe(again));
    EXPECT_TRUE(again.monitors.empty());
}

TEST(AgentHands, AnAgentThatIsNotExposedIsNeverAsked) {
    Agent agent;
    agent.monitor_list = U32(0);
    remote::GateRules rules;
    rules.nodes = {remote::kHostNode};
    rules.allow = remote::DefaultAllowList();
    AgentHands hands(agent.node, rules, nullptr, 1000);
    remote::Seen seen;
    EXPECT_FALSE(hands.Observe(seen));
    EXPECT_EQ(agent.node.sent, 0);
}

} // namespace
} // namespace pm::gate
