// The DLL under Wine (or Windows), bound by ordinal through the import library: delivery
// within one process and between two, refusals, ticks, large messages, damaged frames on the
// pipe, node lifetime and the graceful stop. Child processes are this program again, running
// only ChildProcess.Role with KAVIPC_TEST_ROLE saying what to do.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "outside/kavipc32/frame.h"
#include "shared/ipc/message_layout.h"
#include "outside/kavipc32/pipe_naming.h"
#include "outside/kavipc32/pipe_peer_identity_win.h"
#include "outside/kavipc32/pipe_security_win.h"
#include "outside/kavipc32/pipe_transport_win.h"
#include "shared/base/win_handles.h"
#include "shared/ipc/kavipc32_abi.h"
#include "tests/e2e_support_win.h"
#include "tests/ipc/test_message.h"

using namespace kavipc_test;
namespace le = pm::le;

namespace {

class LibraryEnvironment : public ::testing::Environment {
public:
    void SetUp() override { InitApplication(); }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

// A message in a buffer from AllocateMessage (ordinal 5).
void* LibraryMessage(const MessageSpec& s) {
    std::vector<uint8_t> m = BuildMessage(s);
    void* b = AllocateMessage(static_cast<uint32_t>(m.size()));
    if (b != nullptr) std::memcpy(b, m.data(), m.size());
    return b;
}

// A node that records what its callback sees and counts overlapping calls.
class RecordingNode {
public:
    explicit RecordingNode(std::string name, DWORD sleep_ms = 0)
        : name_(std::move(name)), sleep_ms_(sleep_ms) {}
    ~RecordingNode() { Delete(); }
    bool Create() { return (handle_ = CreateSvcNode(name_.c_str(), this, &Callback)) != 0; }
    void Delete() {
        if (handle_ != 0) DeleteSvcNode(name_.c_str());
        handle_ = 0;
    }
    const std::string& name() const { return name_; }
    bool WaitMessages(size_t n, DWORD ms = 10000) { return Wait(messages_, n, ms); }
    bool WaitTicks(size_t n) { return Wait(ticks_, n, 10000); }
    std::vector<std::vector<uint8_t>> messages() {
        std::lock_guard<std::mutex> lock(mu_);
        return messages_;
    }
    std::vector<uint32_t> ticks() {
        std::lock_guard<std::mutex> lock(mu_);
        return ticks_;
    }
    std::atomic<int> started{0}, finished{0}, overlaps{0};

private:
    template <typename List> bool Wait(const List& list, size_t n, DWORD ms) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return list.size() >= n; });
    }
    static int KAVIPC_API Callback(void* node, void* message, uint32_t elapsed) {
        auto* self = static_cast<RecordingNode*>(node);
        if (self->inside_.fetch_add(1) != 0) self->overlaps++;
        self->started++;
        if (self->sleep_ms_ != 0 && message != nullptr) Sleep(self->sleep_ms_);
        {
            std::lock_guard<std::mutex> lock(self->mu_);
            if (message == nullptr) {
                self->ticks_.push_back(elapsed);
            } else {
                auto* p = static_cast<const uint8_t*>(message);
                self->messages_.emplace_back(p, p + le::Load32(p));
                FreeMessage(message);
            }
        }
        self->inside_.fetch_sub(1);
        self->finished++;
        self->cv_.notify_all();
        return 0;
    }
    std::string name_;
    DWORD sleep_ms_;
    uintptr_t handle_ = 0;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::vector<uint8_t>> messages_;
    std::vector<uint32_t> ticks_;
    std::atomic<int> inside_{0};
};

using pm::test::Child;

// This test program again, running only the child test with the given role (in
// KAVIPC_TEST_ROLE); its exit code through Finish.
Child StartSelf(const std::string& role) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    SetEnvironmentVariableA("KAVIPC_TEST_ROLE", role.c_str());
    Child c = pm::test::Start(self, "--gtest_filter=ChildProcess.Role --gtest_brief=1");
    SetEnvironmentVariableA("KAVIPC_TEST_ROLE", nullptr);
    return c;
}

