#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "node_fixture.h"
#include "shared/node/sequence_counter.h"

namespace pm {
namespace {

using test::Bytes;
using test::FakeEvent;
using test::Packed;

// Records what it was handed; optionally keeps the command for a deferred reply.
class RecordingNode : public ServiceNode {
public:
    using ServiceNode::ServiceNode;
    int CommandReceived(Command& c) override {
        ++received;
        last_code = c.cmd_code;
        last_return = c.GetReturnAddr() ? c.GetReturnAddr() : "";
        last_target = c.GetTargetAddr() ? c.GetTargetAddr() : "";
        last_params = c.GetParamCount();
        c.status = 0x20;
        c.AddResult("ok", 2);
        if (defer) {
            c.flags |= Command::kFlagDeferredReply;
            kept = &c;
        }
        return answer;
    }
    int Pulse() override {
        ++pulses;
        return pulse_answer;
    }
    int received = 0;
    uint32_t last_code = 0;
    std::string last_return, last_target;
    size_t last_params = 0;
    bool defer = false;
    Command* kept = nullptr;
    int answer = 1;
    int pulses = 0;
    int pulse_answer = 1;
};

// Counts completions and remembers the status it ended with.
class CountingCommand : public Command {
public:
    CountingCommand(uint32_t code, int* completions, int32_t* last_status)
        : Command(code), completions_(completions), last_status_(last_status) {}
    void OnComplete() override {
        ++*completions_;
        *last_status_ = status;
    }

private:
    int* completions_;
    int32_t* last_status_;
};

class ServiceNodeTest : public test::NodeFixture {};

TEST_F(ServiceNodeTest, RegistersOnceAndUnregistersOnce) {
    {
        RecordingNode node("ProcMgr", 0, library, platform);
        EXPECT_TRUE(node.IsRegistered());
        EXPECT_STREQ(node.Name(), "ProcMgr");
        EXPECT_EQ(fake.created_name, "ProcMgr");
        EXPECT_EQ(fake.node, &node);
        EXPECT_EQ(node.Unregister(), 1);
        EXPECT_FALSE(node.IsRegistered());
        EXPECT_EQ(node.Unregister(), 1);
    }
    EXPECT_EQ(fake.deleted_names, std::vector<std::string>{"ProcMgr"}); // not again when destroyed
    { RecordingNode node("N", 0, library, platform); }
    EXPECT_EQ(fake.deleted_names.back(), "N");
}

TEST_F(ServiceNodeTest, WithoutLibraryOrRefusedNotRegistered) {
    fake.create_answer = 0;
    {
        RecordingNode node("ProcMgr", 0, library, platform);
        EXPECT_FALSE(node.IsRegistered());
        EXPECT_STREQ(node.Name(), "ProcMgr");
    }
    EXPECT_TRUE(fake.deleted_names.empty());
    test::FakeMessaging absent;
    absent.present = false;
    MessagingLibrary none(absent);
    RecordingNode node("ProcMgr", 0, none, platform);
    EXPECT_FALSE(node.IsRegistered());
    EXPECT_EQ(node.Name(), nullptr);
}

TEST_F(ServiceNodeTest, RequestIsHandledAndAnswered) {
    RecordingNode node("ProcMgr", 0, library, platform);
    Deliver(node, Packed(0, "console", "ProcMgr", 0x73124533, 1234, {"abcd"}, 9));
    EXPECT_EQ(node.received, 1);
    EXPECT_EQ(node.last_code, 0x73124533u);
    EXPECT_EQ(node.last_return, "ProcMgr");
    EXPECT_EQ(node.last_target, "console");
    EXPECT_EQ(node.last_params, 1u);
    ASSERT_EQ(fake.enqueued.size(), 1u);
    const Bytes& r = fake.enqueued[0];
    msg::MessageView v;
    ASSERT_TRUE(msg::ValidateMessage(r.data(), r.size(), v));
    EXPECT_EQ(v.type, msg::kTypeReply);
    EXPECT_EQ(v.tag, 9);
    EXPECT_EQ(v.seq_no, 1234u);
    EXPECT_EQ(v.value, 0x20u);
    EXPECT_STREQ(v.sender, "ProcMgr");
    EXPECT_STREQ(v.addressee, "console");
    EXPECT_EQ(v.item_count, 1);
    EXPECT_TRUE(fake.live.empty()); // the request was released, the reply taken over
    EXPECT_EQ(platform.locks_held, 0);
    EXPECT_TRUE(platform.quits.empty());
}

TEST_F(ServiceNodeTest, HandlerAnsweringZeroEndsTheLoopOfTheRunThread) {
    RecordingNode node("ProcMgr", 0, library, platform);
    node.answer = 0;
    platform.thread_id = 5; // the thread in Run
    platform.Queue(0x200);
    platform.Queue(0x201);
    platform.on_get = [&] {
        platform.on_get = nullptr;
        platform.thread_id = 9; // the library's thread calls the handler
        Deliver(node, Packed(0, "c", "ProcMgr", 1, 1));
    };
    node.Run();
    // The quit went to the thread in Run, not to the library's thread, and the loop ended
    // without taking the second message.
    ASSERT_EQ(platform.posted.size(), 1u);
    EXPECT_EQ(platform.posted[0], std::make_pair(5u, kWmQuit));
    EXPECT_TRUE(platform.quits.empty());
    EXPECT_EQ(platform.dispatched, std::vector<uint32_t>{0x200});
}

TEST_F(ServiceNodeTest, QuitBeforeRunMakesRunReturnAtOnce) {
    RecordingNode node("ProcMgr", 0, library, platform);
    node.answer = 0;
    Deliver(node, Packed(0, "c", "ProcMgr", 1, 1));
    EXPECT_TRUE(platform.posted.empty()); // no loop yet to post to
    platform.Queue(0x200);
    node.Run();
    EXPECT_EQ(platform.get_calls, 0);
}

TEST_F(ServiceNodeTest, RefusedReplyIsReleased) {
    RecordingNode node("ProcMgr", 0, library, platform);
    fake.enqueue_answer = 0;
    Deliver(node, Packed(0, "c", "ProcMgr", 1, 1));
    EXPECT_EQ(fake.enqueued.size(), 1u);
    EXPECT_TRUE(fake.live.empty());
}

TEST_F(ServiceNodeTest, MalformedRequestIsDroppedUnhandled) {
    RecordingNode node("ProcMgr", 0, library, platform);
    Bytes b = Packed(0, "c", "ProcMgr", 1, 1, {"abc"});
    le::Store32(b.data() + b.size() - 7, 100); // item size beyond the end
    Deliver(node, b);
    EXPECT_EQ(node.received, 0);
    EXPECT_TRUE(fake.enqueued.empty());
    EXPECT_TRUE(fake.live.empty());
}

TEST_F(ServiceNodeTest, DeferredReplyLeavesOnlyWithSendReply) {
    RecordingNode node("ProcMgr", 0, library, platform);
    node.defer = true;
    Deliver(node, Packed(0, "c", "ProcMgr", 1, 55));
    EXPECT_TRUE(fake.enqueued.empty());
    ASSERT_NE(node.kept, nullptr);
    EXPECT_EQ(node.SendReply(node.kept), 1); // deletes the command
    ASSERT_EQ(fake.enqueued.size(), 1u);
    EXPECT_EQ(le::Load32(fake.enqueued[0].data() + msg::kOffSeqNo), 55u);
    EXPECT_EQ(platform.locks_held, 0);
}

TEST_F(ServiceNodeTest, SendReplyWithoutDeferredFlagDoesNothing) {
    RecordingNode node("ProcMgr", 0, library, platform);
    Command c(1);
    EXPECT_EQ(node.SendReply(&c), 0);
    EXPECT_TRUE(fake.enqueued.empty());
}

TEST_F(ServiceNodeTest, RawModeRefusesSendingAndPassesMessagesOn) {
    struct RawNode : ServiceNode {
        using ServiceNode::ServiceNode;
        void OnRawMessage(void* m, uint32_t e) override {
            ++raw;
            elapsed = e;
            ServiceNode::OnRawMessage(m, e);
        }
        int raw = 0;
        uint32_t elapsed = 0;
    } node("R", 1, library, platform);
    Command c(1);
    EXPECT_EQ(node.SendCommand(&c), 0);
    c.flags = Command::kFlagDeferredReply;
    EXPECT_EQ(node.SendReply(&c), 0);
    Deliver(node, Packed(0, "c", "R", 1, 1), 33);
    Tick(node, 10); // ticks are not passed on
    EXPECT_EQ(node.raw, 1);
    EXPECT_EQ(node.elapsed, 33u);
    EXPECT_TRUE(fake.live.empty());
}

TEST_F(ServiceNodeTest, AuthorizationRequestIsAcknowledgedWith62Bytes) {
    RecordingNode node("ProcMgr", 0, library, platform);
    // Sender 20 bytes with its terminator, addressee 10.
    const char* sender = "0123456789abcdefghi";
    const char* addressee = "ProcMgr-x"; // 9 characters, 10 bytes
    Deliver(node, Packed(2, sender, addressee, 0xDEAD, 0x01020304, {"ignored"}, 0x42));
    EXPECT_EQ(node.received, 0);
    ASSERT_EQ(fake.enqueued.size(), 1u);
    const Bytes& a = fake.enqueued[0];
    Bytes expected = {
        62,   0, 0,  0,       // msg_len = 32 + 10 + 20
        32,   0,              // hdr_len
        3,                    // type 2 with the reply bit
        0x42,                 // tag echoed
        10,   0, 32, 0,       // sender: the old addressee
        20,   0, 42, 0,       // addressee: the old sender
        0,    0,              // reserved
        0,    0, 0,  0,       // status 0
        0,    0, 0,  0, 0, 0, // item_count, size_table_off, data_off stay 0
        4,    3, 2,  1,       // seq_no echoed
    };
    expected.insert(expected.end(), addressee, addressee + 10);
    expected.insert(expected.end(), sender, sender + 20);
    EXPECT_EQ(a, expected);
    EXPECT_TRUE(fake.live.empty());
}

TEST_F(ServiceNodeTest, Type4IsAcknowledgedWithType5AndARefusedOneReleased) {
    RecordingNode node("ProcMgr", 0, library, platform);
    Deliver(node, Packed(4, "a", "b", 0, 7));
    ASSERT_EQ(fake.enqueued.size(), 1u);
    EXPECT_EQ(fake.enqueued[0][msg::kOffType], 5);
    EXPECT_EQ(fake.enqueued[0].size(), 36u);
    fake.enqueue_answer = 0;
    Deliver(node, Packed(2, "a", "b", 0, 7));
    EXPECT_TRUE(fake.live.empty());
}

TEST_F(ServiceNodeTest, OtherTypesAreDropped) {
    RecordingNode node("ProcMgr", 0, library, platform);
    for (uint8_t type : {6, 8, 0x10, 0xFE})
        Deliver(node, Packed(type, "a", "b", 0, 7));
    EXPECT_TRUE(fake.enqueued.empty());
    EXPECT_TRUE(fake.live.empty());
    EXPECT_EQ(node.received, 0);
}

TEST_F(ServiceNodeTest, AsyncSendPairsTheReplyBySequenceNumber) {
    RecordingNode node("me", 0, library, platform);
    int completions = 0;
    int32_t last = -1;
    auto* c = new CountingCommand(0x10D, &completions, &last);
    c->SetTargetAddr("KAVMonitorClientNC");
    SetNextSequenceNumber(500);
    EXPECT_EQ(node.SendCommand(c, Send::kNoWait | Send::kDeleteWhenDone), 1);
    ASSERT_EQ(fake.enqueued.size(), 1u);
    EXPECT_TRUE(fake.enqueue2_flags.empty());
    msg::MessageView v;
    ASSERT_TRUE(msg::ValidateMessage(fake.enqueued[0].data(), fake.enqueued[0].size(), v));
    EXPECT_STREQ(v.sender, "me");
    EXPECT_STREQ(v.addressee, "KAVMonitorClientNC");
    EXPECT_EQ(v.seq_no, 500u);
    EXPECT_EQ(node.PendingCount(), 1u);

    // A reply with another number is dropped; the right one completes (and deletes) it.
    Deliver(node, Packed(1, "KAVMonitorClientNC", "me", 5, 499, {"xyz"}));
    EXPECT_EQ(completions, 0);
    EXPECT_EQ(node.PendingCount(), 1u);
    // A forged reply with the right number from another node is dropped too; the node name's
    // case does not matter (the library routes names whatever their case).
    Deliver(node, Packed(1, "Intruder", "me", 6, 500, {"forged"}));
    EXPECT_EQ(completions, 0);
    EXPECT_EQ(node.PendingCount(), 1u);
    Deliver(node, Packed(1, "kavmonitorclientnc", "me", 5, 500, {"xyz"}));
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(last, 5);
    EXPECT_EQ(node.PendingCount(), 0u);
    EXPECT_TRUE(platform.posted.empty()); // nobody waits on an asynchronous send
    EXPECT_TRUE(fake.live.empty());
}

TEST_F(ServiceNodeTest, AsyncSendThroughEnqueue2) {
    RecordingNode node("me", 0, library, platform);
    int completions = 0;
    int32_t last = 0;
    auto* c = new CountingCommand(1, &completions, &last);
    EXPECT_EQ(node.SendCommand(c, Send::kNoWait | Send::kDeleteWhenDone | Send::kUseEnqueue2), 1);
    EXPECT_EQ(fake.enqueue2_flags, std::vector<int>{1});
    Tick(node, 20000); // times out and deletes it
    EXPECT_EQ(last, kStatusTimedOut);
}

TEST_F(ServiceNodeTest, TimeoutSurvivesExactly15000Ms) {
    RecordingNode node("me", 0, library, platform);
    int completions = 0;
    int32_t last = 0;
    auto* c = new CountingCommand(1, &completions, &last);
    EXPECT_EQ(c->timeout_ms, 15000u);
    ASSERT_EQ(node.SendCommand(c, Send::kNoWait | Send::kDeleteWhenDone), 1);
    for (int i = 0; i < 15; ++i)
        Tick(node, 1000);
    EXPECT_EQ(completions, 0);
    Tick(node, 0); // a tick of 0 ms takes nothing away
    EXPECT_EQ(completions, 0);
    Tick(node, 1);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(last, kStatusTimedOut);
    EXPECT_EQ(node.PendingCount(), 0u);
    EXPECT_EQ(platform.locks_held, 0);
}

TEST_F(ServiceNodeTest, GlobalTimeoutReplacesTheCommandsTimeout) {
    RecordingNode node("me", 0, library, platform);
    fake.global_timeout = 500;
    int completions = 0;
    int32_t last = 0;
    auto* c = new CountingCommand(1, &completions, &last);
    ASSERT_EQ(node.SendCommand(c, Send::kNoWait | Send::kDeleteWhenDone), 1);
    Tick(node, 500);
    EXPECT_EQ(completions, 0);
    Tick(node, 1);
    EXPECT_EQ(completions, 1);
}

TEST_F(ServiceNodeTest, RefusedSendCompletesWithNotSent) {
    RecordingNode node("me", 0, library, platform);
    fake.enqueue_answer = 0;
    int completions = 0;
    int32_t last = 0;
    auto* c = new CountingCommand(1, &completions, &last);
    EXPECT_EQ(node.SendCommand(c, Send::kNoWait | Send::kDeleteWhenDone), 1);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(last, kStatusNotSent);
    EXPECT_EQ(node.PendingCount(), 0u);
    EXPECT_TRUE(fake.live.empty());
}

// The library refuses a request that a tick has meanwhile timed out: the command completes
// once, as timed out, and the waiting sender returns.
TEST_F(ServiceNodeTest, RequestTimedOutWhileItsSendIsRefusedCompletesOnce) {
    RecordingNode node("me", 0, library, platform);
    int completions = 0;
    int32_t last = 0;
    CountingCommand c(1, &completions, &last);
    fake.enqueue_answer = 0;
    fake.on_enqueue = [&] {
        fake.on_enqueue = nullptr;
        Tick(node, 20000);
    };
    EXPECT_EQ(node.SendCommand(&c), 1);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(last, kStatusTimedOut);
    EXPECT_TRUE(platform.exits.empty());
    EXPECT_EQ(node.PendingCount(), 0u);
    EXPECT_TRUE(fake.live.empty());
}

TEST_F(ServiceNodeTest, UnregisteredOrUnbuildableSendCompletesWithNotSent) {
    int completions = 0;
    int32_t last = 0;
    {
        RecordingNode node("me", 0, library, platform);
        fake.allocation_fails = true;
        CountingCommand c(1, &completions, &last);
        EXPECT_EQ(node.SendCommand(&c), 1);
        EXPECT_EQ(last, kStatusNotSent);
        fake.allocation_fails = false;
    }
    fake.create_answer = 0;
    RecordingNode node("me", 0, library, platform);
    CountingCommand c(1, &completions, &last);
    last = 0;
    EXPECT_EQ(node.SendCommand(&c), 1);
    EXPECT_EQ(last, kStatusNotSent);
    EXPECT_EQ(completions, 2);
    EXPECT_STREQ(c.GetReturnAddr(), "me");
    EXPECT_TRUE(fake.enqueued.empty());
}

TEST_F(ServiceNodeTest, SynchronousSendPumpsUntilTheReply) {
    RecordingNode node("me", 0, library, platform);
    int completions = 0;
    int32_t last = 0;
    CountingCommand c(1, &completions, &last);
    c.SetTargetAddr("peer");
    platform.Queue(0x113); // a timer message before the reply
    platform.Queue(0x200);
    int gets = 0;
    platform.on_get = [&] {
        if (++gets == 2) Deliver(node, Packed(1, "peer", "me", 7, c.seq_no, {"r"}));
    };
    EXPECT_EQ(node.SendCommand(&c), 1);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(last, 7);
    ASSERT_EQ(c.GetResultCount(), 1u);
    // The waiting thread was woken with the reply message.
    ASSERT_EQ(platform.posted.size(), 1u);
    EXPECT_EQ(platform.posted[0].first, 77u);
    EXPECT_EQ(platform.posted[0].second, kWmReplyArrived);
    EXPECT_EQ(platform.dispatched, (std::vector<uint32_t>{0x113, 0x200}));
    EXPECT_TRUE(platform.exits.empty());
}

TEST_F(ServiceNodeTest, SynchronousSendEndsTheProcessWhenTheLoopEndsFirst) {
    RecordingNode node("me", 0, library, platform);
    int completions = 0;
    int32_t last = 0;
    CountingCommand c(1, &completions, &last);
    platform.Queue(kWmQuit);
    EXPECT_EQ(node.SendCommand(&c), 0);
    EXPECT_EQ(platform.exits, std::vector<unsigned>{1});
    EXPECT_EQ(completions, 0);
}

TEST_F(ServiceNodeTest, SynchronousSendOnAnEvent) {
    RecordingNode node("me", 0, library, platform);
    int completions = 0;
    int32_t last = 0;
    CountingCommand c(1, &completions, &last);
    c.SetTargetAddr("peer");
    FakeEvent event;
    event.set = true;
    // The fake's Wait returns at once: let the reply arrive as the message is enqueued.
    fake.enqueue_answer = 1;
    struct Hook : FakeEvent {
        std::function<void()> on_wait;
        void Wait() override {
            FakeEvent::Wait();
            on_wait();
        }
    } hooked;
    hooked.on_wait = [&] { Deliver(node, Packed(1, "peer", "me", 3, c.seq_no)); };
    EXPECT_EQ(node.SendCommand(&c, &hooked), 1);
    EXPECT_EQ(hooked.resets, 1);
    EXPECT_EQ(hooked.waits, 1);
    EXPECT_EQ(hooked.sets, 1);
    EXPECT_EQ(last, 3);
    EXPECT_TRUE(platform.exits.empty());
}

TEST_F(ServiceNodeTest, HeldRequestsAreDispatchedNewestFirstWhenAccepting) {
    RecordingNode node("ProcMgr", 0, library, platform);
    node.SetAccepting(0);
    Deliver(node, Packed(0, "c", "ProcMgr", 1, 1), 10);
    Deliver(node, Packed(0, "c", "ProcMgr", 2, 2), 20);
    EXPECT_EQ(node.received, 0);
    EXPECT_EQ(node.HeldCount(), 2u);
    node.SetAccepting(1);
    EXPECT_EQ(node.received, 2);
    EXPECT_EQ(node.last_code, 1u); // the older one went last
    EXPECT_EQ(node.HeldCount(), 0u);
    ASSERT_EQ(fake.enqueued.size(), 2u);
    EXPECT_EQ(le::Load32(fake.enqueued[0].data() + msg::kOffSeqNo), 2u);
    EXPECT_EQ(platform.locks_held, 0);
}

TEST_F(ServiceNodeTest, HeldMessagesAreReleasedWithTheNode) {
    {
        RecordingNode node("ProcMgr", 0, library, platform);
        node.SetAccepting(0);
        Deliver(node, Packed(0, "c", "ProcMgr", 1, 1));
    }
    EXPECT_TRUE(fake.live.empty());
}

TEST_F(ServiceNodeTest, PulseComesEveryInterval) {
    RecordingNode node("ProcMgr", 0, library, platform);
    Tick(node, 100000);
    EXPECT_EQ(node.pulses, 0); // no pulse without an interval
    node.SetPulseInterval(1000);
    Tick(node, 600);
    EXPECT_EQ(node.pulses, 0);
    Tick(node, 399);
    EXPECT_EQ(node.pulses, 0);
    Tick(node, 1); // not less than what remained
    EXPECT_EQ(node.pulses, 1);
    Tick(node, 999);
    EXPECT_EQ(node.pulses, 1);
    node.pulse_answer = 0;
    Tick(node, 5000);
    EXPECT_EQ(node.pulses, 2);
    platform.Queue(0x200);
    node.Run(); // the pulse asked the loop to end: it ends before taking a message
    EXPECT_EQ(platform.get_calls, 0);
}

// A timed-out request completes, and the pulse runs, with none of the node's locks held: a
// completion may send another request or reply for a forwarded command, and another thread
// must not wait on the tick's callbacks to reach the queue.
TEST_F(ServiceNodeTest, TimeOutsAndPulseRunWithoutTheNodesLocks) {
    struct PulsingNode : RecordingNode {
        using RecordingNode::RecordingNode;
        int Pulse() override {
            locks_at_pulse = held();
            return RecordingNode::Pulse();
        }
        std::function<int()> held;
        int locks_at_pulse = -1;
    } node("me", 0, library, platform);
    node.held = [&] { return platform.locks_held; };
    struct Resender : Command {
        std::function<void()> on_complete;
        Resender() : Command(1) {}
        void OnComplete() override { on_complete(); }
    };
    int locks_at_completion = -1;
    size_t pending_seen = 99;
    auto* first = new Resender;
    first->timeout_ms = 100;
    first->on_complete = [&] {
        locks_at_completion = platform.locks_held;
        // Another thread asks for the queue meanwhile: it must not wait for this callback
        // (asked only when no lock is held, so that a fault fails rather than hangs).
        if (locks_at_completion == 0)
            std::thread([&] { pending_seen = node.PendingCount(); }).join();
        auto* next = new Resender;
        next->on_complete = [] {};
        node.SendCommand(next, Send::kNoWait | Send::kDeleteWhenDone);
    };
    ASSERT_EQ(node.SendCommand(first, Send::kNoWait | Send::kDeleteWhenDone), 1);
    node.SetPulseInterval(50);
    Tick(node, 101);
    EXPECT_EQ(locks_at_completion, 0);
    EXPECT_EQ(pending_seen, 0u);
    EXPECT_EQ(node.pulses, 1);
    EXPECT_EQ(node.locks_at_pulse, 0);
    EXPECT_EQ(node.PendingCount(), 1u); // the request sent from the completion
    EXPECT_EQ(fake.enqueued.size(), 2u);
    Tick(node, 20000);
    EXPECT_EQ(node.PendingCount(), 0u);
}

TEST_F(ServiceNodeTest, RunPumpsUntilQuit) {
    struct LoopNode : RecordingNode {
        using RecordingNode::RecordingNode;
        void OnStart() override { log += "start;"; }
        void OnStop() override { log += "stop;"; }
        void PumpMessage(const WindowMessage& m) override {
            log += std::to_string(m.message) + ";";
            RecordingNode::PumpMessage(m);
        }
        std::string log;
    } node("ProcMgr", 0, library, platform);
    platform.Queue(1);
    platform.Queue(2);
    platform.Queue(kWmQuit);
    platform.Queue(3);
    node.Run();
    EXPECT_EQ(node.log, "start;1;2;stop;");
    EXPECT_EQ(platform.dispatched, (std::vector<uint32_t>{1, 2}));
}

TEST_F(ServiceNodeTest, ExceptionsStopAtTheCallback) {
    struct ThrowingNode : ServiceNode {
        using ServiceNode::ServiceNode;
        int CommandReceived(Command&) override { throw 1; }
    } node("ProcMgr", 0, library, platform);
    Deliver(node, Packed(0, "c", "ProcMgr", 1, 1));
    EXPECT_EQ(platform.locks_held, 0);
}

} // namespace
} // namespace pm

