// Forwarding the console's monitor command to the monitor host, through a node over the fake
// messaging library.
#include <gtest/gtest.h>

#include "procman/w32/process_list/proc_mon_cmd.h"
#include "shared/monitor/forwarded_command.h"
#include "tests/node/node_fixture.h"

namespace pm::test {
namespace {

constexpr uint32_t kTimedOut = 0xFFFF0002u;

// A node whose only handler forwards, as "ProcMgr" does for code 0x73124536.
class ForwardingNode : public ServiceNode {
public:
    ForwardingNode(MessagingLibrary& l, NodePlatform& p) : ServiceNode("ProcMgr", 0, l, p) {}
    int CommandReceived(Command& c) override {
        ForwardToMonitor(*this, c);
        return 1;
    }
};

struct Seen {
    uint8_t type;
    std::string addressee;
    uint32_t value, seq_no;
    std::vector<Bytes> items;
};

Seen Read(const Bytes& m) {
    msg::MessageView v;
    EXPECT_EQ(msg::CheckHeader(m.data(), m.size(), msg::AddresseeRule::kAnyString, &v),
              msg::HeaderCheck::kOk);
    Seen s{v.type, v.addressee ? v.addressee : "", v.value, v.seq_no, {}};
    const uint8_t* p = v.data;
    for (uint16_t i = 0; i < v.item_count; ++i) {
        s.items.emplace_back(p, p + v.ItemSize(i));
        p += v.ItemSize(i);
    }
    return s;
}

class ProcMonCmdTest : public NodeFixture {
protected:
    Bytes ConsoleRequest(const std::string& param0) {
        return Packed(0, "console-1", "ProcMgr", 0x73124536, 77, {param0});
    }
};

TEST_F(ProcMonCmdTest, HostReplyCarriesStatusAndFirstItem) {
    ForwardingNode node(library, platform);
    Deliver(node, ConsoleRequest("0123456789"));
    ASSERT_EQ(fake.enqueued.size(), 1u); // only the forwarded request so far
    Seen fwd = Read(fake.enqueued[0]);
    EXPECT_EQ(fwd.type, 0);
    EXPECT_EQ(fwd.value, 0x10Du);
    EXPECT_EQ(fwd.addressee, "KAVMonitorClientNC");
    // The plug-in's parameter and the console's parameter 0 wrapped (their layout is checked
    // byte for byte in forwarded_command_test).
    const std::vector<std::string> wrapped = monitor::WrapForwarded("0123456789");
    ASSERT_EQ(fwd.items.size(), 2u);
    EXPECT_EQ(fwd.items[0], Bytes(wrapped[0].begin(), wrapped[0].end()));
    EXPECT_EQ(fwd.items[1], Bytes(wrapped[1].begin(), wrapped[1].end()));
    // The host answers status 5 with a 3-byte item and a second one that is not passed on.
    Deliver(node, Packed(1, "KAVMonitorClientNC", "ProcMgr", 5, fwd.seq_no, {"abc", "zz"}));
    ASSERT_EQ(fake.enqueued.size(), 2u);
    Seen reply = Read(fake.enqueued[1]);
    EXPECT_EQ(reply.value, 5u);
    EXPECT_EQ(reply.seq_no, 77u);
    ASSERT_EQ(reply.items.size(), 1u);
    EXPECT_EQ(reply.items[0], (Bytes{'a', 'b', 'c'}));
}

TEST_F(ProcMonCmdTest, SilentHostTimesOutAfterFifteenSeconds) {
    ForwardingNode node(library, platform);
    Deliver(node, ConsoleRequest("x"));
    for (int i = 0; i < 15; ++i)
        Tick(node, 1000);
    EXPECT_EQ(fake.enqueued.size(), 1u); // exactly 15000 ms: still waiting
    Tick(node, 1);
    ASSERT_EQ(fake.enqueued.size(), 2u);
    // To the console, sent from the tick once the queue lock is let go.
    Seen reply = Read(fake.enqueued[1]);
    EXPECT_EQ(reply.type, 1);
    EXPECT_EQ(reply.addressee, "console-1");
    EXPECT_EQ(reply.seq_no, 77u);
    EXPECT_EQ(reply.value, kTimedOut);
    EXPECT_TRUE(reply.items.empty());
    EXPECT_EQ(node.PendingCount(), 0u);
    EXPECT_EQ(platform.locks_held, 0);
    // A late reply is dropped.
    Deliver(node, Packed(1, "KAVMonitorClientNC", "ProcMgr", 0, Read(fake.enqueued[0]).seq_no));
    EXPECT_EQ(fake.enqueued.size(), 2u);
}

// A node that goes while the host has not answered frees both commands (LeakSanitizer).
TEST_F(ProcMonCmdTest, NodeGoneBeforeTheHostAnswersLeavesNothingBehind) {
    {
        ForwardingNode node(library, platform);
        Deliver(node, ConsoleRequest("x"));
        EXPECT_EQ(node.PendingCount(), 1u);
    }
    EXPECT_EQ(fake.enqueued.size(), 1u); // nothing answered on the way out
}

} // namespace
} // namespace pm::test
