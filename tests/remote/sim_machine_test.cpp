// pmsim's machine behind the gate's own core: its answers are what the agent's code makes of
// the synthetic list, read back by the console's own table code.
#include <gtest/gtest.h>

#include "outside/console_model/console_tables.h"
#include "bench/fleet/pmsim/sim_machine.h"
#include "shared/node/command.h"
#include "shared/remote/operations.h"
#include "tests/console_model/agent_tables.h"
#include "tests/gate/gate_fakes.h"
#include "tests/remote/remote_request.h"

namespace pm::sim {
namespace {

// The reply's items, read as the console reads a reply to its request (sequence number 7).
std::vector<std::vector<uint8_t>> Items(const std::string& reply, int32_t& status) {
    Command c(0);
    c.seq_no = 7;
    EXPECT_TRUE(c.ParseReply(reply.data(), reply.size()));
    status = c.status;
    std::vector<std::vector<uint8_t>> items;
    for (size_t i = 0; i < c.GetResultCount(); ++i)
        items.emplace_back(c.GetResult(i), c.GetResult(i) + c.GetResultSize(i));
    return items;
}

// The gate's answer to one request: its status and, for a reply, the whole reply.
struct SimGate {
    explicit SimGate(MachineSpec spec)
        : machine(std::move(spec), std::make_shared<StringTable>()),
          core(machine.GateSettings(30), bus, machine, clock, [](const std::string&) {}) {}

    remote::GateStatus Ask(const std::string& subject, const std::string& payload,
                           std::string& reply) {
        nats::Message m;
        m.subject = subject;
        m.reply = "_INBOX.operator.1";
        m.payload = payload;
        core.OnMessage(m);
        const std::vector<gate::BusMessage> sent = bus.Take();
        remote::GateStatus status = remote::GateStatus::kMalformed;
        EXPECT_EQ(sent.size(), 1u);
        if (sent.empty() ||
            !remote::ParseGateStatus(gate::test::HeaderOf(sent[0], remote::kHeaderStatus), status))
            return status;
        reply = sent[0].payload;
        return status;
    }

    gate::test::RecordingBus bus;
    gate::test::ManualClock clock;
    SimMachine machine;
    gate::GateCore core;
};

TEST(SimMachine, UpdatesFollowTheChurn) {
    SimGate g({"sim5", 30, 5});
    const std::string subject = "procmgr.sim5.ProcMgr.73124533";
    std::string reply;
    ASSERT_EQ(g.Ask(subject, test::PackRequest("ProcMgr", 0x73124533, {test::U32(0)}), reply),
              remote::GateStatus::kReply);
    int32_t status = -1;
    console::ConsoleTables tables(&console::test::Utf8);
    std::string error;
    ASSERT_TRUE(tables.Apply(Items(reply, status), &error)) << error;
    EXPECT_EQ(status, 0);
    ASSERT_EQ(tables.Processes().size(), 30u);
    size_t apps = 0;
    for (const auto& p : tables.Processes())
        apps += p.name == "app0.exe";
    EXPECT_EQ(apps, 1u);

    // Two processes end and two start: the next update says so, and only that.
    g.machine.Churn(2);
    ASSERT_EQ(g.Ask(subject, test::PackRequest("ProcMgr", 0x73124533, {test::U32(tables.clock())}),
                    reply),
              remote::GateStatus::kReply);
    ASSERT_TRUE(tables.Apply(Items(reply, status), &error)) << error;
    EXPECT_EQ(tables.Processes().size(), 30u);
    EXPECT_EQ(tables.changes_in_last_reply(), 4u); // two ended, two new

    // A code that changes something is not let through; the monitor host is not there.
    EXPECT_EQ(g.Ask("procmgr.sim5.ProcMgr.73124535",
                    test::PackRequest("ProcMgr", 0x73124535, {"cmd\0"}), reply),
              remote::GateStatus::kNotForwarded);
    EXPECT_EQ(g.Ask("procmgr.sim5.KAVMonitorClientNC.504d4801",
                    test::PackRequest(remote::kHostNode, 0x504D4801, {test::U32(0)}), reply),
              remote::GateStatus::kNodeNotRunning);
}

TEST(SimMachine, StringTableOfAnRcFile) {
    const StringTable t = ReadStringTable("// x\nSTRINGTABLE\nBEGIN\n    101, \"Process ID\"\n"
                                          "    x\n    102, \"A, \\\"b\\\"\"\nEND\n"
                                          "STRINGTABLE\nBEGIN\n    101, \"Other\"\nEND\n");
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0], std::make_pair(101u, std::string("Process ID")));
    EXPECT_EQ(t[1].first, 102u);
}

} // namespace
} // namespace pm::sim