namespace pm {
namespace {

using test::TestMemory;

// The derived part of a node answers from the first message on: a message that arrives while
// the node registers is handled by the derived class, not by the base.
TEST_F(ServiceNodeTest, NodeRegisteredLaterAnswersFromItsDerivedPart) {
    struct Late : RecordingNode {
        Late(MessagingLibrary& l, NodePlatform& p)
            : RecordingNode("ProcMgr", 0, l, p, Registration::kLater) {
            EXPECT_FALSE(IsRegistered());
            marker = 7; // the derived part is complete only now
            Register();
        }
        ~Late() override { Unregister(); }
        int marker = 0;
        int seen_marker = -1;
        int CommandReceived(Command& c) override {
            seen_marker = marker;
            return RecordingNode::CommandReceived(c);
        }
    };
    Late* self = nullptr;
    fake.on_create = [&] {
        Deliver(*static_cast<Late*>(fake.node), Packed(0, "console", "ProcMgr", 0x73124533, 1));
        self = static_cast<Late*>(fake.node);
    };
    {
        Late node(library, platform);
        EXPECT_EQ(self, &node);
        EXPECT_EQ(node.received, 1);
        EXPECT_EQ(node.seen_marker, 7);
        ASSERT_EQ(fake.enqueued.size(), 1u);
        msg::MessageView v;
        ASSERT_TRUE(msg::ValidateMessage(fake.enqueued[0].data(), fake.enqueued[0].size(), v));
        EXPECT_EQ(v.value, 0x20u); // the derived handler's status, not the base's 0
    }
    EXPECT_EQ(fake.deleted_names, std::vector<std::string>{"ProcMgr"}); // once, from the derived
}

TEST_F(ServiceNodeTest, AcknowledgementThatWouldWrapItsOffsetsIsRefused) {
    // Sender and addressee of a type-2 message swap places in the acknowledgement; when both
    // together pass the 16-bit offsets, nothing is sent.
    std::string longest(65535 - 32 - 2 - 1, 'n'); // 32 + 2 + 65501... ends at 65535 exactly
    Bytes fits = Packed(2, "a", longest.c_str(), 0, 1);
    msg::MessageView v;
    ASSERT_TRUE(msg::ValidateMessage(fits.data(), fits.size(), v));
    TestMemory memory;
    void* ack = ServiceNode::BuildAcknowledgement(memory, v);
    ASSERT_NE(ack, nullptr);
    EXPECT_EQ(le::Load32(static_cast<uint8_t*>(ack)), 65535u);
    msg::MessageView a;
    EXPECT_TRUE(msg::ValidateMessage(ack, 65535, a));
    EXPECT_STREQ(a.addressee, "a");
    memory.Free(ack);

    // A received message can carry strings that end beyond 65535 (its offsets still fit):
    // the acknowledgement would need an addressee offset of 0x10000.
    Bytes big(32 + 2 + 65503 + 1, 0);
    le::Store32(big.data(), static_cast<uint32_t>(big.size()));
    le::Store16(big.data() + msg::kOffHdrLen, 32);
    big[msg::kOffType] = 2;
    le::Store16(big.data() + msg::kOffSenderLen, 2); // "b"
    le::Store16(big.data() + msg::kOffSenderOff, 65503 + 32);
    le::Store16(big.data() + msg::kOffAddresseeLen, 65503); // 65502 letters and the NUL
    le::Store16(big.data() + msg::kOffAddresseeOff, 32);
    le::Store16(big.data() + msg::kOffSizeTableOff, 32);
    le::Store16(big.data() + msg::kOffDataOff, 32);
    std::fill(big.begin() + 32, big.begin() + 32 + 65502, 'n');
    big[65503 + 32] = 'b';
    ASSERT_TRUE(msg::ValidateMessage(big.data(), big.size(), v));
    EXPECT_EQ(ServiceNode::BuildAcknowledgement(memory, v), nullptr);
    RecordingNode node("n", 0, library, platform);
    Deliver(node, big);
    EXPECT_TRUE(fake.enqueued.empty());
    EXPECT_TRUE(fake.live.empty());
}

} // namespace
} // namespace pm
