// Routing: local delivery, hand-off to the transport, refusals, node lifetime, quit requests.
// Two Messengers on one fake machine stand for two processes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "outside/kavipc32/frame.h"
#include "outside/kavipc32/message_block.h"
#include "outside/kavipc32/messenger.h"
#include "tests/ipc/test_message.h"

using namespace kavipc;
using kavipc_test::BuildBlock;
using kavipc_test::MessageSpec;

namespace {

// One machine: a name registry shared by the transports of several "processes". Names are
// unique whatever their case: they are kept in lower case.
struct FakeMachine {
    std::mutex mu;
    std::map<std::string, TransportSink*> owners;
};

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class FakeTransport : public Transport {
public:
    explicit FakeTransport(FakeMachine& m) : machine_(m) {}
    void Bind(TransportSink* sink) { sink_ = sink; }

    bool Listen(const std::string& node) override {
        std::lock_guard<std::mutex> lock(machine_.mu);
        return machine_.owners.emplace(Lower(node), sink_).second;
    }
    void Unlisten(const std::string& node) override {
        std::lock_guard<std::mutex> lock(machine_.mu);
        machine_.owners.erase(Lower(node));
    }
    bool Exists(const std::string& node) override { return Owner(node) != nullptr; }
    bool Transmit(const std::string& node, void* message, size_t size) override {
        const auto* data = static_cast<const uint8_t*>(message);
        ++transmitted;
        if (broken) return false;
        TransportSink* owner = Owner(node);
        if (owner == nullptr) return false;
        // As strict as the pipe: the bytes travel as chunks through a frame assembler, which
        // drops a frame whose length is not the message's own.
        FrameAssembler frames;
        ForEachChunk(FrameKind::kMessage, data, size, [&](const uint8_t* c, size_t n) {
            if (frames.Feed(c, n) == FrameAssembler::Result::kComplete)
                owner->OnIncomingMessage(frames.TakePayload());
            return true;
        });
        return true;
    }
    QuitAnswer TransmitQuit(const std::string& node) override {
        TransportSink* owner = Owner(node);
        if (owner == nullptr) return QuitAnswer::kNoSuchNode;
        QuitAnswer a = owner->OnIncomingQuit(node);
        quits_before_commit = posted_so_far ? posted_so_far() : -1;
        if (a == QuitAnswer::kPosted) owner->CommitQuit();
        return a;
    }
    void Shutdown() override { ++shutdowns; }

    int transmitted = 0;
    int shutdowns = 0;
    // The addressee's posted quits when its answer was decided (before CommitQuit).
    std::function<int()> posted_so_far;
    int quits_before_commit = -1;
    bool broken = false;

private:
    TransportSink* Owner(const std::string& node) {
        std::lock_guard<std::mutex> lock(machine_.mu);
        auto it = machine_.owners.find(Lower(node));
        return it != machine_.owners.end() ? it->second : nullptr;
    }
    FakeMachine& machine_;
    TransportSink* sink_ = nullptr;
};

// A node's view: what its callback saw. Declared before the processes whose nodes call it:
// their delivery threads end with them.
struct Inbox {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> senders;
    std::vector<uint32_t> seqs;
    int ticks = 0;

    static int KAVIPC_API Callback(void* node, void* message, uint32_t) {
        auto* self = static_cast<Inbox*>(node);
        {
            std::lock_guard<std::mutex> lock(self->mu);
            if (message == nullptr) {
                ++self->ticks;
            } else {
                auto* m = static_cast<const uint8_t*>(message);
                self->senders.emplace_back(reinterpret_cast<const char*>(m + 32));
                self->seqs.push_back(le::Load32(m + kOffSeqNo));
                EXPECT_GT(BlockSize(message), 0u); // delivered in a library block
                FreeBlock(message);
            }
        }
        self->cv.notify_all();
        return 0;
    }
    bool WaitMessages(size_t n) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, std::chrono::seconds(5), [&] { return senders.size() >= n; });
    }
};

