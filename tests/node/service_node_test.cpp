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
using test::TestMemory;

using Strings = std::vector<std::string>;

// Records what it was handed ("code return_addr target_addr params"), raw messages and the
// loop's start and stop; optionally keeps the command for a deferred reply.
class RecordingNode : public ServiceNode {
public:
    using ServiceNode::ServiceNode;
    int CommandReceived(Command& c) override {
        auto str = [](const char* s) { return std::string(s ? s : "-"); };
        seen.push_back(std::to_string(c.cmd_code) + " " + str(c.GetReturnAddr()) + " " +
                       str(c.GetTargetAddr()) + " " + std::to_string(c.GetParamCount()));
        if (answer < 0) throw 1;
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
        on_pulse();
        return pulse_answer;
    }
    void OnRawMessage(void* m, uint32_t elapsed) override {
        log += "raw " + std::to_string(elapsed) + ";";
        ServiceNode::OnRawMessage(m, elapsed);
    }
    void OnStart() override { log += "start;"; }
    void OnStop() override { log += "stop;"; }
    int answer = 1 /* below 0: throws */, pulses = 0, pulse_answer = 1;
    Strings seen;
    std::string log;
    bool defer = false;
    Command* kept = nullptr;
    std::function<void()> on_pulse = [] {};
};

// Records the status of each completion; may run more on completion.
using Statuses = std::vector<int32_t>;
struct CountingCommand : Command {
    explicit CountingCommand(Statuses& completed) : Command(1), statuses(completed) {}
    void OnComplete() override {
        statuses.push_back(status);
        on_complete();
    }
    std::function<void()> on_complete = [] {};
    Statuses& statuses;
};

constexpr Send kAsync = Send::kNoWait | Send::kDeleteWhenDone;

// Every test ends with each message buffer released or taken over, and no lock held.
class ServiceNodeTest : public test::NodeFixture {
protected:
    void TearDown() override {
        EXPECT_TRUE(fake.live.empty());
        EXPECT_EQ(platform.locks_held, 0);
    }
    CountingCommand* NewCounted() { return new CountingCommand(completed); }
    Statuses completed;
};

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
    // Refused by the library: keeps its name, nothing to delete.
    fake.create_answer = 0;
    {
        RecordingNode node("Refused", 0, library, platform);
        EXPECT_FALSE(node.IsRegistered());
        EXPECT_STREQ(node.Name(), "Refused");
    }
    EXPECT_EQ(fake.deleted_names.size(), 2u);
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
    EXPECT_EQ(node.seen, Strings{std::to_string(0x73124533) + " ProcMgr console 1"});
    // The reply: tag and number echoed, the handler's status and result, addresses swapped.
    ASSERT_EQ(fake.enqueued.size(), 1u);
    EXPECT_EQ(fake.enqueued[0], Packed(1, "ProcMgr", "console", 0x20, 1234, {"ok"}, 9));
    EXPECT_TRUE(platform.quits.empty());
    fake.enqueue_answer = 0; // a refused reply is released (checked on tear-down)
    Deliver(node, Packed(0, "c", "ProcMgr", 1, 1));
    EXPECT_EQ(fake.enqueued.size(), 2u);
}