int Wait(Child& c) {
    return static_cast<int>(pm::test::Finish(c, 20000));
}

bool WaitForNode(const char* name, bool present, DWORD ms = 15000) {
    for (DWORD waited = 0; waited < ms; waited += 20) {
        if ((SvcNodeExists(name) != 0) == present) return true;
        Sleep(20);
    }
    return false;
}

// A name no other run on this machine uses at the same time.
std::string Unique(const char* base) {
    return std::string(base) + "_" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(GetTickCount() % 100000);
}

MessageSpec Spec(const std::string& from, const std::string& to, uint32_t seq,
                 std::vector<std::vector<uint8_t>> items = {}) {
    MessageSpec s;
    s.sender = from;
    s.addressee = to;
    s.seq_no = seq;
    s.items = std::move(items);
    return s;
}

std::string SenderOf(const std::vector<uint8_t>& m) {
    return reinterpret_cast<const char*>(&m[le::Load16(&m[kavipc::kOffSenderOff])]);
}

// --- the child's roles ---------------------------------------------------------------------

std::string g_child_node;

// Echoes each message to its sender as a reply (type 1) with the item bytes as one item.
int KAVIPC_API EchoCallback(void*, void* message, uint32_t) {
    if (message == nullptr) return 0;
    auto* m = static_cast<const uint8_t*>(message);
    uint32_t len = le::Load32(m);
    std::string sender = reinterpret_cast<const char*>(m + le::Load16(m + kavipc::kOffSenderOff));
    uint16_t data_off = le::Load16(m + kavipc::kOffDataOff);
    MessageSpec reply = Spec(g_child_node, sender, le::Load32(m + kavipc::kOffSeqNo));
    reply.type = 1;
    if (le::Load16(m + kavipc::kOffItemCount) != 0) reply.items.emplace_back(m + data_off, m + len);
    FreeMessage(message);
    void* out = LibraryMessage(reply);
    if (out != nullptr && EnqueueMessage(out) == 0) FreeMessage(out);
    return 0;
}

// Registers the node, serves until WM_QUIT (or a minute at most), then leaves normally.
void RunEcho(const std::string& node) {
    g_child_node = node;
    ASSERT_NE(CreateSvcNode(node.c_str(), nullptr, EchoCallback), 0u);
    SetTimer(nullptr, 0, 60000, nullptr);
    MSG msg;
    bool quit = false;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER) break;
    }
    quit = msg.message == WM_QUIT;
    DeleteSvcNode(node.c_str());
    EXPECT_TRUE(quit) << "left the loop without a quit message";
}

} // namespace

TEST(ChildProcess, Role) {
    const char* role = std::getenv("KAVIPC_TEST_ROLE");
    if (role == nullptr) GTEST_SKIP() << "runs only as a child of the other tests";
    std::string r = role;
    std::string verb = r.substr(0, r.find(':'));
    std::string arg = r.find(':') == std::string::npos ? "" : r.substr(r.find(':') + 1);
    if (verb == "echo") {
        RunEcho(arg);
    } else if (verb == "vanish" || verb == "leave") {
        // leaves the moment WM_QUIT arrives, killed ("vanish") or closing the node and the
        // library at once ("leave"): the asker must still have its answer
        ASSERT_NE(CreateSvcNode(arg.c_str(), nullptr, EchoCallback), 0u);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        }
        if (verb == "leave") {
            DeleteSvcNode(arg.c_str());
            TermApplication();
        }
        TerminateProcess(GetCurrentProcess(), 7);
    } else if (verb == "claim") {
        // another process holds the name: registering it here must fail
        EXPECT_EQ(CreateSvcNode(arg.c_str(), nullptr, EchoCallback), 0u);
    } else {
        FAIL() << "unknown role " << r;
    }
}

// --- one process ----------------------------------------------------------------------------