struct Process {
    FakeTransport transport;
    int quits = 0;
    bool has_main_thread = true;
    Messenger messenger;
    explicit Process(FakeMachine& m)
        : transport(m),
          messenger(transport,
                    {[this] { return has_main_thread; }, [this] { return ++quits, true; }}, 20) {
        transport.Bind(&messenger);
    }
};

MessageSpec To(const std::string& addressee, uint32_t seq = 1, const std::string& from = "A") {
    MessageSpec s;
    s.sender = from;
    s.addressee = addressee;
    s.seq_no = seq;
    return s;
}

} // namespace

// A node of the same process is reached without the transport; another process's through it,
// both ways, also from a block larger than its message; and ticks reach every node.
TEST(MessengerTest, DeliversWithinAndBetweenProcesses) {
    FakeMachine machine;
    Inbox ia, ib;
    Process a(machine), b(machine);
    ASSERT_NE(a.messenger.CreateNode("Console", &ia, Inbox::Callback), 0u);
    ASSERT_NE(b.messenger.CreateNode("ProcMgr", &ib, Inbox::Callback), 0u);
    ASSERT_EQ(b.messenger.Enqueue(BuildBlock(To("ProcMgr", 5))), 1);
    ASSERT_TRUE(ib.WaitMessages(1));
    EXPECT_EQ(ib.seqs[0], 5u);
    EXPECT_EQ(b.transport.transmitted, 0);
    ASSERT_EQ(a.messenger.Enqueue(BuildBlock(To("ProcMgr", 1, "Console"), 100)), 1);
    ASSERT_EQ(b.messenger.Enqueue(BuildBlock(To("Console", 2, "ProcMgr"))), 1);
    ASSERT_TRUE(ib.WaitMessages(2));
    ASSERT_TRUE(ia.WaitMessages(1));
    EXPECT_EQ(ib.senders[1], "Console");
    EXPECT_EQ(ia.senders[0], "ProcMgr");
    EXPECT_EQ(a.transport.transmitted, 1);
    std::unique_lock<std::mutex> lock(ia.mu); // ticks reach the nodes too
    EXPECT_TRUE(ia.cv.wait_for(lock, std::chrono::seconds(5), [&] { return ia.ticks >= 2; }));
}

// Refused messages stay the caller's; arriving ones nobody takes are released.
TEST(MessengerTest, RefusalsLeaveTheMessageWithTheCaller) {
    FakeMachine machine;
    Inbox i;
    Process p(machine), other(machine);
    ASSERT_NE(other.messenger.CreateNode("ProcMgr", &i, Inbox::Callback), 0u);
    void* absent = BuildBlock(To("Nobody"));
    EXPECT_EQ(p.messenger.Enqueue(absent), 0);
    EXPECT_GT(BlockSize(absent), 0u); // still alive: the caller frees it
    FreeBlock(absent);
    p.transport.broken = true;
    void* m = BuildBlock(To("ProcMgr"));
    EXPECT_EQ(p.messenger.Enqueue(m), 0);
    FreeBlock(m);

    EXPECT_EQ(p.messenger.Enqueue(nullptr), 0);
    alignas(16) uint8_t foreign[128] = {};
    EXPECT_EQ(p.messenger.Enqueue(foreign + 32), 0);

    // msg_len beyond the block's real size
    void* lying = BuildBlock(To("Nobody"));
    le::Store32(static_cast<uint8_t*>(lying), 4096);
    EXPECT_EQ(p.messenger.Enqueue(lying), 0);
    FreeBlock(lying);

    // Arriving for a node not here, or junk: dropped and released (ASan).
    p.messenger.OnIncomingMessage(BuildBlock(To("Gone")));
    void* junk = AllocateBlock(64);
    std::memset(junk, 0xCC, 64);
    p.messenger.OnIncomingMessage(junk);
}

