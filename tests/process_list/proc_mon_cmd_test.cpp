// Forwarding the console's monitor command to the monitor host, through a node over the fake
// messaging library.
#include <gtest/gtest.h>

#include "procman/w32/process_list/proc_mon_cmd.h"
#include "shared/base/endian.h"
#include "shared/text/text_string.h"
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

TEST_F(ProcMonCmdTest, PluginParameterLayout) {
    Bytes p0 = ProcMonCmd::BuildPluginParam();
    // "TARNVEX" and "1093223018" are ASCII: one compressed byte per character.
    ASSERT_EQ(p0.size(), 25u + 7u + 10u);
    EXPECT_EQ(le::Load32(&p0[0]), 42u); // L0
    EXPECT_EQ(p0[4], 1);
    EXPECT_EQ(p0[10], 0); // "en_US" terminator at 5 + 5
    EXPECT_EQ(le::Load32(&p0[11]), 2u);
    EXPECT_EQ(le::Load32(&p0[15]), 23u);
    EXPECT_EQ(le::Load32(&p0[19]), 31u); // 24 + 7
    EXPECT_EQ(p0[30], 0);                // plug-in name terminator
    EXPECT_EQ(p0[41], 0);                // monitor id terminator
    // The texts travel in compressed unicode: decode them back.
    for (auto [at, text] :
         {std::pair<int, const char*>{23, "TARNVEX"}, {31, "1093223018"}, {5, "en_US"}}) {
        TextString t(reinterpret_cast<const char*>(&p0[at]));
        t.FromCompressedUnicode();
        EXPECT_STREQ(t.CStr(), text);
    }
}

TEST_F(ProcMonCmdTest, DataParameterWrapsTheConsoleParameter) {
    const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    Bytes p1 = ProcMonCmd::BuildDataParam(data, 10);
    ASSERT_EQ(p1.size(), 35u);
    const Bytes head = {35, 0, 0, 0, 2, 0, 0, 0, 0, 10, 0, 0, 0,
                        25, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0};
    EXPECT_EQ(Bytes(p1.begin(), p1.begin() + 25), head);
    EXPECT_EQ(Bytes(p1.begin() + 25, p1.end()), Bytes(data, data + 10));
    EXPECT_EQ(ProcMonCmd::BuildDataParam(nullptr, 0).size(), 25u);
}

TEST_F(ProcMonCmdTest, HostReplyCarriesStatusAndFirstItem) {
    ForwardingNode node(library, platform);
    Deliver(node, ConsoleRequest("0123456789"));
    ASSERT_EQ(fake.enqueued.size(), 1u); // only the forwarded request so far
    Seen fwd = Read(fake.enqueued[0]);
    EXPECT_EQ(fwd.type, 0);
    EXPECT_EQ(fwd.value, 0x10Du);
    EXPECT_EQ(fwd.addressee, "KAVMonitorClientNC");
    ASSERT_EQ(fwd.items.size(), 2u);
    EXPECT_EQ(fwd.items[1].size(), 35u);
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