// Two nodes of one process talk both ways; a name is taken once, and a deleted node's name
// refuses messages until it is registered again. Through the DLL's own exports a refused buffer
// stays the caller's to read and free.
TEST(IpcWinTest, TwoNodesInOneProcessTalkNamesAreUniqueAndRefusalsStayTheCallers) {
    RecordingNode a(Unique("LocalA")), b(Unique("LocalB")), twin(a.name());
    ASSERT_TRUE(a.Create());
    ASSERT_TRUE(b.Create());
    EXPECT_FALSE(twin.Create());
    ASSERT_EQ(EnqueueMessage(LibraryMessage(Spec(a.name(), b.name(), 1))), 1);
    ASSERT_EQ(EnqueueMessage2(LibraryMessage(Spec(b.name(), a.name(), 2)), 1), 1);
    ASSERT_TRUE(b.WaitMessages(1));
    ASSERT_TRUE(a.WaitMessages(1));
    EXPECT_EQ(SenderOf(b.messages()[0]), a.name());
    EXPECT_EQ(SenderOf(a.messages()[0]), b.name());
    EXPECT_NE(SvcNodeExists(a.name().c_str()), 0);
    a.Delete();
    EXPECT_EQ(SvcNodeExists(a.name().c_str()), 0);
    void* m = LibraryMessage(Spec("Me", a.name(), 1));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(EnqueueMessage(m), 0);
    EXPECT_EQ(static_cast<uint8_t*>(m)[32], 'M');
    FreeMessage(m);
    EXPECT_TRUE(twin.Create()); // the name is free again
    m = LibraryMessage(Spec("Me", b.name(), 1));
    kavipc::le::Store32(static_cast<uint8_t*>(m), 100000); // msg_len beyond the buffer
    EXPECT_EQ(EnqueueMessage(m), 0);
    FreeMessage(m);
    EXPECT_EQ(EnqueueMessage(nullptr), 0);
    char stack[64] = {};
    EXPECT_EQ(EnqueueMessage(stack + 32), 0); // not a library buffer
    EXPECT_EQ(AllocateMessage(0), nullptr);
}

TEST(IpcWinTest, TicksArriveWithRealElapsedTimesAndNeverOverlap) {
    RecordingNode n(Unique("Ticker"), 5);
    ASSERT_TRUE(n.Create());
    for (uint32_t i = 0; i < 50; ++i)
        EnqueueMessage(LibraryMessage(Spec("Me", n.name(), i)));
    ASSERT_TRUE(n.WaitTicks(4));
    ASSERT_TRUE(n.WaitMessages(50));
    n.Delete();
    auto ticks = n.ticks();
    for (size_t i = 0; i < ticks.size(); ++i) {
        EXPECT_GT(ticks[i], 0u) << i;
        EXPECT_LE(ticks[i], 5000u) << i;
    }
    EXPECT_EQ(n.overlaps.load(), 0);
}

TEST(IpcWinTest, DeleteWaitsForTheCallbackInProgress) {
    RecordingNode n(Unique("Slow"), 400);
    ASSERT_TRUE(n.Create());
    ASSERT_EQ(EnqueueMessage(LibraryMessage(Spec("Me", n.name(), 1))), 1);
    for (int i = 0; i < 10000 && n.started.load() == 0; ++i)
        Sleep(1);
    int finished_before = n.finished.load();
    n.Delete();
    EXPECT_EQ(n.finished.load(), finished_before + 1);
}

TEST(IpcWinTest, QuitRequestForANodeOfThisProcessPostsWmQuitToTheMainThread) {
    RecordingNode n(Unique("QuitMe"));
    ASSERT_TRUE(n.Create());
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    EXPECT_EQ(RequestNodeQuit(n.name().c_str()), 0);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(RequestNodeQuit(Unique("Absent").c_str()), 1);
}

