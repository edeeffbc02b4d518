// The gate's core with a scripted local node and a recording bus: which requests reach the
// node, the reply in pieces, the statuses of what did not reply, presence and discovery.
#include <gtest/gtest.h>

#include "outside/pmgate/gate_core.h"
#include "shared/node/service_node.h"
#include "shared/remote/operations.h"
#include "shared/remote/pieces.h"
#include "shared/remote/presence.h"
#include "tests/gate/gate_fakes.h"
#include "tests/remote/remote_request.h"

namespace pm::gate {
namespace {

using test::HeaderOf;

constexpr const char* kInbox = "_INBOX.operator.x7";
constexpr const char* kUpdates = "procmgr.m1.ProcMgr.73124533";

GateSettings Settings() {
    GateSettings s;
    s.machine = "m1";
    s.gate_version = "9.9";
    s.rules = {{remote::kAgentNode, remote::kHostNode}, {0x73124533, 0x504D4801}};
    s.max_in_flight = 2;
    return s;
}

nats::Message Message(const std::string& subject, const std::string& reply,
                      const std::string& payload) {
    nats::Message m;
    m.subject = subject;
    m.reply = reply;
    m.payload = payload;
    return m;
}

// The console's update request (sequence number 7).
nats::Message UpdateRequest() {
    return Message(kUpdates, kInbox,
                   pm::test::PackRequest(remote::kAgentNode, 0x73124533, {pm::test::U32(0)}));
}

struct Gate {
    test::RecordingBus bus;
    test::ManualClock clock;
    test::ScriptedNode node;
    GateCore core{Settings(), bus, node, clock, [](const std::string&) {}};