TEST(MessengerTest, NamesAreUniqueOnTheMachineWhateverTheCase) {
    FakeMachine machine;
    Inbox i;
    Process a(machine), b(machine);
    const uintptr_t h1 = a.messenger.CreateNode("ProcMgr", &i, Inbox::Callback);
    const uintptr_t h2 = a.messenger.CreateNode("Two", &i, Inbox::Callback);
    EXPECT_NE(h1, 0u);
    EXPECT_NE(h2, 0u);
    EXPECT_NE(h1, h2);
    EXPECT_EQ(a.messenger.NodeCount(), 2u);
    EXPECT_EQ(a.messenger.CreateNode("PROCMGR", &i, Inbox::Callback), 0u);
    EXPECT_EQ(b.messenger.CreateNode("ProcMgr", &i, Inbox::Callback), 0u);
    EXPECT_TRUE(b.messenger.Exists("procmgr"));
    EXPECT_EQ(a.messenger.DeleteNode("procMGR"), 1);
    EXPECT_FALSE(b.messenger.Exists("ProcMgr"));
    EXPECT_NE(b.messenger.CreateNode("ProcMgr", &i, Inbox::Callback), 0u);
    // bad arguments
    for (const char* name : {static_cast<const char*>(nullptr), "", "a\\b"})
        EXPECT_EQ(b.messenger.CreateNode(name, &i, Inbox::Callback), 0u);
    EXPECT_EQ(b.messenger.CreateNode("X", &i, nullptr), 0u);
    EXPECT_EQ(b.messenger.DeleteNode("NeverMade"), 0);
    EXPECT_EQ(b.messenger.DeleteNode(nullptr), 0);
    EXPECT_FALSE(b.messenger.Exists(nullptr));
}

TEST(MessengerTest, QuitRequests) {
    FakeMachine machine;
    Inbox i;
    Process a(machine), b(machine);
    ASSERT_NE(b.messenger.CreateNode("ProcMgr", &i, Inbox::Callback), 0u);
    a.transport.posted_so_far = [&] { return b.quits; };
    EXPECT_EQ(a.messenger.RequestQuit("ProcMgr"), QuitAnswer::kPosted);
    EXPECT_EQ(b.quits, 1);
    // the answer is decided before the quit is posted: a process that ends at once must not
    // end before its answer is sent
    EXPECT_EQ(a.transport.quits_before_commit, 0);
    EXPECT_EQ(b.messenger.RequestQuit("ProcMgr"), QuitAnswer::kPosted); // own node
    EXPECT_EQ(b.quits, 2);
    EXPECT_EQ(a.messenger.RequestQuit("Nobody"), QuitAnswer::kNoSuchNode);
    EXPECT_EQ(a.messenger.RequestQuit("bad\\name"), QuitAnswer::kNoSuchNode);
    b.has_main_thread = false;
    EXPECT_EQ(a.messenger.RequestQuit("ProcMgr"), QuitAnswer::kNoMainThread);
    EXPECT_EQ(a.quits, 0);
}

TEST(MessengerTest, DeleteFromTheNodesOwnCallbackReturns) {
    FakeMachine machine;
    static Process* p;
    Process proc(machine);
    p = &proc;
    static std::atomic<int> result{-1};
    struct Self {
        static int KAVIPC_API Callback(void*, void* message, uint32_t) {
            if (message != nullptr) {
                FreeBlock(message);
                result = p->messenger.DeleteNode("Selfish");
            }
            return 0;
        }
    };
    ASSERT_NE(proc.messenger.CreateNode("Selfish", nullptr, Self::Callback), 0u);
    ASSERT_EQ(proc.messenger.Enqueue(BuildBlock(To("Selfish"))), 1);
    for (int i = 0; i < 5000 && result == -1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(proc.messenger.NodeCount(), 0u);
}

TEST(MessengerTest, ShutdownRemovesEveryNode) {
    FakeMachine machine;
    Inbox i;
    Process p(machine);
    p.messenger.CreateNode("One", &i, Inbox::Callback);
    p.messenger.CreateNode("Two", &i, Inbox::Callback);
    p.messenger.Shutdown();
    EXPECT_EQ(p.messenger.NodeCount(), 0u);
    EXPECT_TRUE(machine.owners.empty());
    EXPECT_GE(p.transport.shutdowns, 1);
    // usable again afterwards
    EXPECT_NE(p.messenger.CreateNode("One", &i, Inbox::Callback), 0u);
}