TEST(IpcWinTest, DamagedFramesOnThePipeAreDroppedAndTheNextMessageArrives) {
    RecordingNode n(Unique("Sturdy"));
    ASSERT_TRUE(n.Create());
    std::string path = kavipc::PipePathForNode(n.name());
    {
        pm::win::unique_hfile raw(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(raw);
        DWORD mode = PIPE_READMODE_MESSAGE, w = 0;
        SetNamedPipeHandleState(raw.get(), &mode, nullptr, nullptr);
        const char garbage[] = "GET / HTTP/1.0\r\n\r\n";
        ASSERT_TRUE(WriteFile(raw.get(), garbage, sizeof garbage, &w, nullptr));
        std::vector<uint8_t> huge(200000, 0x41); // longer than any chunk
        ASSERT_TRUE(
            WriteFile(raw.get(), huge.data(), static_cast<DWORD>(huge.size()), &w, nullptr));
        // a chunk header that promises a frame with a broken message inside
        std::vector<uint8_t> bad(kavipc::kChunkHeaderSize + 40, 0xEE);
        kavipc::WriteChunkHeader(bad.data(), {kavipc::FrameKind::kMessage, 40, 0});
        ASSERT_TRUE(WriteFile(raw.get(), bad.data(), static_cast<DWORD>(bad.size()), &w, nullptr));
        // then the first chunk of a big frame, and the writer goes away
        std::vector<uint8_t> first(kavipc::kMaxChunk, 0);
        kavipc::WriteChunkHeader(first.data(), {kavipc::FrameKind::kMessage, 1000000, 0});
        ASSERT_TRUE(
            WriteFile(raw.get(), first.data(), static_cast<DWORD>(first.size()), &w, nullptr));
    }
    ASSERT_EQ(EnqueueMessage(LibraryMessage(Spec("Me", n.name(), 9))), 1);
    ASSERT_TRUE(n.WaitMessages(1));
    EXPECT_EQ(n.messages().size(), 1u);
    EXPECT_EQ(le::Load32(&n.messages()[0][kavipc::kOffSeqNo]), 9u);
}

// A client that opens the pipe and closes it without a frame (a look at the serving process)
// must never leave the node without an instance: the next client finds it at once.
TEST(IpcWinTest, NodeStaysReachableRightAfterAClientLeftWithoutAFrame) {
    RecordingNode n(Unique("Revisit"));
    ASSERT_TRUE(n.Create());
    // Each round: a look that connects and leaves without a frame, then a sender's connection
    // (closed again, so the next look follows a frameless client too).
    int lost = 0;
    DWORD last_error = 0;
    for (int round = 0; round < 300; ++round) {
        if (kavipc::NodeServerProcessId(n.name()) != GetCurrentProcessId()) {
            ++lost;
            last_error = GetLastError();
        }
        if (!kavipc::ConnectToNode(n.name(), false, 2000)) {
            ++lost;
            last_error = GetLastError();
        }
    }
    EXPECT_EQ(lost, 0) << "last error " << last_error;
    ASSERT_EQ(EnqueueMessage(LibraryMessage(Spec("Me", n.name(), 5))), 1);
    EXPECT_TRUE(n.WaitMessages(1));
}

// --- two processes --------------------------------------------------------------------------

// One echo child serves every check between two processes: the name taken machine-wide,
// ordered delivery both ways, a 16 MiB message, the serving account, kavipcctl, and the stop.
TEST(IpcWinTest, TwoProcessesTalkAndTheChildStopsOnRequest) {
    std::string child_node = Unique("Echo");
    RecordingNode me(Unique("Parent"));
    ASSERT_TRUE(me.Create());
    Child child = StartSelf("echo:" + child_node);
    ASSERT_TRUE(child.process);
    ASSERT_TRUE(WaitForNode(child_node.c_str(), true));

    // the name is taken on the whole machine
    RecordingNode twin(child_node);
    EXPECT_FALSE(twin.Create());
    Child claimer = StartSelf("claim:" + me.name());
    EXPECT_EQ(Wait(claimer), 0);

    for (uint32_t i = 1; i <= 20; ++i) {
        ASSERT_EQ(EnqueueMessage(LibraryMessage(Spec(me.name(), child_node, i, {{1, 2, 3}}))), 1);
    }
    std::vector<uint8_t> item(16u * 1024 * 1024);
    for (size_t i = 0; i < item.size(); ++i)
        item[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    void* big = LibraryMessage(Spec(me.name(), child_node, 77, {item}));
    ASSERT_NE(big, nullptr);
    ASSERT_EQ(EnqueueMessage(big), 1);
    ASSERT_TRUE(me.WaitMessages(21, 60000));
    auto got = me.messages();
    for (uint32_t i = 0; i < 20; ++i) {
        EXPECT_EQ(le::Load32(&got[i][kavipc::kOffSeqNo]), i + 1);
        EXPECT_EQ(SenderOf(got[i]), child_node);
        EXPECT_EQ(got[i][6], 1); // the echo's reply type
    }
    const auto& reply = got[20];
    uint16_t data_off = le::Load16(&reply[kavipc::kOffDataOff]);
    ASSERT_EQ(le::Load32(&reply[kavipc::kOffSeqNo]), 77u);
    ASSERT_EQ(reply.size(), le::Load32(&reply[0]));
    ASSERT_EQ(reply.size() - data_off, item.size()) << reply.size() << " " << data_off;
    EXPECT_TRUE(std::equal(item.begin(), item.end(), reply.begin() + data_off));

    // Another process of this account: read and accepted.
    const DWORD pid = kavipc::NodeServerProcessId(child_node);
    ASSERT_EQ(pid, child.pid);
    kavipc::ServerAccount a = kavipc::ProcessAccount(pid);
    EXPECT_EQ(a.known, kavipc::ServerAccount::Known::kAccount);
    EXPECT_EQ(a.user_sid, kavipc::CurrentUserSid());
    EXPECT_EQ(kavipc::JudgeServerAccount(a, kavipc::CurrentUserSid()),
              kavipc::ServerVerdict::kAccept);
    // A process id that no process holds (ids are multiples of 4 far below this): known, but
    // no token can be read, so a sender fails closed.
    kavipc::ServerAccount none = kavipc::ProcessAccount(0x7FFFFFFC);
    EXPECT_EQ(none.known, kavipc::ServerAccount::Known::kTokenUnreadable);
    EXPECT_EQ(kavipc::JudgeServerAccount(none, kavipc::CurrentUserSid()),
              kavipc::ServerVerdict::kRefuseUnreadable);
    EXPECT_EQ(kavipc::ProcessAccount(0).known, kavipc::ServerAccount::Known::kNoProcess);

    const std::string ctl = pm::test::ProgramDir() + "kavipcctl.exe";
    const std::pair<std::string, int> runs[] = {
        {"exists " + child_node, 0}, // the words and --json are checked in ctl_command_test
        {"exists " + Unique("NotThere"), 3}, {"quit " + Unique("NotThere"), 3}, {"frobnicate x", 2},
        {"quit " + child_node, 0}, // last: the child stops
    };
    for (const auto& [args, code] : runs) {
        Child tool = pm::test::Start(ctl, args);
        EXPECT_EQ(Wait(tool), code) << args;
    }
    EXPECT_EQ(Wait(child), 0);
    EXPECT_TRUE(WaitForNode(child_node.c_str(), false));
    // gone: refused, and the cached connection does not pretend otherwise
    void* m = LibraryMessage(Spec(me.name(), child_node, 99));
    EXPECT_EQ(EnqueueMessage(m), 0);
    FreeMessage(m);
}

TEST(IpcWinTest, QuitAnswerArrivesFromAProcessThatEndsAtOnce) {
    for (const char* role : {"vanish", "leave"}) {
        for (int round = 0; round < 10; ++round) { // a race: several rounds to show it
            std::string child_node = Unique("Vanish");
            Child child = StartSelf(std::string(role) + ":" + child_node);
            ASSERT_TRUE(child.process);
            ASSERT_TRUE(WaitForNode(child_node.c_str(), true));
            EXPECT_EQ(RequestNodeQuit(child_node.c_str()), 0) << role << " round " << round;
            EXPECT_EQ(Wait(child), 7);
        }
    }
}