    // The one status published to the console's inbox; -1 when there is not exactly one.
    int Status() {
        const std::vector<BusMessage> sent = bus.Take();
        if (sent.size() != 1 || sent[0].subject != kInbox || !sent[0].payload.empty()) return -1;
        return std::stoi(HeaderOf(sent[0], remote::kHeaderStatus));
    }
};

TEST(GateCore, OnlyAConsolesInboxGetsARequestForwarded) {
    Gate g;
    g.node.running = {remote::kAgentNode};
    g.node.answer = [](NodeRequest& c) { c.AddResult("ok", 2); };
    // Replies aimed at the JetStream API, at the gate's own answers, or nowhere.
    for (const char* elsewhere : {"$JS.API.STREAM.PURGE.PROCMGR_ALERTS", "procmgr.m1.acks.1", ""}) {
        nats::Message m = UpdateRequest();
        m.reply = elsewhere;
        g.core.OnMessage(m);
    }
    EXPECT_EQ(g.node.sent, 0);
    EXPECT_TRUE(g.bus.Take().empty());
    g.core.OnMessage(UpdateRequest());
    EXPECT_EQ(g.node.sent, 1);
}

TEST(GateCore, AReplyLargerThanAPieceGoesInNumberedPieces) {
    Gate g;
    g.node.running = {remote::kAgentNode};
    const std::string result(300, 'r');
    g.node.answer = [&](NodeRequest& c) {
        c.status = 0x42;
        c.AddResult(result.data(), static_cast<uint32_t>(result.size()));
    };
    g.core.OnMessage(UpdateRequest());
    const std::vector<BusMessage> one = g.bus.Take();
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(HeaderOf(one[0], remote::kHeaderPiece), "1/1");
    const std::string whole = one[0].payload;
    // Addressed back to the console, with its sequence number, the node's status and items.
    Command reply(0);
    reply.seq_no = 7;
    ASSERT_TRUE(reply.ParseReply(whole.data(), whole.size()));
    EXPECT_EQ(reply.status, 0x42);
    ASSERT_EQ(reply.GetResultCount(), 1u);
    EXPECT_EQ(reply.GetResultSize(0), result.size());

    const size_t n = whole.size();
    struct Case {
        size_t piece;
        uint32_t count;
    };
    for (const Case c : {Case{n, 1}, Case{n - 1, 2}, Case{(n + 2) / 3, 3}}) {
        SCOPED_TRACE(c.piece);
        g.bus.piece_size = c.piece;
        g.core.OnMessage(UpdateRequest());
        const std::vector<BusMessage> pieces = g.bus.Take();
        ASSERT_EQ(pieces.size(), c.count);
        remote::PieceAssembler assembler;
        remote::PieceAssembler::Result r = remote::PieceAssembler::Result::kBad;
        for (uint32_t i = 0; i < c.count; ++i) {
            const BusMessage& p = pieces[i];
            EXPECT_EQ(p.subject, kInbox);
            EXPECT_EQ(HeaderOf(p, remote::kHeaderStatus), "0");
            EXPECT_EQ(HeaderOf(p, remote::kHeaderPiece),
                      std::to_string(i + 1) + "/" + std::to_string(c.count));
            EXPECT_LE(p.payload.size(), c.piece);
            r = assembler.Add(HeaderOf(p, remote::kHeaderPiece), HeaderOf(p, remote::kHeaderSize),
                              reinterpret_cast<const uint8_t*>(p.payload.data()), p.payload.size());
        }
        ASSERT_EQ(r, remote::PieceAssembler::Result::kComplete);
        EXPECT_EQ(assembler.Reply(), whole);
    }
}

TEST(GateCore, StatusesForWhatTheNodeDidNotAnswer) {
    Gate g;
    // Not sent: a node that is not registered, or one that is (the send itself failed).
    g.node.answer = [](NodeRequest& c) { c.status = kStatusNotSent; };
    g.core.OnMessage(UpdateRequest());
    EXPECT_EQ(g.Status(), static_cast<int>(remote::GateStatus::kNodeNotRunning));
    g.node.running = {remote::kAgentNode};
    g.core.OnMessage(UpdateRequest());
    EXPECT_EQ(g.Status(), static_cast<int>(remote::GateStatus::kNoReply));

    // Held by the node: two in flight at most, the third is told "busy" at once.
    g.node.answer = nullptr;
    g.core.OnMessage(UpdateRequest());
    g.core.OnMessage(UpdateRequest());
    g.core.OnMessage(UpdateRequest());
    EXPECT_EQ(g.Status(), static_cast<int>(remote::GateStatus::kBusy));
    ASSERT_EQ(g.node.held.size(), 2u);
    EXPECT_EQ(g.core.InFlight(), 2);
    // The node's own time-out after the forwarding time-out: "no reply". A time-out status
    // the node sends back sooner is its reply, passed on.
    g.clock.now_ms += 1000;
    g.node.held[0]->status = kStatusTimedOut;
    g.node.held[0]->OnComplete();
    const std::vector<BusMessage> passed = g.bus.Take();
    ASSERT_EQ(passed.size(), 1u);
    EXPECT_EQ(HeaderOf(passed[0], remote::kHeaderStatus), "0");
    g.clock.now_ms += Settings().forward_timeout_ms;
    g.node.held[1]->status = kStatusTimedOut;
    g.node.held[1]->OnComplete();
    EXPECT_EQ(g.Status(), static_cast<int>(remote::GateStatus::kNoReply));
    EXPECT_EQ(g.core.InFlight(), 0);

    // Refused before the node: a code the rules do not allow, another machine's subject.
    g.core.OnMessage(Message("procmgr.m1.ProcMgr.73124535", kInbox,
                             pm::test::PackRequest(remote::kAgentNode, 0x73124535, {"x"})));
    EXPECT_EQ(g.Status(), static_cast<int>(remote::GateStatus::kNotForwarded));
    nats::Message other = UpdateRequest();
    other.subject = "procmgr.m2.ProcMgr.73124533";
    g.core.OnMessage(other);
    EXPECT_EQ(g.Status(), static_cast<int>(remote::GateStatus::kMalformed));
    EXPECT_EQ(g.node.sent, 4);
}

TEST(GateCore, PresenceAndDiscoveryAtMostOnceASecond) {
    Gate g;
    g.node.running = {remote::kAgentNode};
    g.clock.now_ms += 61500;
    const BusMessage hello = g.core.Hello();
    EXPECT_EQ(hello.subject, "procmgr.m1.hello");
    remote::Presence p;
    ASSERT_TRUE(remote::ParsePresence(hello.payload, p));
    EXPECT_EQ(p.kind, "hello");
    EXPECT_EQ(p.machine, "m1");
    EXPECT_EQ(p.gate_version, "9.9");
    EXPECT_TRUE(p.agent_running);
    EXPECT_EQ(p.agent_version, std::string(remote::kAgentNode) + "-version");
    EXPECT_FALSE(p.host_running);
    EXPECT_EQ(p.host_version, "");
    EXPECT_EQ(p.uptime_s, 61u);
    EXPECT_EQ(p.heartbeat_s, 30u);

    // Heartbeats only while connected.
    g.bus.connected = false;
    g.core.Beat();
    EXPECT_TRUE(g.bus.Take().empty());
    g.bus.connected = true;
    g.core.Beat();
    const std::vector<BusMessage> beat = g.bus.Take();
    ASSERT_EQ(beat.size(), 1u);
    EXPECT_EQ(beat[0].subject, "procmgr.m1.heartbeat");

    // Discovery: answered on the machine's hello subject, then not again within a second.
    const nats::Message discover = Message(remote::kDiscoverSubject, "", "{}");
    const uint64_t asked = g.clock.now_ms;
    size_t answers = 0;
    for (uint64_t at : {asked, asked, asked + 999, asked + 1000, asked + 1500, asked + 2000}) {
        g.clock.now_ms = at;
        g.core.OnMessage(discover);
        for (const BusMessage& m : g.bus.Take()) {
            EXPECT_EQ(m.subject, "procmgr.m1.hello");
            ASSERT_TRUE(remote::ParsePresence(m.payload, p));
            EXPECT_EQ(p.kind, "discover");
            ++answers;
        }
        EXPECT_EQ(answers, at < asked + 1000 ? 1u : at < asked + 2000 ? 2u : 3u) << at - asked;
    }
}

} // namespace
} // namespace pm::gate