TEST_F(ServiceNodeTest, HandlerAnsweringZeroEndsTheLoopOfTheRunThread) {
    {
        // Before Run there is no loop to post to: Run returns at once.
        RecordingNode early("ProcMgr", 0, library, platform);
        early.answer = 0;
        Deliver(early, Packed(0, "c", "ProcMgr", 1, 1));
        EXPECT_TRUE(platform.posted.empty());
        platform.Queue(0x300);
        early.Run();
        EXPECT_EQ(platform.get_calls, 0);
        platform.queue.clear();
    }
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

// Malformed requests and types the node does not serve are dropped, unhandled and unanswered;
// so is a request whose handler throws.
TEST_F(ServiceNodeTest, MalformedOtherTypesAndThrowingHandlersAreDropped) {
    RecordingNode node("ProcMgr", 0, library, platform);
    Bytes b = Packed(0, "c", "ProcMgr", 1, 1, {"abc"});
    le::Store32(b.data() + b.size() - 7, 100); // item size beyond the end
    Deliver(node, b);
    for (uint8_t type : {6, 8, 0x10, 0xFE})
        Deliver(node, Packed(type, "a", "b", 0, 7));
    EXPECT_TRUE(node.seen.empty());
    node.answer = -1; // the handler throws: the exception stops at the callback
    Deliver(node, Packed(0, "c", "ProcMgr", 1, 1));
    EXPECT_TRUE(fake.enqueued.empty());
}

TEST_F(ServiceNodeTest, DeferredReplyLeavesOnlyWithSendReply) {
    RecordingNode node("ProcMgr", 0, library, platform);
    Command plain(1);
    EXPECT_EQ(node.SendReply(&plain), 0); // not deferred: nothing to send
    node.defer = true;
    Deliver(node, Packed(0, "c", "ProcMgr", 1, 55));
    EXPECT_TRUE(fake.enqueued.empty());
    ASSERT_NE(node.kept, nullptr);
    fake.enqueue_answer = 0; // refused: released all the same (checked on tear-down)
    EXPECT_EQ(node.SendReply(node.kept), 1); // deletes the command
    ASSERT_EQ(fake.enqueued.size(), 1u);
    EXPECT_EQ(fake.enqueued[0], Packed(1, "ProcMgr", "c", 0x20, 55, {"ok"}));
}

TEST_F(ServiceNodeTest, RawModeRefusesSendingAndPassesMessagesOn) {
    RecordingNode node("R", 1, library, platform);
    Command c(1);
    EXPECT_EQ(node.SendCommand(&c), 0);
    c.flags = Command::kFlagDeferredReply;
    EXPECT_EQ(node.SendReply(&c), 0);
    Deliver(node, Packed(0, "c", "R", 1, 1), 33);
    Tick(node, 10); // ticks are not passed on
    EXPECT_EQ(node.log, "raw 33;");
    EXPECT_TRUE(node.seen.empty());
}

// Types 2 and 4 are acknowledged with the reply bit set, addresses swapped, nothing handled.
TEST_F(ServiceNodeTest, AuthorizationRequestsAreAcknowledgedWith62Bytes) {
    RecordingNode node("ProcMgr", 0, library, platform);
    const char* sender = "0123456789abcdefghi"; // 19 characters, 20 bytes
    const char* addressee = "ProcMgr-x";        // 9 characters, 10 bytes
    for (uint8_t type : {2, 4}) {
        SCOPED_TRACE(int(type));
        fake.enqueued.clear();
        Deliver(node, Packed(type, sender, addressee, 0xDEAD, 0x01020304, {"ignored"}, 0x42));
        ASSERT_EQ(fake.enqueued.size(), 1u);
        const uint8_t t = type | 1; // the reply bit
        Bytes expected = {
            62,   0, 0,  0,       // msg_len = 32 + 10 + 20
            32,   0,              // hdr_len
            t,                    // type with the reply bit
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
        EXPECT_EQ(fake.enqueued[0], expected);
    }
    EXPECT_TRUE(node.seen.empty());
    fake.enqueue_answer = 0; // a refused acknowledgement is released (checked on tear-down)
    Deliver(node, Packed(2, "a", "b", 0, 7));
}

TEST_F(ServiceNodeTest, AcknowledgementThatWouldWrapItsOffsetsIsRefused) {
    // Sender and addressee of a type-2 message swap places in the acknowledgement; when both
    // together pass the 16-bit offsets, nothing is sent.
    std::string longest(65535 - 32 - 2 - 1, 'n'); // 32 + 2 + 65501... ends at 65535 exactly
    Bytes fits = Packed(2, "a", longest.c_str(), 0, 1);
    msg::MessageView v;
    ASSERT_EQ(msg::CheckHeader(fits.data(), fits.size(), msg::AddresseeRule::kAnyString, &v),
              msg::HeaderCheck::kOk);
    TestMemory memory;
    void* ack = ServiceNode::BuildAcknowledgement(memory, v);
    ASSERT_NE(ack, nullptr);
    EXPECT_EQ(le::Load32(static_cast<uint8_t*>(ack)), 65535u);
    msg::MessageView a;
    EXPECT_EQ(msg::CheckHeader(ack, 65535, msg::AddresseeRule::kAnyString, &a),
              msg::HeaderCheck::kOk);
    EXPECT_STREQ(a.addressee, "a");

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
    ASSERT_EQ(msg::CheckHeader(big.data(), big.size(), msg::AddresseeRule::kAnyString, &v),
              msg::HeaderCheck::kOk);
    EXPECT_EQ(ServiceNode::BuildAcknowledgement(memory, v), nullptr);
    RecordingNode node("n", 0, library, platform);
    Deliver(node, big);
    EXPECT_TRUE(fake.enqueued.empty());
}

TEST_F(ServiceNodeTest, AsyncSendPairsTheReplyBySequenceNumber) {
    RecordingNode node("me", 0, library, platform);
    auto* c = NewCounted();
    c->SetTargetAddr("KAVMonitorClientNC");
    SetNextSequenceNumber(500);
    EXPECT_EQ(node.SendCommand(c, kAsync), 1);
    ASSERT_EQ(fake.enqueued.size(), 1u);
    EXPECT_EQ(fake.enqueued[0], Packed(0, "me", "KAVMonitorClientNC", 1, 500));
    EXPECT_TRUE(fake.enqueue2_flags.empty());
    EXPECT_EQ(node.PendingCount(), 1u);

    // A reply with another number is dropped, and so is a forged one with the right number from
    // another node; the node name's case does not matter (the library routes names whatever
    // their case). The right one completes (and deletes) it.
    Deliver(node, Packed(1, "KAVMonitorClientNC", "me", 5, 499, {"xyz"}));
    Deliver(node, Packed(1, "Intruder", "me", 6, 500, {"forged"}));
    EXPECT_TRUE(completed.empty());
    EXPECT_EQ(node.PendingCount(), 1u);
    Deliver(node, Packed(1, "kavmonitorclientnc", "me", 5, 500, {"xyz"}));
    EXPECT_EQ(completed, Statuses{5});
    EXPECT_EQ(node.PendingCount(), 0u);
    EXPECT_TRUE(platform.posted.empty()); // nobody waits on an asynchronous send
}

// A pending request lives exactly its time-out (the library's global one when it has one),
// counted over several ticks; a tick of 0 ms takes nothing away.
TEST_F(ServiceNodeTest, PendingRequestTimesOutAfterExactlyItsTimeOut) {
    const struct {
        const char* name;
        int global_timeout;
        bool enqueue2;
        uint32_t lives;
    } cases[] = {
        {"own 15000 ms", -1, false, 15000},
        {"global 500 ms", 500, false, 500},
        {"through Enqueue2", -1, true, 15000},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        fake.global_timeout = k.global_timeout;
        fake.enqueue2_flags.clear();
        completed.clear();
        RecordingNode node("me", 0, library, platform);
        auto* c = NewCounted();
        EXPECT_EQ(c->timeout_ms, 15000u);
        Send flags = k.enqueue2 ? kAsync | Send::kUseEnqueue2 : kAsync;
        ASSERT_EQ(node.SendCommand(c, flags), 1);
        EXPECT_EQ(fake.enqueue2_flags, k.enqueue2 ? std::vector<int>{1} : std::vector<int>{});
        for (uint32_t i = 0; i < 10; ++i)
            Tick(node, k.lives / 10);
        Tick(node, 0);
        EXPECT_TRUE(completed.empty());
        Tick(node, 1);
        EXPECT_EQ(completed, Statuses{kStatusTimedOut});
        EXPECT_EQ(node.PendingCount(), 0u);
    }
}

// Refused by the library, not buildable, or from an unregistered node: completes at once, and
// once only: a request that a tick timed out while the library refused it completes as timed
// out. A waiting sender returns.
TEST_F(ServiceNodeTest, UnsentRequestCompletesOnceWithNotSent) {
    const struct {
        const char* name;
        bool async, refused, unbuildable, unregistered, timed_out_meanwhile;
    } cases[] = {
        {"refused, asynchronous", true, true, false, false, false},
        {"refused", false, true, false, false, false},
        {"not buildable", false, false, true, false, false},
        {"not registered", false, false, false, true, false},
        {"timed out while refused", false, true, false, false, true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        fake.enqueue_answer = k.refused ? 0 : 1;
        fake.allocation_fails = k.unbuildable;
        fake.create_answer = k.unregistered ? 0 : 0x1234;
        fake.enqueued.clear();
        completed.clear();
        RecordingNode node("me", 0, library, platform);
        fake.on_enqueue = [&, tick = k.timed_out_meanwhile] {
            if (tick) Tick(node, 20000);
        };
        CountingCommand sync(completed);
        EXPECT_EQ(k.async ? node.SendCommand(NewCounted(), kAsync) : node.SendCommand(&sync), 1);
        fake.on_enqueue = nullptr;
        EXPECT_EQ(completed, Statuses{k.timed_out_meanwhile ? kStatusTimedOut : kStatusNotSent});
        EXPECT_EQ(node.PendingCount(), 0u);
        EXPECT_EQ(fake.enqueued.size(), k.refused ? 1u : 0u);
        EXPECT_TRUE(platform.exits.empty());
        if (!k.async) {
            EXPECT_STREQ(sync.GetReturnAddr(), "me");
        }
    }
}

// A synchronous send pumps until the reply, or waits on an event for it; a loop that ends first
// ends the process.
TEST_F(ServiceNodeTest, SynchronousSendPumpsOrWaitsUntilTheReplyOrTheLoopsEnd) {
    RecordingNode node("me", 0, library, platform);
    CountingCommand c(completed);
    c.SetTargetAddr("peer");
    platform.Queue(0x113); // a timer message before the reply
    platform.Queue(0x200);
    int gets = 0;
    platform.on_get = [&] {
        if (++gets == 2) Deliver(node, Packed(1, "peer", "me", 7, c.seq_no, {"r"}));
    };
    EXPECT_EQ(node.SendCommand(&c), 1);
    EXPECT_EQ(completed, Statuses{7});
    EXPECT_EQ(c.GetResultCount(), 1u);
    // The waiting thread was woken with the reply message.
    ASSERT_EQ(platform.posted.size(), 1u);
    EXPECT_EQ(platform.posted[0], std::make_pair(77u, kWmReplyArrived));
    EXPECT_EQ(platform.dispatched, (std::vector<uint32_t>{0x113, 0x200}));
    EXPECT_TRUE(platform.exits.empty());
    // On an event: the fake's Wait returns at once, so the reply arrives while the sender waits.
    struct Hook : FakeEvent {
        std::function<void()> on_wait;
        void Wait() override {
            FakeEvent::Wait();
            on_wait();
        }
    } event;
    event.on_wait = [&] { Deliver(node, Packed(1, "peer", "me", 3, c.seq_no)); };
    EXPECT_EQ(node.SendCommand(&c, &event), 1);
    EXPECT_EQ(event.resets, 1);
    EXPECT_EQ(event.sets, 1);
    EXPECT_EQ(completed, (Statuses{7, 3}));
    EXPECT_TRUE(platform.exits.empty());
    // The loop ends before a reply: the process ends.
    platform.Queue(kWmQuit);
    EXPECT_EQ(node.SendCommand(&c), 0);
    EXPECT_EQ(platform.exits, std::vector<unsigned>{1});
    EXPECT_EQ(completed.size(), 2u);
}

TEST_F(ServiceNodeTest, HeldRequestsAreDispatchedNewestFirstWhenAccepting) {
    {
        RecordingNode node("ProcMgr", 0, library, platform);
        node.SetAccepting(0);
        Deliver(node, Packed(0, "c", "ProcMgr", 1, 1), 10);
        Deliver(node, Packed(0, "c", "ProcMgr", 2, 2), 20);
        EXPECT_TRUE(node.seen.empty());
        EXPECT_EQ(node.HeldCount(), 2u);
        node.SetAccepting(1);
        EXPECT_EQ(node.seen, (Strings{"2 ProcMgr c 0", "1 ProcMgr c 0"}));
        EXPECT_EQ(node.HeldCount(), 0u);
        ASSERT_EQ(fake.enqueued.size(), 2u);
        EXPECT_EQ(le::Load32(fake.enqueued[0].data() + msg::kOffSeqNo), 2u);
    }
    // Messages still held are released with the node (checked on tear-down).
    RecordingNode node("ProcMgr", 0, library, platform);
    node.SetAccepting(0);
    Deliver(node, Packed(0, "c", "ProcMgr", 1, 1));
}

TEST_F(ServiceNodeTest, PulseComesEveryInterval) {
    RecordingNode node("ProcMgr", 0, library, platform);
    auto pulses_after = [&](uint32_t ms) {
        Tick(node, ms);
        return node.pulses;
    };
    EXPECT_EQ(pulses_after(100000), 0); // no pulse without an interval
    node.SetPulseInterval(1000);
    // Once not less than what remained has passed, over several ticks; then afresh.
    for (auto [ms, pulses] : {std::pair{600u, 0}, {399u, 0}, {1u, 1}, {999u, 1}})
        EXPECT_EQ(pulses_after(ms), pulses) << ms;
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
    RecordingNode node("me", 0, library, platform);
    int locks_at_pulse = -1;
    node.on_pulse = [&] { locks_at_pulse = platform.locks_held; };
    int locks_at_completion = -1;
    size_t pending_seen = 99;
    auto* first = NewCounted();
    first->timeout_ms = 100;
    first->on_complete = [&] {
        locks_at_completion = platform.locks_held;
        // Another thread asks for the queue meanwhile: it must not wait for this callback
        // (asked only when no lock is held, so that a fault fails rather than hangs).
        if (locks_at_completion == 0)
            std::thread([&] { pending_seen = node.PendingCount(); }).join();
        node.SendCommand(NewCounted(), kAsync);
    };
    ASSERT_EQ(node.SendCommand(first, kAsync), 1);
    node.SetPulseInterval(50);
    Tick(node, 101);
    EXPECT_EQ(locks_at_completion, 0);
    EXPECT_EQ(pending_seen, 0u);
    EXPECT_EQ(node.pulses, 1);
    EXPECT_EQ(locks_at_pulse, 0);
    EXPECT_EQ(node.PendingCount(), 1u); // the request sent from the completion
    EXPECT_EQ(fake.enqueued.size(), 2u);
    Tick(node, 20000);
    EXPECT_EQ(node.PendingCount(), 0u);
}

TEST_F(ServiceNodeTest, RunPumpsUntilQuit) {
    RecordingNode node("ProcMgr", 0, library, platform);
    for (uint32_t m : {1u, 2u, kWmQuit, 3u})
        platform.Queue(m);
    node.Run();
    EXPECT_EQ(node.log, "start;stop;");
    EXPECT_EQ(platform.dispatched, (std::vector<uint32_t>{1, 2}));
}

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
        int marker = 0, seen_marker = -1;
        int CommandReceived(Command& c) override {
            seen_marker = marker;
            return RecordingNode::CommandReceived(c);
        }
    };
    Late* self = nullptr;
    fake.on_create = [&] {
        self = static_cast<Late*>(fake.node);
        Deliver(*self, Packed(0, "console", "ProcMgr", 0x73124533, 1));
    };
    {
        Late node(library, platform);
        EXPECT_EQ(self, &node);
        EXPECT_EQ(node.seen.size(), 1u);
        EXPECT_EQ(node.seen_marker, 7);
        ASSERT_EQ(fake.enqueued.size(), 1u);
        // The derived handler's status and result, not the base's.
        EXPECT_EQ(fake.enqueued[0], Packed(1, "ProcMgr", "console", 0x20, 1, {"ok"}));
    }
    EXPECT_EQ(fake.deleted_names, std::vector<std::string>{"ProcMgr"}); // once, from the derived
}

} // namespace
} // namespace pm
